#include "archive/file_io.h"

#include <limits>

namespace qzb {

#ifdef _WIN32
bool seekTo(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<long long>::max())) {
        return false;
    }
    return _fseeki64(file, static_cast<long long>(offset), SEEK_SET) == 0;
}

bool filePosition(std::FILE* file, std::uint64_t& position) {
    const long long at = _ftelli64(file);
    if (at < 0) {
        return false;
    }
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool fileLength(std::FILE* file, std::uint64_t& length) {
    if (_fseeki64(file, 0, SEEK_END) != 0) {
        return false;
    }
    const long long end = _ftelli64(file);
    if (end < 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(end);
    return true;
}
#else
bool seekTo(std::FILE* file, std::uint64_t offset) {
    if (offset > static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
        return false;
    }
    return fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool filePosition(std::FILE* file, std::uint64_t& position) {
    const off_t at = ftello(file);
    if (at < 0) {
        return false;
    }
    position = static_cast<std::uint64_t>(at);
    return true;
}

bool fileLength(std::FILE* file, std::uint64_t& length) {
    if (fseeko(file, 0, SEEK_END) != 0) {
        return false;
    }
    const off_t end = ftello(file);
    if (end < 0) {
        return false;
    }
    length = static_cast<std::uint64_t>(end);
    return true;
}
#endif

} // namespace qzb
