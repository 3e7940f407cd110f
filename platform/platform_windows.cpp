#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>
#include <sys/stat.h>

#include <cstdint>
#include <limits>
#include <utility>

#include "platform/platform.h"
#include "archive/file_io.h"
#include "common/long_path.h"
#include "common/wide_text.h"

namespace qzb {

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

namespace platform {

const NameRules nameRules = NameRules::Windows;

namespace {

constexpr std::wstring_view TempPrefix = L".qzb-unpack-";
constexpr std::wstring_view TempSuffix = L".part";

bool forceNamed = false;
unsigned long nextTemporary = 0;

// Entry names reach the file system in the ANSI code page, as its byte-string interface takes
// them.
std::wstring entryWide(std::string_view name) {
    return toWide(name, CP_ACP);
}

// Whether the path names a reparse point. Wine opens a link of the host's file system as what it
// leads to, even with FILE_FLAG_OPEN_REPARSE_POINT, and reports the link only by its path.
bool reparsePointAt(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

// Opened without FILE_SHARE_DELETE: while the handle is held the directory can be neither
// renamed nor removed, so nothing can take its place. A reparse point (symbolic link or
// junction) is opened as itself and refused.
HANDLE openDirectory(const std::wstring& path) {
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return handle;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || reparsePointAt(path)) {
        CloseHandle(handle);
        SetLastError(ERROR_DIRECTORY);
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

bool setDeletePending(HANDLE file, bool pending) {
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = pending ? TRUE : FALSE;
    return SetFileInformationByHandle(file, FileDispositionInfo, &disposition,
                                      sizeof disposition) != 0;
}

bool clearAttributes(HANDLE file) {
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic) != 0;
}

// Gives the open file the full path `to`; ERROR_ALREADY_EXISTS when something stands there and
// `replace` is off.
bool renameOpenFile(HANDLE file, const std::wstring& to, bool replace) {
    const std::size_t nameBytes = to.size() * sizeof(wchar_t);
    std::vector<unsigned char> buffer(sizeof(FILE_RENAME_INFO) + nameBytes);
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    info->ReplaceIfExists = replace ? TRUE : FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(nameBytes);
    std::copy(to.begin(), to.end(), info->FileName);
    return SetFileInformationByHandle(file, FileRenameInfo, info,
                                      static_cast<DWORD>(buffer.size())) != 0;
}

} // namespace

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

namespace {

// The full path, as the system makes it; empty when it cannot.
std::wstring fullPath(const std::filesystem::path& path) {
    const std::wstring& given = path.native();
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetFullPathNameW(given.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (length == 0 || length < full.size()) {
            full.resize(length);
            return full;
        }
        full.resize(length);
    }
}

// How much of an extended-length path is its root: "\\?\C:\", "\\?\UNC\server\share\".
std::size_t rootLength(const std::wstring& path) {
    constexpr std::wstring_view Unc = L"\\\\?\\UNC\\";
    std::size_t end = path.find(L'\\', 4);
    if (path.compare(0, Unc.size(), Unc) == 0) {
        const std::size_t server = path.find(L'\\', Unc.size());
        end = server == std::wstring::npos ? server : path.find(L'\\', server + 1);
    }
    return end == std::wstring::npos ? path.size() : end + 1;
}

// Makes the directory and every missing parent; an existing directory is taken as it is.
bool createDirectories(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    }
    const std::size_t root = rootLength(path);
    const std::size_t cut = path.find_last_of(L'\\');
    if (path.size() <= root || cut == std::wstring::npos) {
        return false;
    }
    if (!createDirectories(path.substr(0, std::max(cut, root)))) {
        return false;
    }
    return CreateDirectoryW(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

} // namespace

std::FILE* openArchive(const std::filesystem::path& path) {
    std::FILE* file = _wfopen(extendedLengthPath(fullPath(path)).c_str(), L"rb");
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

// The C runtime's getcwd, under std::filesystem::current_path, stops at 260 characters.
std::filesystem::path workingDirectory() {
    std::wstring current(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetCurrentDirectoryW(static_cast<DWORD>(current.size()), current.data());
        if (length == 0) {
            throw std::filesystem::filesystem_error(
                "current_path",
                std::error_code(static_cast<int>(GetLastError()), std::system_category()));
        }
        if (length < current.size()) {
            current.resize(length);
            return current;
        }
        current.resize(length);
    }
}

// The directories are made through the extended-length path. The working directory takes the
// plain full path: the prefix does not lift its limit (only the system's long-path setting,
// with the manifest, does), and a target the system refuses there fails the run before any
// entry is written.
bool enterTargetDirectory(const std::filesystem::path& target) {
    const std::wstring full = fullPath(target);
    return !full.empty() && createDirectories(extendedLengthPath(full)) &&
           SetCurrentDirectoryW(full.c_str()) != 0;
}

void forceNewFileForm(NewFileForm form) {
    forceNamed = form == NewFileForm::Named;
}

// The path of the directory, with the "\\?\" prefix that lifts the length limit, and a handle
// on it and on every directory between it and the target, held so that none can be replaced.
struct Directory::State {
    std::wstring path;
    std::vector<HANDLE> handles;
    ~State() {
        for (const HANDLE handle : handles) {
            CloseHandle(handle);
        }
    }
    std::wstring below(std::string_view name) const { return path + L"\\" + entryWide(name); }
};

Directory::Directory() = default;
Directory::Directory(std::unique_ptr<State> state) : state_(std::move(state)) {}
Directory::Directory(Directory&& other) noexcept = default;
Directory& Directory::operator=(Directory&& other) noexcept = default;
Directory::~Directory() = default;

Directory Directory::working() {
    const DWORD length = GetCurrentDirectoryW(0, nullptr);
    std::wstring current(length, L'\0');
    if (length == 0 || GetCurrentDirectoryW(length, current.data()) + 1 != length) {
        return Directory();
    }
    current.resize(length - 1);
    while (current.size() > 3 && current.back() == L'\\') {
        current.pop_back();
    }
    if (current.size() == 3 && current.back() == L'\\') {
        current.pop_back();
    }
    auto state = std::make_unique<State>();
    if (current.rfind(L"\\\\?\\", 0) == 0) {
        state->path = current;
    } else if (current.rfind(L"\\\\", 0) == 0) {
        state->path = L"\\\\?\\UNC\\" + current.substr(2);
    } else {
        state->path = L"\\\\?\\" + current;
    }
    // The target itself may be a link: the user named it.
    const HANDLE handle =
        CreateFileW(state->path.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return Directory();
    }
    state->handles.push_back(handle);
    return Directory(std::move(state));
}

Directory Directory::reach(std::string_view path, bool& created) const {
    created = false;
    auto state = std::make_unique<State>();
    state->path = state_->path;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string_view element = path.substr(start, end - start);
        start = end + 1;
        if (element.empty() || element == ".") {
            continue;
        }
        state->path += L"\\" + entryWide(element);
        HANDLE handle = openDirectory(state->path);
        created = false;
        if (handle == INVALID_HANDLE_VALUE &&
            (GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND)) {
            created = CreateDirectoryW(state->path.c_str(), nullptr) != 0;
            if (!created && GetLastError() != ERROR_ALREADY_EXISTS) {
                return Directory();
            }
            handle = openDirectory(state->path);
        }
        if (handle == INVALID_HANDLE_VALUE) {
            return Directory();
        }
        state->handles.push_back(handle);
    }
    return Directory(std::move(state));
}

// Does not follow a final link either: a link's own attributes are answered.
PathKind Directory::kind(std::string_view name) const {
    const DWORD attributes = GetFileAttributesW(state_->below(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return PathKind::Missing;
    }
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::Other;
}

// A writer holds its hidden file open without sharing until the file has its name, so only a
// file whose writer is gone can be deleted.
void Directory::removeLeftovers() const {
    WIN32_FIND_DATAW item{};
    const std::wstring pattern =
        state_->path + L"\\" + std::wstring(TempPrefix) + L"*" + std::wstring(TempSuffix);
    const HANDLE search = FindFirstFileW(pattern.c_str(), &item);
    if (search == INVALID_HANDLE_VALUE) {
        return;
    }
    do {
        if ((item.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) ==
            0) {
            DeleteFileW((state_->path + L"\\" + item.cFileName).c_str());
        }
    } while (FindNextFileW(search, &item));
    FindClose(search);
}

// The file is created hidden and at once marked for deletion: should the run die, the system
// removes it when the handle goes. commit() lifts the mark and renames it through its handle;
// only a run that dies between the two leaves the hidden file for a later run to remove.
struct NewFile::State {
    const Directory::State* directory = nullptr;
    HANDLE handle = INVALID_HANDLE_VALUE;
    std::FILE* stream = nullptr;
    bool pending = false;

    ~State() {
        if (handle != INVALID_HANDLE_VALUE) {
            setDeletePending(handle, true);
        }
        if (stream != nullptr) {
            std::fclose(stream);
        } else if (handle != INVALID_HANDLE_VALUE) {
            CloseHandle(handle);
        }
    }
};

NewFile::NewFile(const Directory& directory, char* buffer, std::size_t size)
    : state_(std::make_unique<State>()) {
    state_->directory = directory.state_.get();
    for (;;) {
        const std::wstring path = directory.state_->path + L"\\" + std::wstring(TempPrefix) +
                                  std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(nextTemporary++) + std::wstring(TempSuffix);
        state_->handle = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_HIDDEN, nullptr);
        if (state_->handle != INVALID_HANDLE_VALUE) {
            break;
        }
        if (GetLastError() != ERROR_FILE_EXISTS) {
            return;
        }
    }
    state_->pending = !forceNamed && setDeletePending(state_->handle, true);
    const int fd =
        _open_osfhandle(reinterpret_cast<std::intptr_t>(state_->handle), _O_WRONLY | _O_BINARY);
    state_->stream = fd < 0 ? nullptr : _fdopen(fd, "wb");
    if (state_->stream == nullptr) {
        if (fd >= 0) {
            _close(fd);
            state_->handle = INVALID_HANDLE_VALUE;
        }
        return;
    }
    std::setvbuf(state_->stream, buffer, _IOFBF, size);
}

NewFile::~NewFile() = default;

std::FILE* NewFile::stream() const {
    return state_->stream;
}

NewFile::Commit NewFile::commit(std::string_view name, bool replace) {
    State& state = *state_;
    if (std::fflush(state.stream) != 0) {
        return Commit::WriteFailed;
    }
    Commit result = Commit::Done;
    if (!clearAttributes(state.handle) || !setDeletePending(state.handle, false)) {
        result = Commit::Failed;
    } else if (!renameOpenFile(state.handle, state.directory->below(name), replace)) {
        const DWORD error = GetLastError();
        result = error == ERROR_ALREADY_EXISTS || error == ERROR_FILE_EXISTS ? Commit::Exists
                                                                             : Commit::Failed;
    }
    if (result != Commit::Done) {
        setDeletePending(state.handle, true);
    }
    state.handle = INVALID_HANDLE_VALUE;
    const bool closed = std::fclose(std::exchange(state.stream, nullptr)) == 0;
    return result == Commit::Done && !closed ? Commit::WriteFailed : result;
}

} // namespace platform
} // namespace qzb
