#include "app/platform.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace qzb::platform {

std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::FILE* openArchive(const std::filesystem::path& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fileno(file), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

PathKind pathKind(const std::string& path) {
    struct stat info {};
    // A path that cannot be examined (missing, or below a file) counts as missing: creating
    // it then fails with its own message.
    if (lstat(path.c_str(), &info) != 0) {
        return PathKind::Missing;
    }
    return S_ISDIR(info.st_mode) ? PathKind::Directory : PathKind::Other;
}

std::FILE* createTempFile(const std::string& directory, std::string& tempPath) {
    static unsigned long counter = 0;
    const std::string prefix = (directory.empty() ? std::string() : directory + "/") +
                               ".qzb-unpack-" + std::to_string(getpid()) + "-";
    for (;;) {
        tempPath = prefix + std::to_string(counter++) + ".part";
        const int fd = open(tempPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0) {
            std::FILE* file = fdopen(fd, "wb");
            if (file == nullptr) {
                close(fd);
                unlink(tempPath.c_str());
            }
            return file;
        }
        if (errno != EEXIST) {
            return nullptr;
        }
    }
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}

bool removeFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

} // namespace qzb::platform
