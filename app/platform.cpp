#include "app/platform.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <system_error>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>
#else
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace qzb::platform {
namespace {

#ifdef _WIN32
std::wstring toWide(const std::string& text, UINT codePage) {
    const int size = static_cast<int>(text.size());
    const int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
    MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
    return wide;
}

std::string fromWide(const std::wstring& text, UINT codePage) {
    const int size = static_cast<int>(text.size());
    const int length =
        WideCharToMultiByte(codePage, 0, text.data(), size, nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
    WideCharToMultiByte(codePage, 0, text.data(), size, bytes.data(), length, nullptr, nullptr);
    return bytes;
}

unsigned long processId() {
    return GetCurrentProcessId();
}

// Hidden like a dot file elsewhere; replaceFile() makes it visible again. Not inherited by
// child processes, as a handle opened with O_CLOEXEC is not.
std::FILE* createNewFile(const std::string& path, bool& exists) {
    const HANDLE handle = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        exists = GetLastError() == ERROR_FILE_EXISTS;
        return nullptr;
    }
    exists = false;
    const int fd = _open_osfhandle(reinterpret_cast<std::intptr_t>(handle), _O_WRONLY | _O_BINARY);
    if (fd < 0) {
        CloseHandle(handle);
        DeleteFileA(path.c_str());
        return nullptr;
    }
    std::FILE* file = _fdopen(fd, "wb");
    if (file == nullptr) {
        _close(fd);
        DeleteFileA(path.c_str());
    }
    return file;
}
#else
unsigned long processId() {
    return static_cast<unsigned long>(getpid());
}

std::FILE* createNewFile(const std::string& path, bool& exists) {
    // "x" is O_EXCL, "e" O_CLOEXEC: one open(2), where open and fdopen would add an fcntl(2).
    std::FILE* file = std::fopen(path.c_str(), "wbxe");
    exists = file == nullptr && errno == EEXIST;
    return file;
}
#endif

} // namespace

#ifdef _WIN32
// The narrow argv holds the arguments in the ANSI code page, which cannot spell every path; the
// wide command line can.
std::vector<std::string> arguments(int argc, char** argv) {
    std::vector<std::string> result;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) {
        for (int i = 1; i < argc; ++i) {
            result.push_back(fromWide(toWide(argv[i], CP_ACP), CP_UTF8));
        }
        return result;
    }
    for (int i = 1; i < count; ++i) {
        result.push_back(fromWide(wide[i], CP_UTF8));
    }
    LocalFree(wide);
    return result;
}

std::filesystem::path argumentPath(const std::string& argument) {
    return std::filesystem::path(toWide(argument, CP_UTF8));
}

std::string displayPath(const std::filesystem::path& path) {
    return fromWide(path.native(), CP_ACP);
}

std::FILE* openArchive(const std::filesystem::path& path) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr) {
        return nullptr;
    }
    struct _stat64 info {};
    if (_fstat64(_fileno(file), &info) != 0 || (info.st_mode & _S_IFMT) == _S_IFDIR) {
        std::fclose(file);
        return nullptr;
    }
    return file;
}

bool isStorableName(const std::string& path) {
    static constexpr std::string_view devices[] = {
        "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view element = std::string_view(path).substr(start, end - start);
        start = end + 1;
        if (element.empty() || element == ".") {
            continue;
        }
        if (element.back() == '.' || element.back() == ' ') {
            return false;
        }
        std::string_view stem = element.substr(0, element.find('.'));
        stem = stem.substr(0, stem.find_last_not_of(' ') + 1);
        for (const std::string_view device : devices) {
            if (stem.size() == device.size() &&
                std::equal(stem.begin(), stem.end(), device.begin(), [](char a, char b) {
                    return std::toupper(static_cast<unsigned char>(a)) == b;
                })) {
                return false;
            }
        }
    }
    return true;
}

// Does not follow a final link either: a link's own attributes are answered.
PathKind pathKind(const std::string& path) {
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::Other;
}

bool createDirectories(const std::string& directory) {
    std::error_code error;
    std::filesystem::create_directories(toWide(directory, CP_ACP), error);
    return !error;
}

// rename() does not replace an existing file on Windows.
bool replaceFile(const std::string& from, const std::string& to) {
    const DWORD attributes = GetFileAttributesA(from.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES ||
        !SetFileAttributesA(from.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_HIDDEN})) {
        return false;
    }
    return MoveFileExA(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
}
#else
std::vector<std::string> arguments(int argc, char** argv) {
    return std::vector<std::string>(argv + 1, argv + argc);
}

std::filesystem::path argumentPath(const std::string& argument) {
    return argument;
}

bool isStorableName(const std::string&) {
    return true;
}

std::string displayPath(const std::filesystem::path& path) {
    return path.string();
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

bool createDirectories(const std::string& directory) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    return !error;
}

bool replaceFile(const std::string& from, const std::string& to) {
    return std::rename(from.c_str(), to.c_str()) == 0;
}
#endif

std::FILE* createTempFile(const std::string& directory, std::string& tempPath) {
    static unsigned long counter = 0;
    static const std::string process = std::to_string(processId());
    const std::string prefix =
        (directory.empty() ? std::string() : directory + "/") + ".qzb-unpack-" + process + "-";
    for (;;) {
        tempPath = prefix + std::to_string(counter++) + ".part";
        bool exists = false;
        if (std::FILE* file = createNewFile(tempPath, exists)) {
            return file;
        }
        if (!exists) {
            return nullptr;
        }
    }
}

bool removeFile(const std::string& path) {
    return std::remove(path.c_str()) == 0;
}

} // namespace qzb::platform
