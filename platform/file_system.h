#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

// The file-system primitives under the front end's file layer (app/file_layer.h), one source
// file per system. Each does one thing and answers with an error code, which the caller either
// acts on or drops in so many words; which one to use, in which order, and what to do when one
// is refused is the file layer's business.
namespace qzb::platform {

// An open directory or file, closed once: a descriptor, or on Windows a handle with its path.
class Node {
public:
    struct State;
    Node();
    explicit Node(std::unique_ptr<State> state);
    Node(Node&& other) noexcept;
    Node& operator=(Node&& other) noexcept;
    ~Node();
    explicit operator bool() const { return state_ != nullptr; }
    State& state() const { return *state_; }

private:
    std::unique_ptr<State> state_;
};

enum class PathKind { Missing, Directory, Other };

// Tells two directories apart for as long as both exist.
struct NodeIdentity {
    std::uint64_t device = 0;
    std::uint64_t index = 0;
    bool operator==(const NodeIdentity&) const = default;
};

// How a file without a name gets one: through its own descriptor (a capability on older Linux),
// or through the path /proc gives the descriptor.
enum class LinkVia { Descriptor, ProcPath };

// What the system may offer; a refusal at run time narrows it.
struct Abilities {
    // Resolves a relative path in one call, refusing links and anything outside the base.
    bool openBeneath = false;
    // Files without a name, named when complete.
    bool unnamedFiles = false;
    // A file without a name made in one directory can be named in another of the same file
    // system, so it can be made before its directory is known.
    bool unnamedAnywhere = false;
    LinkVia linkVia = LinkVia::Descriptor;
    // A file without a name can replace one that stands at the name in one call.
    bool replaceUnnamed = false;
    // Advisory locks on the hidden named files.
    bool locks = false;
    // Renames that refuse to replace, or links that stand in for them. A file system with
    // neither (FAT and exFAT through FUSE) gets a look at the name, then a rename.
    bool exclusiveRename = true;
};
[[nodiscard]] Abilities systemAbilities();

[[nodiscard]] std::uint64_t processId();
// False only when no process of that number runs; a process of another user still counts.
[[nodiscard]] bool processAlive(std::uint64_t id);

// The target directory as the user named it (itself possibly a link), by a path of any length.
// Refused, as the working directory would be, where it may not be searched.
[[nodiscard]] std::error_code openTarget(const std::filesystem::path& target, Node& directory);
// The directory at `path` ('/' between elements) below `base`, in one call. not_supported where
// the system cannot; no_such_file_or_directory when an element is missing.
[[nodiscard]] std::error_code openBeneath(const Node& base, const std::string& path,
                                          Node& directory);
// The child directory `name`, itself no link (on Windows no reparse point), opened for searching
// and for making files in, not for listing.
[[nodiscard]] std::error_code openChild(const Node& parent, const std::string& name,
                                        Node& directory);
[[nodiscard]] std::error_code makeDirectory(const Node& parent, const std::string& name);
// What stands at `name`; a final link is not followed.
[[nodiscard]] std::error_code kindAt(const Node& directory, const std::string& name,
                                     PathKind& kind);
[[nodiscard]] std::error_code identify(const Node& node, NodeIdentity& identity);

// A file without a name in `directory`; `hiddenName` is where a system that needs one puts it.
[[nodiscard]] std::error_code createUnnamed(const Node& directory, const std::string& hiddenName,
                                            Node& file);
// Names a file made by createUnnamed; file_exists when anything stands at `name` and `replace` is
// off. With `replace`, only where Abilities::replaceUnnamed says so.
[[nodiscard]] std::error_code nameUnnamed(const Node& file, const Node& directory,
                                          const std::string& name, LinkVia via, bool replace);
// Copies the content of `from`, written from its start, to `to`.
[[nodiscard]] std::error_code copyContent(const Node& from, const Node& to);
// A new hidden file under a name that nothing stands at; no link is followed.
[[nodiscard]] std::error_code createNamed(const Node& directory, const std::string& name,
                                          Node& file);
// An exclusive lock without waiting; held until the file is closed.
[[nodiscard]] std::error_code lockFile(const Node& file);
// Fails with file_exists when anything stands at `to`, in one step with the rename or through a
// link; not_supported, operation_not_permitted or invalid_argument where the file system has
// neither.
[[nodiscard]] std::error_code renameNoReplace(const Node& directory, const std::string& from,
                                              const std::string& to);
// A rename only when nothing stands at `to` at the look just before it: a file made there in
// between is replaced. For file systems that refuse renameNoReplace.
[[nodiscard]] std::error_code renameAfterLook(const Node& directory, const std::string& from,
                                              const std::string& to);
[[nodiscard]] std::error_code renameReplace(const Node& directory, const std::string& from,
                                            const std::string& to);
[[nodiscard]] std::error_code removeFile(const Node& directory, const std::string& name);
// Gives `file` the owner, the group and the permission bits (0777, nothing more) of the regular
// file at `name`, as far as the process may; nothing when none stands there.
[[nodiscard]] std::error_code keepAttributes(const Node& directory, const std::string& name,
                                             const Node& file);

// Writes all `length` bytes at `offset`, in as few calls as the system takes; several threads
// may write one file at once.
[[nodiscard]] std::error_code writeAllAt(const Node& file, std::uint64_t offset,
                                         const unsigned char* bytes, std::size_t length);
// Closes the file: a late write error the file system reports only then included.
[[nodiscard]] std::error_code closeFile(Node& file);

// The names in `directory` that begin with `prefix` and end with `suffix`; empty where the
// directory may not be listed, and `error` then says why.
[[nodiscard]] std::vector<std::string> listNames(const Node& directory, std::string_view prefix,
                                                 std::string_view suffix, std::error_code& error);
// Whether the regular file at `name` is free of any writer's lock. Opened for reading only,
// without following a link, without waiting and without becoming a terminal; where it cannot
// be opened, false, and `error` says why.
[[nodiscard]] bool unlocked(const Node& directory, const std::string& name, std::error_code& error);

} // namespace qzb::platform
