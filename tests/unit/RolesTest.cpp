// Server roles and the services they allow.
#include <gtest/gtest.h>

#include "support/TestSupport.hpp"

#include <filesystem>

#include "Exception/Exception.hpp"
#include "Server/Type/Profile/Roles.hpp"
#include "Server/Type/Role/Role.hpp"
#include "Util/Paths.hpp"
#include "support/ScratchRoot.hpp"

namespace Kinds = Vexlan::Exception::Kinds;
namespace Roles = Vexlan::Server::Type::Profile::Roles;
using namespace testing_support;

namespace {
class RolesTest : public ScratchRootTest {
  protected:
    void SetUp() override {
        ScratchRootTest::SetUp();
        forget();
        std::filesystem::create_directories(Vexlan::Paths::get(Vexlan::Paths::Key::RolesDir));
    }
    void TearDown() override {
        forget();
        ScratchRootTest::TearDown();
    }
    void forget() {
        Vexlan::Server::Type::EnabledCache::_unset_all();
        Vexlan::Server::Type::clear_available_cache();
    }
    void off(const std::string& role) {
        write_file(Vexlan::Paths::get(Vexlan::Paths::Key::RolesDir) + "/" + role, "");
    }
};
}  // namespace

TEST_F(RolesTest, AServiceIsAllowedWhileOneOfItsRolesIsOn) {
    for (const auto& class_name : Vexlan::Server::Type::Role_::get_all_possible_roles())
        off(class_name.substr(class_name.rfind("::") + 2));
    EXPECT_EQ(Roles::is_service_allowed("vx-no-role-lists-me"), 1);
    forget();
    std::filesystem::remove_all(Vexlan::Paths::get(Vexlan::Paths::Key::RolesDir));
    std::filesystem::create_directories(Vexlan::Paths::get(Vexlan::Paths::Key::RolesDir));
    off("MailReceive");  // exim also sends mail
    EXPECT_EQ(Roles::is_service_allowed("exim"), 1);
    EXPECT_EQ(Roles::is_service_allowed("nginx"), 1);
    off("WebServer");
    forget();
    EXPECT_EQ(Roles::is_service_allowed("nginx"), 0);
    EXPECT_EQ(Roles::is_role_enabled("MailSend"), 1) << "on in every profile, whatever its marker";
}

TEST_F(RolesTest, ARoleIsDecidedOnceAndPostgresNeedsItsFlag) {
    EXPECT_EQ(Roles::is_role_enabled("Postgres"), 0) << "not available without the global-cache flag";
    write_file(Vexlan::Paths::get(Vexlan::Paths::Key::GlobalCache), R"({"has_postgres": true})");
    forget();
    EXPECT_EQ(Roles::is_role_enabled("Postgres"), 1);
    off("DNS");
    EXPECT_EQ(Roles::is_role_enabled("DNS"), 0);
    std::filesystem::remove(Vexlan::Paths::get(Vexlan::Paths::Key::RolesDir) + "/DNS");
    EXPECT_EQ(Roles::is_role_enabled("DNS"), 0) << "the first answer holds for the process";
    VX_EXPECT_THROW_KIND(Vexlan::Server::Type::EnabledCache::set("Vexlan::Server::Type::Role::DNS", "yes"),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
}

TEST_F(RolesTest, VerifyingSeveralRolesInEitherMode) {
    off("FTP");
    Roles::Spec spec{{"DNS", "FTP"}, "all"};
    EXPECT_FALSE(Roles::are_roles_enabled(spec));
    try {
        Roles::verify_roles_enabled(spec);
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::RoleDisabled));
        EXPECT_NE(e.to_string().find("FTP"), std::string::npos);
    }
    spec.match = "any";
    EXPECT_TRUE(Roles::are_roles_enabled(spec));
    EXPECT_NO_THROW(Roles::verify_roles_enabled(spec));
    spec.match = "most";
    try {
        Roles::verify_roles_enabled(spec);
        FAIL();
    } catch (const Vexlan::Exception::Base& e) {
        EXPECT_TRUE(e.isa(Kinds::InvalidParameter));
        EXPECT_NE(e.to_string().find("match"), std::string::npos);
    }
}
