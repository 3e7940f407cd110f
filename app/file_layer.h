#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

#include "platform/file_system.h"

// Where extracted files are made, and how: every directory reached from the target one element at
// a time without following a link; every file written where it has no name (or a hidden one) and
// named only when complete, without replacing anything unless asked. The same on every system;
// the system's own calls are in platform/file_system.h.
namespace qzb::files {

using platform::NodeIdentity;
using platform::PathKind;

// The system's calls by which new files are locked and named. A run takes the system's own;
// tests put the refusals a system may answer in their place, to run every fallback.
struct NamingCalls {
    std::error_code (*lock)(const platform::Node& file) = platform::lockFile;
    std::error_code (*name)(const platform::Node& file, const platform::Node& directory,
                            const std::string& name, platform::LinkVia via,
                            bool replace) = platform::nameUnnamed;
    std::error_code (*renameNoReplace)(const platform::Node& directory, const std::string& from,
                                       const std::string& to) = platform::renameNoReplace;
};

// What becomes of a complete file when anything stands at its name.
enum class Conflict { Skip, Overwrite, Rename, Error };

// An open directory at or below the target directory.
class Directory {
public:
    Directory();
    Directory(Directory&&) noexcept;
    Directory& operator=(Directory&&) noexcept;
    ~Directory();

    // The target of a run, as the user named it, made with every missing parent where it is
    // missing; new files in it are made with what the system offers. Empty when it cannot be
    // made or opened.
    static Directory openTarget(const std::filesystem::path& target);
    // With `abilities` in place of the system's and `calls` in place of its naming calls.
    static Directory openTarget(const std::filesystem::path& target,
                                const platform::Abilities& abilities, const NamingCalls& calls);

    explicit operator bool() const { return static_cast<bool>(node_); }
    // Why an empty directory could not be opened or reached, where the system said.
    const std::error_code& error() const { return error_; }

    // The directory at `path` below this one ('/' between elements), every missing element made.
    // Empty when an element is a file or a link (on Windows any reparse point), or cannot be
    // made. `created` tells whether this call made the last element, or on failure the element
    // it could then not open.
    Directory reach(std::string_view path, bool& created) const;

    // What stands at `name` here; a final link is not followed.
    PathKind kind(std::string_view name) const;

    // Tells directories apart without keeping their paths; nullopt when the system cannot say.
    std::optional<NodeIdentity> identity() const;

    // Removes the hidden files that runs no longer alive left here. False where too few
    // descriptors were left to look at them all.
    bool removeLeftovers() const;

    // Whether files may be made here ahead of their entries, on other threads, and named later
    // in any directory of this file system (NewFile::Ahead).
    bool makesFilesAhead() const;

    struct Context;

private:
    Directory(std::shared_ptr<Context> context, platform::Node node);
    explicit Directory(std::error_code error);

    std::shared_ptr<Context> context_;
    platform::Node node_;
    std::error_code error_;
    // Set once this directory's file system refused a file without a name.
    mutable bool namedOnly_ = false;
    friend class NewFile;
};

// A file being written into a directory. It has no name, or a hidden one that a later run
// removes should this one die, until commit(); destruction discards it. It is written through
// its own buffer: what fills less of it waits for more or for the commit, so that a whole block
// goes out in one write and a small file in one write at its commit.
class NewFile {
public:
    enum class Outcome { Done, Exists, WriteFailed, Failed };
    struct Commit {
        Outcome outcome;
        // The system's reason for WriteFailed or Failed, where it gave one.
        std::error_code error;
    };

    // Empty, with error() telling why, when the file cannot be created.
    explicit NewFile(const Directory& directory);
    // Made in `directory` on any thread, before it is known where it goes: only without a name
    // (where the directory makesFilesAhead()), never named here, each write going out at once.
    struct Ahead {};
    NewFile(const Directory& directory, Ahead);
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;
    ~NewFile();

    explicit operator bool() const { return static_cast<bool>(file_); }
    // The first failure: of the creation or of a write.
    const std::error_code& error() const { return error_; }

    // The first failure, which every later write answers too.
    [[nodiscard]] std::error_code write(const unsigned char* bytes, std::size_t length);

    // Whether writeAt() may go out of order and on several threads at once: a file without a name
    // lives on a file system that keeps what lies past a write's end a hole, where others
    // (FAT through FUSE, say) fail or fill it first.
    bool takesWritesOutOfOrder() const { return unnamed_; }
    // Writes at `offset`, on any thread, on several at once, past the buffer and without keeping
    // the failure: for a file written only this way.
    [[nodiscard]] std::error_code writeAt(std::uint64_t offset, const unsigned char* bytes,
                                          std::size_t length) const {
        return platform::writeAllAt(file_, offset, bytes, length);
    }

    // Gives the complete file `name`. Without `replace`, Exists when anything stands there: it
    // stays and the content is discarded. With `replace` a file or link there gives way; the
    // replaced file's permission bits, owner and group are kept where the process may set them.
    [[nodiscard]] Commit commit(std::string_view name, bool replace);
    // Gives the complete file `name` or, where anything stands there, "name (n).ext" for the
    // first n from 1 at which nothing does (the number before the last extension; the dots a
    // name begins with start none: "README (1)", ".bashrc (1)"); each try names without replacing,
    // so a name taken meanwhile only moves it on. Failed, with file_exists, once too many are
    // taken.
    [[nodiscard]] Commit commitNumbered(std::string_view name);

    // Named in `directory` from now on, which lies on the file system the file was made on.
    void moveTo(const Directory& directory) { directory_ = &directory; }

private:
    std::error_code flush();
    std::error_code append(const unsigned char* bytes, std::size_t length);
    std::error_code createNamed();
    Commit commitNamed(const std::string& to, bool replace);
    std::error_code renameNoReplace(const std::string& to);
    Commit commitUnnamed(const std::string& to, bool replace);
    std::error_code nameUnnamed(const std::string& to, bool replace);
    std::error_code moveToNamed();
    std::error_code closeFile();
    void keepAttributes(const std::string& of);

    const Directory* directory_;
    platform::Node file_;
    std::error_code error_;
    std::unique_ptr<unsigned char[]> buffer_;
    std::size_t buffered_ = 0;
    std::uint64_t written_ = 0; // by write(), where the next goes
    bool unnamed_ = false;
    bool unbuffered_ = false;
    // The hidden name while the file has it.
    std::string hiddenName_;
};

// Whether `name` is of the exact form of the hidden files, and the number of the process that
// made it.
bool isHiddenFileName(std::string_view name, std::uint64_t& process);

} // namespace qzb::files
