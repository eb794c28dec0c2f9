#pragma once
#include <string>
#include <vector>

namespace Vexlan::Env {

// Names of the environment variables a daemon may inherit.
const std::vector<std::string>& get_safe_env_vars();
// The fixed safe search path for programs.
std::string get_safe_path();
// Sets PATH to the safe path and returns it.
std::string set_safe_path();
// Deletes every variable not in the safe list plus `keep` minus `remove`; with
// `http_purge` also the HTTP proxy variables.
void clean_env(const std::vector<std::string>& keep = {}, const std::vector<std::string>& remove = {},
               bool http_purge = false);

// "NAME=value" entries of the safe variables present in the environment.
std::vector<std::string> safe_env_entries();

}  // namespace Vexlan::Env
