#include <string>
#include <vector>

#include "Entry/restartsrv_base.hpp"

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    return scripts::restartsrv_base::main(argv[0] ? argv[0] : "", std::move(args));
}
