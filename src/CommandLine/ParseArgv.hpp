#pragma once
// The option reader of the service commands.
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Vexlan {
class Output;
}

namespace Vexlan::RestartSrv {

struct ParsedArgs {
    int restart = 1;  // RESTART, STOP, RELOAD or 0
    int check = 0;
    int status = 0;
    int verbose = 0;
    std::optional<std::string> restart_attempts;
    std::optional<int> graceful;
};

// The process argument list the option reader works on.
const std::vector<std::string>& _get_argv();
void _set_argv(std::vector<std::string> args);

// Reads the options from the process argument list, removes the ones it recognises and
// leaves the rest in the list. Options apply in order, so the last mode wins.
ParsedArgs parseargv();
// The same reading of a given list, touching nothing: what it recognised is returned, the
// rest goes to `rest`. Throws InvalidParameter for a flag given a value or a value missing.
ParsedArgs parse_option_list(const std::vector<std::string>& args, std::vector<std::string>& rest);

// Arguments read directly, outside the option reader.
inline constexpr const char* OPT_NON_GRACEFUL = "--no-graceful";
inline constexpr const char* OPT_FORCE = "--force";
inline constexpr const char* OPT_FORCE_ALT = "--forced";
inline constexpr const char* OPT_INITD = "--initd";
inline constexpr const char* OPT_JSON = "--json";
// The action words, typed bare as systemctl's verbs are ("restartsrv_x status"): the one
// table the entry and the option reader share. The option a word stands for, or nothing
// when the word is no action of the program (a class may still define it).
std::optional<std::string> option_for_action_word(const std::string& word);
// True for an argument something in the program reads besides the option reader.
bool is_directly_read_argument(const std::string& arg);

// The HTML output object when any argument contains "html", else the terminal one.
std::unique_ptr<Output> get_formatted_output_object(const std::vector<std::string>& args);

}  // namespace Vexlan::RestartSrv
