#pragma once
// What a daemon's own configuration says about its pidfile and ports, read the way the
// daemon reads it: comments dropped, include directives followed (globs sorted, relative
// paths against the daemon's configuration directory, a bounded depth), quotes removed.
// Only values written out literally are taken; a value the daemon would compute is not
// guessed, and callers fall back to the distribution's default.
#include <optional>
#include <string>
#include <vector>

namespace Vexlan::Services::DaemonConfig {

struct Directive {
    std::string section;  // "[mysqld]" style section, lower case; empty outside any
    std::string key;      // as written
    std::vector<std::string> args;
};

// "key value ...;" files (nginx, apache, sshd, redis): words split on blanks, a trailing
// ';' and surrounding quotes removed, block braces ignored, comments after '#', '//' or
// inside '/* */' dropped. Directives whose key is one
// of `include_keys` (compared without case) are replaced by the files they name.
std::vector<Directive> read_words(const std::string& path, const std::vector<std::string>& include_keys,
                                  const std::string& base_dir);

// "key = value" files with optional "[section]" headers (MariaDB, PostgreSQL): MariaDB's
// "!include file" and "!includedir dir", PostgreSQL's "include 'file'" and
// "include_dir 'dir'" are followed. Keys are as written; values lose their quotes and
// any trailing comment.
std::vector<Directive> read_assignments(const std::string& path);

// The last (or first) value of `key` (compared without case; '-' and '_' alike), in one
// of `sections` when any are given.
std::optional<std::string> last_value(const std::vector<Directive>& directives, const std::string& key,
                                      const std::vector<std::string>& sections = {});
std::optional<std::string> first_value(const std::vector<Directive>& directives, const std::string& key);
// Every directive named `key` (copies: safe to loop over a temporary's result).
std::vector<Directive> all(const std::vector<Directive>& directives, const std::string& key);

// The port of a listen address: "80", "*:80", "127.0.0.1:8080", "[::]:443", a service
// name from /etc/services ("smtp"); nothing for a Unix socket or anything else.
std::optional<int> port_of(const std::string& address);

// Adds a port once, keeping the order.
void add_port(std::vector<int>& ports, std::optional<int> port);

// The standard output of a daemon's own configuration tool ("exim4 -bP ...", "doveconf
// -h ...") when it exits 0 within a few seconds, else nothing: the daemon's answer,
// includes and defaults resolved, is better than any reading of its files.
std::optional<std::string> tool_output(const std::string& program, const std::vector<std::string>& args);

// The paths a glob pattern matches, sorted.
std::vector<std::string> matching_paths(const std::string& pattern);

// A bounded read of a regular file (symlinks followed: these files belong to root).
std::optional<std::string> read_config_file(const std::string& path);

// "export NAME=value" lines of a shell environment file (apache's envvars), with $NAME and
// ${NAME} expanded from the names defined before them; other lines are ignored.
std::vector<std::pair<std::string, std::string>> read_shell_exports(const std::string& path);
// ${NAME} and $NAME replaced from `vars` (unknown names become empty).
std::string expand_vars(const std::string& text, const std::vector<std::pair<std::string, std::string>>& vars);

}  // namespace Vexlan::Services::DaemonConfig
