#pragma once

#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "app/entry_path.h"

// The services whose behaviour differs between platforms: one source file per platform implements
// them (platform_posix.cpp, platform_windows.cpp), together with the archive's 64-bit seeks
// declared in archive/file_io.h.
namespace qzb::platform {

// The command-line arguments after the program name. On Windows they are taken from the wide
// command line and handed over in UTF-8, so that no character of a path is lost.
std::vector<std::string> arguments(int argc, char** argv);

// The file-system path that an argument from arguments() names.
std::filesystem::path argumentPath(const std::string& argument);

// A path as the console lines show it: in the byte encoding that entry names are printed in.
std::string displayPath(const std::filesystem::path& path);

// Opens the archive for binary reading; nullptr for anything that cannot be read as a file,
// a directory included.
std::FILE* openArchive(const std::filesystem::path& path);

// The working directory, whatever its length.
std::filesystem::path workingDirectory();

// Creates the target directory with every missing parent (an existing one is taken as it is) and
// makes it the working directory; false when either fails.
bool enterTargetDirectory(const std::filesystem::path& target);

// The names this file system stores as given.
extern const NameRules nameRules;

enum class PathKind { Missing, Directory, Other };

// An open directory at or below the target directory. Entry names are byte strings and reach
// the file system through its byte-string interface, relative to such a directory, so that
// nothing renamed or linked meanwhile redirects them.
class Directory {
public:
    Directory();
    Directory(Directory&& other) noexcept;
    Directory& operator=(Directory&& other) noexcept;
    ~Directory();

    explicit operator bool() const { return state_ != nullptr; }

    // The working directory; empty when it cannot be opened.
    static Directory working();

    // The directory at `path` below this one ('/' between elements), every missing element
    // created. Empty when an element is a file, or a link (on Windows any reparse point), or
    // cannot be made. `created` tells whether this call made the last element.
    Directory reach(std::string_view path, bool& created) const;

    // What stands at `name` here; a final link is not followed.
    PathKind kind(std::string_view name) const;

    // Removes the hidden temporary files that runs no longer alive left here.
    void removeLeftovers() const;

    struct State;

private:
    explicit Directory(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
    friend class NewFile;
};

// A file being written into a directory. Until commit() it has no name, or where the file
// system cannot hold such a file a hidden one, locked while written, that a later run removes
// should this one die; destruction discards it.
class NewFile {
public:
    enum class Commit { Done, Exists, WriteFailed, Failed };

    // Creates the file with the permissions a new file ordinarily gets; buffered in `buffer`
    // (`size` bytes, outliving the file). stream() is nullptr when it cannot be created.
    NewFile(const Directory& directory, char* buffer, std::size_t size);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    std::FILE* stream() const;

    // Closes the stream and gives the file `name`. Without `replace`, Exists when anything stands
    // there: it stays and the content is discarded. With `replace` a file or link there gives way;
    // the file's permission bits, owner and group are kept where the process may set them.
    Commit commit(std::string_view name, bool replace);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// For tests: how new files are made. Usual picks the best form the system offers; ProcPath
// names a file without a name through the path of its descriptor, as a process must that may
// not link the descriptor itself (Linux; elsewhere the same as Usual); Named takes the hidden
// named form even where the file system could do without.
enum class NewFileForm { Usual, ProcPath, Named };
void forceNewFileForm(NewFileForm form);

} // namespace qzb::platform
