#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/file_system.h"

// Where extracted files are made, and how: every directory reached from the target one element at
// a time without following a link; every file written where it has no name (or a hidden one) and
// named only when complete, without replacing anything unless asked. The same on every system;
// the system's own calls are in platform/file_system.h.
namespace qzb::files {

using platform::NodeIdentity;
using platform::PathKind;

// How new files are made. A run takes Usual, the best the system offers; tests pick each form,
// including the refusals a system may answer, to run every fallback.
enum class NewFileForm {
    Usual,
    // Without a name, named through the descriptor.
    LinkDescriptor,
    // Without a name, named through the descriptor's /proc path.
    LinkProcPath,
    // Without a name, and every way of naming it refused as for want of a capability.
    LinkRefused,
    // A hidden named file, locked while written.
    Named,
    // A hidden named file where the file system refuses locks.
    NamedLocksRefused,
    // A hidden named file where the file system can neither rename without replacing nor link.
    NamedRenameRefused,
};

// An open directory at or below the target directory.
class Directory {
public:
    Directory();
    Directory(Directory&&) noexcept;
    Directory& operator=(Directory&&) noexcept;
    ~Directory();

    // The working directory, as the target of a run. Empty when it cannot be opened.
    static Directory openTarget(NewFileForm form = NewFileForm::Usual);

    explicit operator bool() const { return static_cast<bool>(node_); }

    // The directory at `path` below this one ('/' between elements), every missing element made.
    // Empty when an element is a file or a link (on Windows any reparse point), or cannot be
    // made. `created` tells whether this call made the last element.
    Directory reach(std::string_view path, bool& created) const;

    // What stands at `name` here; a final link is not followed.
    PathKind kind(std::string_view name) const;

    // Tells directories apart without keeping their paths; nullopt when the system cannot say.
    std::optional<NodeIdentity> identity() const;

    // Removes the hidden files that runs no longer alive left here.
    void removeLeftovers() const;

    struct Context;

private:
    Directory(std::shared_ptr<Context> context, platform::Node node);

    std::shared_ptr<Context> context_;
    platform::Node node_;
    // Set once this directory's file system refused a file without a name.
    mutable bool namedOnly_ = false;
    friend class NewFile;
};

// A file being written into a directory. It has no name, or a hidden one that a later run
// removes should this one die, until commit(); destruction discards it.
class NewFile {
public:
    enum class Commit { Done, Exists, WriteFailed, Failed };

    // Buffered in `buffer` (`size` bytes, outliving the file). stream() is nullptr when the file
    // cannot be created.
    NewFile(const Directory& directory, char* buffer, std::size_t size);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    std::FILE* stream() const { return stream_; }

    // Gives the complete file `name`. Without `replace`, Exists when anything stands there: it
    // stays and the content is discarded. With `replace` a file or link there gives way; the
    // replaced file's permission bits, owner and group are kept where the process may set them.
    Commit commit(std::string_view name, bool replace);

private:
    bool createNamed();
    Commit commitNamed(const std::string& to, bool replace);
    std::error_code renameNoReplace(const std::string& to);
    Commit commitUnnamed(const std::string& to, bool replace);
    std::error_code nameUnnamed(const std::string& to, bool replace);
    bool moveToNamed();
    bool closeFile();

    const Directory& directory_;
    platform::Node file_;
    std::FILE* stream_ = nullptr;
    char* buffer_;
    std::size_t size_;
    bool unnamed_ = false;
    // The hidden name while the file has it.
    std::string hiddenName_;
};

// Whether `name` is of the exact form of the hidden files, and the number of the process that
// made it.
bool isHiddenFileName(std::string_view name, std::uint64_t& process);

} // namespace qzb::files
