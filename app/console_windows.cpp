#include "app/console.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

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
    DWORD mode = 0;
    const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stdout)));
    const bool console = handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
    return Console(stdout, stderr, console, outputClosed);
}

} // namespace qzb
