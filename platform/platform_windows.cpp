// Windows: directories held open without sharing deletion, so none can be replaced while an
// entry is written below it; files without a name are ones under a hidden name marked for
// deletion until renamed through their handle.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "platform/archive_file.h"
#include "platform/console.h"
#include "platform/file_system.h"
#include "platform/long_path.h"
#include "platform/platform.h"
#include "platform/unique_handle.h"
#include "platform/wide_text.h"

namespace qzb {
namespace platform {

void lowerThreadPriority() {
    static_cast<void>(SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL));
}

unsigned usableProcessors() {
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &process, &system)) {
        return 1;
    }
    unsigned count = 0;
    for (; process != 0; process &= process - 1) {
        ++count;
    }
    return count == 0 ? 1 : count;
}

const NameRules nameRules = NameRules::Windows;

// A path in the "\\?\" form that lifts the length limit, and handles: for a directory one on it
// and one on every directory between it and the target, held so that none can be replaced; for
// a file its own.
struct Node::State {
    std::wstring path;
    std::vector<std::shared_ptr<UniqueHandle>> handles;
    // Made by createNamed: hidden until it is closed.
    bool hidden = false;

    HANDLE handle() const { return handles.back()->get(); }
    std::wstring below(const std::string& name) const;
};

namespace {

std::error_code fromWindows(DWORD error) {
    switch (error) {
    case ERROR_SUCCESS:
        return {};
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
        return std::make_error_code(std::errc::no_such_file_or_directory);
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        return std::make_error_code(std::errc::file_exists);
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
        return std::make_error_code(std::errc::permission_denied);
    case ERROR_DIRECTORY:
        return std::make_error_code(std::errc::not_a_directory);
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return std::make_error_code(std::errc::no_space_on_device);
    case ERROR_TOO_MANY_OPEN_FILES:
        return std::make_error_code(std::errc::too_many_files_open);
    case ERROR_FILENAME_EXCED_RANGE:
        return std::make_error_code(std::errc::filename_too_long);
    case ERROR_NOT_SUPPORTED:
    case ERROR_INVALID_FUNCTION:
        return std::make_error_code(std::errc::not_supported);
    default:
        return std::make_error_code(std::errc::io_error);
    }
}

std::error_code lastError() {
    return fromWindows(GetLastError());
}

std::error_code result(BOOL done) {
    return done ? std::error_code() : lastError();
}

// The file layer's names are UTF-8 (platform/code_page.h makes them so from entry names).
std::wstring entryWide(std::string_view name) {
    return toWide(name, CP_UTF8);
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
std::error_code openDirectory(const std::wstring& path, HANDLE& opened) {
    const HANDLE handle =
        CreateFileW(path.c_str(), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(handle, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 || reparsePointAt(path)) {
        CloseHandle(handle);
        return std::make_error_code(std::errc::not_a_directory);
    }
    opened = handle;
    return {};
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

std::error_code adoptFile(HANDLE handle, std::wstring path, bool hidden, Node& file) {
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    auto state = std::make_unique<Node::State>();
    state->path = std::move(path);
    state->handles.push_back(std::make_shared<UniqueHandle>(handle));
    state->hidden = hidden;
    file = Node(std::move(state));
    return {};
}

} // namespace

std::wstring Node::State::below(const std::string& name) const {
    return path + L"\\" + entryWide(name);
}

Node::Node() = default;
Node::Node(std::unique_ptr<State> state) : state_(std::move(state)) {}
Node::Node(Node&& other) noexcept = default;
Node& Node::operator=(Node&& other) noexcept = default;
Node::~Node() = default;

void prepareProcess() {}

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

// The full path as a working directory reads: no '\\' at the end but a root's own.
std::wstring shownPath(const std::filesystem::path& path) {
    std::wstring full = fullPath(path);
    while (full.size() > 3 && full.back() == L'\\') {
        full.pop_back();
    }
    return full;
}

// Makes the directory and every missing parent; an existing directory is taken as it is.
std::error_code createDirectories(const std::wstring& path) {
    const DWORD attributes = GetFileAttributesW(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) {
        return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0
                   ? std::error_code()
                   : std::make_error_code(std::errc::not_a_directory);
    }
    const std::size_t root = rootLength(path);
    const std::size_t cut = path.find_last_of(L'\\');
    if (path.size() <= root || cut == std::wstring::npos) {
        return std::make_error_code(std::errc::no_such_file_or_directory);
    }
    if (const std::error_code error = createDirectories(path.substr(0, std::max(cut, root)))) {
        return error;
    }
    return CreateDirectoryW(path.c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS
               ? std::error_code()
               : lastError();
}

} // namespace

struct ArchiveFile::State {
    UniqueHandle handle;
};

ArchiveFile::ArchiveFile() = default;
ArchiveFile::ArchiveFile(std::unique_ptr<State> state, std::uint64_t size)
    : state_(std::move(state)), size_(size) {}
ArchiveFile::ArchiveFile(ArchiveFile&& other) noexcept = default;
ArchiveFile& ArchiveFile::operator=(ArchiveFile&& other) noexcept = default;
ArchiveFile::~ArchiveFile() = default;

// Shared for reading and writing as the C runtime's streams open files. Only a file on a disk can
// be read at any offset: not a pipe, a console or another device.
ArchiveFile ArchiveFile::open(const std::filesystem::path& path) {
    UniqueHandle handle(CreateFileW(extendedLengthPath(fullPath(path)).c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    BY_HANDLE_FILE_INFORMATION information{};
    LARGE_INTEGER size{};
    if (!handle || GetFileType(handle.get()) != FILE_TYPE_DISK ||
        !GetFileInformationByHandle(handle.get(), &information) ||
        (information.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !GetFileSizeEx(handle.get(), &size) || size.QuadPart < 0) {
        return {};
    }
    return ArchiveFile(std::make_unique<State>(State{std::move(handle)}),
                       static_cast<std::uint64_t>(size.QuadPart));
}

// The handle is synchronous, so each read also moves its position; nothing reads at the position.
std::size_t ArchiveFile::readAt(std::uint64_t offset, void* buffer, std::size_t length) const {
    std::size_t done = 0;
    while (done < length && offset <= MaxReadOffset && done <= MaxReadOffset - offset) {
        const std::uint64_t at = offset + done;
        OVERLAPPED place{};
        place.Offset = static_cast<DWORD>(at);
        place.OffsetHigh = static_cast<DWORD>(at >> 32);
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        DWORD got = 0;
        if (!ReadFile(state_->handle.get(), static_cast<unsigned char*>(buffer) + done, want, &got,
                      &place) ||
            got == 0) {
            break;
        }
        done += got;
    }
    return done;
}

// Upper case, then lower, as the simple folding gives, with the system's own tables; a character
// beyond the first plane is left as it is, as NTFS leaves it.
char32_t foldedLetterCase(char32_t c) {
    if (c > 0xFFFF || (c >= 0xD800 && c <= 0xDFFF)) {
        return c;
    }
    wchar_t unit = static_cast<wchar_t>(c);
    CharUpperBuffW(&unit, 1);
    CharLowerBuffW(&unit, 1);
    return static_cast<char32_t>(unit);
}

// Through the extended-length path, which the working directory could not take.
std::error_code makeTargetDirectory(const std::filesystem::path& target) {
    const std::wstring full = shownPath(target);
    return full.empty() ? lastError() : createDirectories(extendedLengthPath(full));
}

std::filesystem::path fullTargetPath(const std::filesystem::path& target) {
    return shownPath(target);
}

Abilities systemAbilities() {
    return {.openBeneath = false,
            .unnamedFiles = true,
            .linkVia = LinkVia::Descriptor,
            .replaceUnnamed = true,
            .locks = true};
}

std::uint64_t processId() {
    return GetCurrentProcessId();
}

bool processAlive(std::uint64_t id) {
    if (id > std::numeric_limits<DWORD>::max()) {
        return false;
    }
    const HANDLE process =
        OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, static_cast<DWORD>(id));
    if (process == nullptr) {
        return GetLastError() != ERROR_INVALID_PARAMETER;
    }
    const UniqueHandle owned(process);
    DWORD code = 0;
    return !GetExitCodeProcess(process, &code) || code == STILL_ACTIVE;
}

std::error_code openTarget(const std::filesystem::path& target, Node& directory) {
    const std::wstring shown = shownPath(target);
    if (shown.empty()) {
        return lastError();
    }
    // Entries are named below the path with one '\\' between; a drive's root keeps its own to be
    // opened as the root folder rather than the volume.
    const std::wstring full = extendedLengthPath(shown);
    auto state = std::make_unique<Node::State>();
    state->path = full;
    while (!state->path.empty() && state->path.back() == L'\\') {
        state->path.pop_back();
    }
    // The target itself may be a link: the user named it.
    const HANDLE handle =
        CreateFileW(full.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    state->handles.push_back(std::make_shared<UniqueHandle>(handle));
    directory = Node(std::move(state));
    return {};
}

std::error_code openBeneath(const Node&, const std::string&, Node&) {
    return std::make_error_code(std::errc::not_supported);
}

std::error_code openChild(const Node& parent, const std::string& name, Node& directory) {
    auto state = std::make_unique<Node::State>(parent.state());
    if (name != ".") {
        state->path = parent.state().below(name);
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (const std::error_code error = openDirectory(state->path, handle)) {
            return error;
        }
        state->handles.push_back(std::make_shared<UniqueHandle>(handle));
    }
    directory = Node(std::move(state));
    return {};
}

std::error_code makeDirectory(const Node& parent, const std::string& name) {
    return result(CreateDirectoryW(parent.state().below(name).c_str(), nullptr));
}

// Does not follow a final link either: a link's own attributes are answered.
std::error_code kindAt(const Node& directory, const std::string& name, PathKind& kind) {
    const DWORD attributes = GetFileAttributesW(directory.state().below(name).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        kind = PathKind::Missing;
        const DWORD error = GetLastError();
        return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND ? std::error_code()
                                                                              : fromWindows(error);
    }
    kind = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? PathKind::Directory : PathKind::Other;
    return {};
}

std::error_code identify(const Node& node, NodeIdentity& identity) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(node.state().handle(), &info)) {
        return lastError();
    }
    identity = {info.dwVolumeSerialNumber,
                (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
    return {};
}

// Created under its hidden name and at once marked for deletion: should the run die, the system
// removes it when the handle goes, and meanwhile no one else can open it. nameUnnamed lifts the
// mark and renames it through its handle; only a run that dies between the two leaves the hidden
// file for a later run to remove. Its attributes are a new file's own, so naming it needs no
// further call.
std::error_code createUnnamed(const Node& directory, const std::string& hiddenName, Node& file) {
    std::wstring path = directory.state().below(hiddenName);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return lastError();
    }
    if (!setDeletePending(handle, true)) {
        const std::error_code error = lastError();
        CloseHandle(handle);
        DeleteFileW(path.c_str());
        return error;
    }
    return adoptFile(handle, std::move(path), false, file);
}

std::error_code nameUnnamed(const Node& file, const Node& directory, const std::string& name,
                            LinkVia, bool replace) {
    const HANDLE handle = file.state().handle();
    if (!setDeletePending(handle, false)) {
        const std::error_code error = lastError();
        setDeletePending(handle, true);
        return error;
    }
    if (!renameOpenFile(handle, directory.state().below(name), replace)) {
        const std::error_code error = lastError();
        setDeletePending(handle, true);
        return error;
    }
    return {};
}

std::error_code copyContent(const Node&, const Node&) {
    return std::make_error_code(std::errc::not_supported);
}

// Held without sharing until closed: no other process can open or delete it meanwhile.
std::error_code createNamed(const Node& directory, const std::string& name, Node& file) {
    std::wstring path = directory.state().below(name);
    const HANDLE handle = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                      FILE_ATTRIBUTE_HIDDEN, nullptr);
    return adoptFile(handle, std::move(path), true, file);
}

std::error_code lockFile(const Node&) {
    return {};
}

std::error_code renameNoReplace(const Node& directory, const std::string& from,
                                const std::string& to) {
    const Node::State& state = directory.state();
    return result(MoveFileExW(state.below(from).c_str(), state.below(to).c_str(), 0));
}

// Windows renames without replacing in one step on every file system.
std::error_code renameAfterLook(const Node& directory, const std::string& from,
                                const std::string& to) {
    return renameNoReplace(directory, from, to);
}

std::error_code renameReplace(const Node& directory, const std::string& from,
                              const std::string& to) {
    const Node::State& state = directory.state();
    return result(
        MoveFileExW(state.below(from).c_str(), state.below(to).c_str(), MOVEFILE_REPLACE_EXISTING));
}

std::error_code removeFile(const Node& directory, const std::string& name) {
    return result(DeleteFileW(directory.state().below(name).c_str()));
}

std::error_code keepAttributes(const Node&, const std::string&, const Node&) {
    return {};
}

std::error_code writeAllAt(const Node& file, std::uint64_t offset, const unsigned char* bytes,
                           std::size_t length) {
    const HANDLE handle = file.state().handle();
    std::size_t done = 0;
    while (done < length) {
        const DWORD want = static_cast<DWORD>(std::min<std::size_t>(length - done, 1u << 30));
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset + done);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD written = 0;
        if (!WriteFile(handle, bytes + done, want, &written, &at)) {
            return lastError();
        }
        if (written == 0) {
            return std::make_error_code(std::errc::io_error);
        }
        done += written;
    }
    return {};
}

// A file that createNamed made hidden is shown before it is closed, and so before it is named.
std::error_code closeFile(Node& file) {
    Node::State& state = file.state();
    UniqueHandle& handle = *state.handles.back();
    if (!handle) {
        return std::make_error_code(std::errc::bad_file_descriptor);
    }
    const std::error_code shown =
        !state.hidden || clearAttributes(handle.get()) ? std::error_code() : lastError();
    const std::error_code closed = handle.reset() ? std::error_code() : lastError();
    return shown ? shown : closed;
}

std::vector<std::string> listNames(const Node& directory, std::string_view prefix,
                                   std::string_view suffix, std::error_code& error) {
    std::vector<std::string> names;
    WIN32_FIND_DATAW item{};
    const std::wstring pattern =
        directory.state().path + L"\\" + entryWide(prefix) + L"*" + entryWide(suffix);
    const HANDLE search = FindFirstFileW(pattern.c_str(), &item);
    if (search == INVALID_HANDLE_VALUE) {
        if (GetLastError() != ERROR_FILE_NOT_FOUND) {
            error = lastError();
        }
        return names;
    }
    do {
        std::string name = fromWide(item.cFileName, CP_UTF8);
        if (name.starts_with(prefix) && name.ends_with(suffix)) {
            names.push_back(std::move(name));
        }
    } while (FindNextFileW(search, &item));
    FindClose(search);
    return names;
}

// A writer holds its file without sharing until it has its name, so only a file whose writer is
// gone opens.
bool unlocked(const Node& directory, const std::string& name, std::error_code& error) {
    const UniqueHandle file(CreateFileW(directory.state().below(name).c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                        nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
                                        nullptr));
    if (!file) {
        error = lastError();
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    return GetFileInformationByHandle(file.get(), &info) &&
           (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
}

} // namespace platform
} // namespace qzb

namespace qzb::platform {
namespace {

// A stream with no usable handle behind it: started without that standard handle.
bool hasNoHandle(std::FILE* stream) {
    const int fd = _fileno(stream);
    return fd < 0 || _get_osfhandle(fd) < 0;
}

} // namespace

bool reopenClosedStandardStreams() {
    bool outputClosed = false;
    // In descriptor order, so that each reopened stream gets the lowest free number, its own.
    std::FILE* const streams[] = {stdin, stdout, stderr};
    for (std::FILE* stream : streams) {
        if (hasNoHandle(stream)) {
            std::freopen("NUL", stream == stdin ? "r" : "w", stream);
            outputClosed = outputClosed || stream == stdout;
        }
    }
    return outputClosed;
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

} // namespace qzb::platform
