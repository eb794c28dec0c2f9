// Reading daemons' own configuration files: includes, comments, quoting and ports.
#include <gtest/gtest.h>

#include <filesystem>

#include "Services/DaemonConfig.hpp"
#include "support/TestSupport.hpp"

using namespace testing_support;
namespace Conf = Vexlan::Services::DaemonConfig;

namespace {
std::vector<std::string> args_of(const std::vector<Conf::Directive>& all, const std::string& key) {
    std::vector<std::string> out;
    for (const auto& d : Conf::all(all, key)) out.push_back(d.args.empty() ? "" : d.args.front());
    return out;
}
}  // namespace

TEST(DaemonConfig, WordFilesFollowIncludesInOrderAndSkipComments) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("sites"));
    write_file(dir.file("main.conf"),
               "pid /run/a.pid;  # the first\n"
               "http { include sites/*.conf; server { listen 8080; } }\n"
               "/* listen 1111; */ // listen 2222;\n"
               "include main.conf;\n"  // a loop ends at the depth limit
               "LogFormat \"%h \\\"%r\\\" \" combined\n"
               "PidFile ${APACHE_PID_FILE}\n"
               "x \"\"{ y }\n");  // an empty quoted word before a block (found by fuzzing)
    write_file(dir.file("sites/b.conf"), "server { listen [::]:443 ssl; listen unix:/run/x.sock; }\n");
    write_file(dir.file("sites/a.conf"), "server { listen 127.0.0.1:80 default_server; }\n");
    auto all = Conf::read_words(dir.file("main.conf"), {"include"}, dir.path());
    auto listens = args_of(all, "listen");
    ASSERT_GE(listens.size(), 4u);
    EXPECT_EQ(std::vector<std::string>(listens.begin(), listens.begin() + 4),
              (std::vector<std::string>{"127.0.0.1:80", "[::]:443", "unix:/run/x.sock", "8080"}))
        << "sorted includes where they are included; no commented-out values";
    EXPECT_EQ(Conf::first_value(all, "pid"), "/run/a.pid");
    EXPECT_EQ(Conf::last_value(all, "pidfile"), "${APACHE_PID_FILE}")
        << "a variable is one word, not a block";
    EXPECT_EQ(args_of(all, "LogFormat").front(), "%h \"%r\" ") << "escaped quotes stay inside the word";
}

TEST(DaemonConfig, AssignmentFilesKnowSectionsAndBothIncludeStyles) {
    ScratchDir dir;
    std::filesystem::create_directories(dir.file("conf.d"));
    write_file(dir.file("my.cnf"), "[client]\nport = 1\n[mysqld]\npid-file = /run/one.pid\n!includedir " +
                                       dir.file("conf.d") + "\n");
    write_file(dir.file("conf.d/50-server.cnf"),
               "[mysqld]\npid_file = \"/run/two.pid\"  # later wins\nskip-networking\n");
    auto my = Conf::read_assignments(dir.file("my.cnf"));
    EXPECT_EQ(Conf::last_value(my, "pid-file", {"mysqld"}), "/run/two.pid");
    EXPECT_EQ(Conf::last_value(my, "port", {"mysqld"}), std::nullopt)
        << "the client's port is not the server's";
    EXPECT_EQ(Conf::all(my, "skip-networking").size(), 1u);

    write_file(dir.file("postgresql.conf"),
               "port = 5433\t\t# note\ninclude_dir = 'conf.d'\nexternal_pid_file = '/run/pg.pid'\n");
    write_file(dir.file("conf.d/10.conf"), "port 5434\n");
    auto pg = Conf::read_assignments(dir.file("postgresql.conf"));
    EXPECT_EQ(Conf::last_value(pg, "port"), "5434");
    EXPECT_EQ(Conf::last_value(pg, "external_pid_file"), "/run/pg.pid");
}

TEST(DaemonConfig, PortsOfListenAddresses) {
    EXPECT_EQ(Conf::port_of("80"), 80);
    EXPECT_EQ(Conf::port_of("*:8080"), 8080);
    EXPECT_EQ(Conf::port_of("[::1]:443"), 443);
    EXPECT_EQ(Conf::port_of("smtp"), 25) << "a name from /etc/services";
    for (const char* none : {"[::1]", "unix:/run/a.sock", "/run/a.sock", "0", "70000", "no-such-service", ""})
        EXPECT_EQ(Conf::port_of(none), std::nullopt) << none;
    std::vector<int> ports;
    for (auto p : {Conf::port_of("80"), Conf::port_of("*:80"), Conf::port_of("443")})
        Conf::add_port(ports, p);
    EXPECT_EQ(ports, (std::vector<int>{80, 443}));
}

TEST(DaemonConfig, ShellExportsExpandWhatWasDefinedBefore) {
    ScratchDir dir;
    write_file(
        dir.file("envvars"),
        "unset HOME\nif [ \"${X##/a-}\" != \"$X\" ] ; then\n\tSUFFIX=\"-${X##/a-}\"\nelse\n\tSUFFIX=\nfi\n"
        "export APACHE_RUN_DIR=/var/run/apache2$SUFFIX\nexport "
        "APACHE_PID_FILE=${APACHE_RUN_DIR}/apache2.pid\n");
    auto vars = Conf::read_shell_exports(dir.file("envvars"));
    EXPECT_EQ(Conf::expand_vars("${APACHE_PID_FILE}", vars), "/var/run/apache2/apache2.pid");
    EXPECT_EQ(Conf::expand_vars("$NOPE/x", vars), "/x");
}
