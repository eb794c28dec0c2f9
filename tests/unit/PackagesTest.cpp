// Installed package versions from the real package tools of this machine.
#include <gtest/gtest.h>

#include "Exception/Exception.hpp"
#include "Pkgr/Pkgr.hpp"
#include "support/TestSupport.hpp"

namespace Pkgr = Vexlan::Pkgr;

TEST(Packages, DpkgQueryKnowsInstalledAndMissingPackages) {
    Pkgr::Apt apt;
    auto versions = apt.get_version_for_packages({"bash", "vx-no-such-package", "coreutils"});
    ASSERT_TRUE(versions) << "dpkg-query answered";
    EXPECT_EQ(versions->count("vx-no-such-package"), 0u);
    ASSERT_EQ(versions->count("bash"), 1u);
    EXPECT_FALSE(versions->at("bash").empty());
    apt.with_arch_suffix = true;
    EXPECT_NE(apt.get_version_for_packages({"bash"})->at("bash").find("(amd64)"), std::string::npos);
    EXPECT_EQ(Pkgr::package_state("bash"), Pkgr::State::Installed);
    EXPECT_EQ(Pkgr::package_state("vx-no-such-package"), Pkgr::State::Missing);
}

TEST(Packages, RpmOutputWithInstalledAndMissingPackages) {
    VX_REQUIRE(::access("/usr/bin/rpm", X_OK) == 0, "rpm is not installed");
    // Debian's rpm has an empty database: every package is reported missing.
    auto none = Pkgr::Yum().get_version_for_packages({"bash", "vx-no-such-package"});
    ASSERT_TRUE(none) << "rpm answered";
    EXPECT_TRUE(none->empty());
    auto parsed = Pkgr::Yum::parse("package vx-gone is not installed\nbash 5.2.15-2.el9\nodd-line\n");
    EXPECT_EQ(parsed, (std::map<std::string, std::string>{{"bash", "5.2.15-2.el9"}}));
    VX_EXPECT_THROW_KIND(Pkgr::Yum().get_version_for_packages({}),
                         ::Vexlan::Exception::Kinds::InvalidParameter);
}
