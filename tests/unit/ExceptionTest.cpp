#include <gtest/gtest.h>

#include <cerrno>

#include "Exception/Exception.hpp"

namespace Kinds = Vexlan::Exception::Kinds;

namespace Exception = Vexlan::Exception;

TEST(Exception, ServiceErrorsRenderTheirServiceAndBelongToTheServiceFamily) {
    auto e = Exception::create(Kinds::Services::Down, {{"service", "exim"}});
    EXPECT_EQ(e.class_name(), "Vexlan::Exception::Services::Down");
    EXPECT_TRUE(e.isa(Kinds::ServicesFamily));
    EXPECT_TRUE(e.isa(Kinds::Services::Down));
    EXPECT_TRUE(e.isa(Kinds::Any));
    EXPECT_FALSE(e.isa(Kinds::Services::Disabled));
    EXPECT_FALSE(e.isa_name("Service"));  // a prefix of a name is not an ancestor
    EXPECT_NE(e.to_string_no_id().find("“exim”"), std::string::npos);
    EXPECT_EQ(e.get("service"), "exim");
    EXPECT_TRUE(e.get("missing").is_null());
}

TEST(Exception, ToStringCarriesAnIdentifierThatToStringNoIdLeavesOut) {
    auto a = Exception::create(Kinds::Services::Disabled, {{"service", "x"}});
    auto b = Exception::create(Kinds::Services::Disabled, {{"service", "x"}});
    EXPECT_NE(a.to_string().find(a.id()), std::string::npos);
    EXPECT_EQ(a.to_string_no_id().find(a.id()), std::string::npos);
    EXPECT_NE(a.id(), b.id());
    EXPECT_EQ(a.to_string_no_id(), b.to_string_no_id());
}

TEST(Exception, EveryServiceKindHasItsOwnMessage) {
    for (const char* kind : {"NotConfigured", "NotInstalled", "Disabled", "StartFailed", "RestartFailed", "ReloadFailed",
                             "Down", "NoBinary", "RoleDisabled", "Unknown"}) {
        auto e = Exception::create_by_name(std::string("Services::") + kind, {{"service", "svc"}, {"reason", "r"}, {"path", "/p"}, {"error", "e"}});
        EXPECT_NE(e.to_string_no_id().find("svc"), std::string::npos) << kind;
        EXPECT_EQ(e.to_string_no_id().find("Vexlan::Exception"), std::string::npos) << kind << ": " << e.to_string_no_id();
    }
}

TEST(Exception, IoErrorsNameThePathAndTheSystemError) {
    auto e = Exception::create(Kinds::IO::FileOpenError, {{"path", "/x/y"}, {"mode", "read"}, {"error", ENOENT}});
    EXPECT_NE(e.to_string().find("/x/y"), std::string::npos);
    EXPECT_NE(e.to_string().find("No such file or directory"), std::string::npos);
    EXPECT_EQ(e.get("error").get<int>(), ENOENT);
}

TEST(Exception, RawAndTemplatedMessages) {
    EXPECT_EQ(Exception::create_raw(Kinds::Generic, "{not a field}").to_string_no_id(), "{not a field}");
    EXPECT_EQ(Exception::create(Kinds::Generic, "pid {pid} of {name}", {{"pid", 12}, {"name", "x"}}).to_string_no_id(), "pid 12 of x");
}

TEST(Exception, GetStringRendersAnyRaisedValue) {
    EXPECT_EQ(Exception::get_string(std::make_exception_ptr(std::string("plain"))), "plain");
    auto e = Exception::create(Kinds::Services::Down, {{"service", "a"}});
    EXPECT_EQ(Exception::get_string(std::make_exception_ptr(e)), e.to_string());
    EXPECT_EQ(Exception::get_string(std::make_exception_ptr(std::runtime_error("boom"))), "boom");
}

TEST(Exception, StackTracesAreSuppressedExactlyWhileASuppressorLives) {
    EXPECT_FALSE(Exception::create(Kinds::Generic, {{"message", "m"}}).longmess().empty());
    {
        auto quiet = Exception::get_stack_trace_suppressor();
        EXPECT_TRUE(Exception::create(Kinds::Generic, {{"message", "m"}}).longmess().empty());
    }
    EXPECT_FALSE(Exception::create(Kinds::Generic, {{"message", "m"}}).longmess().empty());
}
