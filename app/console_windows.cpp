#include "app/console.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>

namespace qzb {
namespace {

// A stream with no usable handle behind it: started without that standard handle.
bool hasNoHandle(std::FILE* stream) {
    const int fd = _fileno(stream);
    return fd < 0 || _get_osfhandle(fd) < 0;
}

} // namespace

Console standardConsole() {
    bool outputClosed = false;
    // In descriptor order, so that each reopened stream gets the lowest free number, its own.
    std::FILE* const streams[] = {stdin, stdout, stderr};
    for (std::FILE* stream : streams) {
        if (hasNoHandle(stream)) {
            std::freopen("NUL", stream == stdin ? "r" : "w", stream);
            outputClosed = outputClosed || stream == stdout;
        }
    }
    return Console(stdout, stderr, isTerminal(stdout), outputClosed);
}

bool isTerminal(std::FILE* stream) {
    DWORD mode = 0;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

void useBinaryMode(std::FILE* stream) {
    std::fflush(stream);
    _setmode(_fileno(stream), _O_BINARY);
}

} // namespace qzb
