#pragma once
// Helpers shared by the tests: scratch directories, descriptor and child accounting,
// and running the real program in a private mount namespace.
#include <sys/types.h>

#include <set>
#include <string>

#include <nlohmann/json.hpp>
#include <vector>

#include "Exception/Exception.hpp"

namespace testing_support {

// A fresh directory removed (with its content) at the end of the test.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

// Descriptors open in this process right now.
std::set<int> open_fds();
// Children of this process that exist (zombies included).
std::vector<pid_t> child_pids();

void write_file(const std::string& path, const std::string& content, int mode = 0644);
std::string read_file(const std::string& path);

// A process the test starts and ends again.
class Child {
  public:
    explicit Child(const std::vector<std::string>& argv);
    ~Child();
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    // Waits for it; returns its wait status.
    int wait();
    bool alive() const;

  private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

struct ProgramResult {
    int status = -1;  // exit code, or 128 + signal
    std::string out;
    std::string err;
};

// Runs a command to its end (environment kept) and collects its status and output.
ProgramResult run_command(const std::vector<std::string>& command, double timeout = 300);

// Runs the real program as `name` (a symlink in a scratch directory) in a private mount
// namespace whose product and state directories are the given root's.
class ProgramRoot {
  public:
    ProgramRoot();
    ProgramRoot(const ProgramRoot&) = delete;
    ProgramRoot& operator=(const ProgramRoot&) = delete;
    const std::string& root() const { return dir_.path(); }
    std::string product(const std::string& rel = "") const { return dir_.path() + "/product" + rel; }
    std::string state(const std::string& rel = "") const { return dir_.path() + "/state" + rel; }
    // The command line that runs the program as `name` with `args` inside the namespace.
    std::vector<std::string> command(const std::string& name, const std::vector<std::string>& args) const;
    ProgramResult run(const std::string& name, const std::vector<std::string>& args,
                      const std::vector<std::string>& env = {}) const;
    // An executable /etc/init.d/<name> inside the namespace: "#!/bin/sh" and `body`.
    void init_script(const std::string& name, const std::string& body) const;
    // True when nobody holds the service's restart lock.
    bool lock_is_free(const std::string& service) const;

  private:
    ScratchDir dir_;
};

// Where a test cannot run (no root, no namespaces, a missing tool): skipped on a developer's
// machine, a failure where the test suite is required to run whole (CI sets
// VEXLAN_REQUIRE_ALL_TESTS=1), so a test never stops testing silently.
bool all_tests_required();
#define VX_REQUIRE(condition, why)                                                        \
    do {                                                                                  \
        if (!(condition)) {                                                               \
            if (::testing_support::all_tests_required()) FAIL() << "cannot run: " << why; \
            GTEST_SKIP() << why;                                                          \
        }                                                                                 \
    } while (0)

// The statement throws an error of exactly this kind (or one below it): a test names the
// kind it expects, so an error of another kind never passes for it.
#define VX_EXPECT_THROW_KIND(statement, kind)                                                              \
    do {                                                                                                   \
        try {                                                                                              \
            statement;                                                                                     \
            ADD_FAILURE() << #statement " threw nothing; expected " << (kind).name();                      \
        } catch (const ::Vexlan::Exception::Base& vx_error) {                                              \
            EXPECT_TRUE(vx_error.isa(kind))                                                                \
                << #statement " threw " << vx_error.class_name() << ", expected " << (kind).name() << ": " \
                << vx_error.to_string_no_id();                                                             \
        }                                                                                                  \
    } while (0)

// The result record of a --json run, after every line of `json_output` was checked against
// the published schema (a test failure names each line that does not fit); null when the
// output does not validate.
nlohmann::json checked_result_record(const std::string& json_output);

// Path of the program and of the helper scripts.
std::string program_path();
std::string scripts_dir();
bool can_unshare();

}  // namespace testing_support
