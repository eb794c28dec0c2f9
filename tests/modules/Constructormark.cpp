// A module that is never to be loaded: its constructor notes each time it runs in the file
// that VEXLAN_TEST_CONSTRUCTOR_LOG names, so a test can count loads that should not happen.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

__attribute__((constructor)) static void note_the_load() {
    const char* log = std::getenv("VEXLAN_TEST_CONSTRUCTOR_LOG");
    if (!log) return;
    const int fd = ::open(log, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const ssize_t n = ::write(fd, "ran\n", 4);
    (void)n;
    ::close(fd);
}
