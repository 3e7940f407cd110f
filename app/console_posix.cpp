#include "app/console.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace qzb {

Console standardConsole() {
    bool outputClosed = false;
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
        if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) {
            continue;
        }
        // The lower descriptors are open by now, so this one gets the number that is missing.
        const int opened = ::open("/dev/null", O_RDWR);
        if (opened >= 0 && opened != fd) {
            ::dup2(opened, fd);
            ::close(opened);
        }
        outputClosed = outputClosed || fd == STDOUT_FILENO;
    }
    return Console(stdout, stderr, isTerminal(stdout), outputClosed);
}

bool isTerminal(std::FILE* stream) {
    return ::isatty(::fileno(stream)) != 0;
}

void useBinaryMode(std::FILE*) {}

} // namespace qzb
