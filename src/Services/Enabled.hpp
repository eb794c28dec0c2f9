#pragma once
// Whether the administrator wants a service to run: 1 enabled, 0 disabled, -1 undecided
// (callers that need a yes or no take it as enabled).
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace Vexlan::Services::Enabled {

int is_enabled(const std::optional<std::string>& service);
// Like is_enabled, but a MySQL service disabled here counts as provided when the server
// uses a remote MySQL server.
int is_provided(const std::optional<std::string>& service);

// A set of services: all of them (the default) or any of them must be enabled.
struct Spec {
    std::vector<std::string> services;
    bool any = false;
};
bool are_enabled(const Spec& spec);
bool are_provided(const Spec& spec);

// The disable files of a service: existence of any one disables it.
bool service_has_files(const std::string& service);
std::optional<std::vector<std::string>> get_files_for_service(const std::string& service);
// True when one of the default disable files of a service (its name, or its name with
// ".disable", in the disable directory) exists: what disables a service without a class.
bool has_default_disable_file(const std::string& service);
// Creates the first disable file; true also when nothing had to be done.
std::optional<bool> touch_disable_file(const std::optional<std::string>& service);
// Removes the disable files that are regular files (never symlinks or directories).
std::optional<int> remove_disable_files(const std::optional<std::string>& service);

// The protocols the mail server serves ("imap", "pop3", ...).
std::set<std::string> get_dovecot_enabled_protocols();

// The main-configuration key of the one configuration-controlled service, and its meaning.
inline constexpr const char* CONFIG_CONTROLLED_SERVICE = "mailman";
inline constexpr const char* CONFIG_CONTROLLED_KEY = "skipmailman";

}  // namespace Vexlan::Services::Enabled
