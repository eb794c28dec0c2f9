#include "Util/UniqueFd.hpp"

#include <fcntl.h>

#include <cerrno>

#include "Exception/Exception.hpp"

namespace Vexlan {

Pipe make_pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw Exception::create(Exception::Kinds::IO::PipeError, {{"error", errno}});
    return Pipe{UniqueFd(fds[0]), UniqueFd(fds[1])};
}

}  // namespace Vexlan
