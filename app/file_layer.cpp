#include "app/file_layer.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace qzb::files {

namespace {

constexpr std::string_view HiddenPrefix = ".qzb-unpack-";
constexpr std::string_view HiddenSuffix = ".part";
// Hidden names carry the process number and a counter, so a name taken already is a dead run's
// leftover that the next number passes; past this many the directory is not ours to fill.
constexpr int NameAttempts = 64;

bool isDecimal(std::string_view digits) {
    return !digits.empty() && digits.size() <= 19 && (digits.size() == 1 || digits[0] != '0') &&
           std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Refusals that mean the system will not name a file without a name this way, as opposed to a
// failure of this one file (no space, an I/O error, something at the name).
bool namingRefused(std::error_code error) {
    return error == std::errc::no_such_file_or_directory ||
           error == std::errc::operation_not_permitted || error == std::errc::permission_denied ||
           error == std::errc::cross_device_link || error == std::errc::not_supported ||
           error == std::errc::operation_not_supported || error == std::errc::invalid_argument ||
           error == std::errc::too_many_symbolic_link_levels;
}

// A file system that can neither rename without replacing nor link, as opposed to a failure of
// this one rename.
bool renameRefused(std::error_code error) {
    return error == std::errc::operation_not_permitted || error == std::errc::not_supported ||
           error == std::errc::operation_not_supported || error == std::errc::invalid_argument ||
           error == std::errc::too_many_links || error == std::errc::function_not_supported;
}

// A file system that cannot hold a file without a name, as opposed to a full one or a process
// out of descriptors.
bool unnamedRefused(std::error_code error) {
    return error != std::errc::too_many_files_open &&
           error != std::errc::too_many_files_open_in_system &&
           error != std::errc::no_space_on_device && error != std::errc::permission_denied;
}

} // namespace

bool isHiddenFileName(std::string_view name, std::uint64_t& process) {
    if (!name.starts_with(HiddenPrefix) || !name.ends_with(HiddenSuffix)) {
        return false;
    }
    const std::string_view middle =
        name.substr(HiddenPrefix.size(), name.size() - HiddenPrefix.size() - HiddenSuffix.size());
    const std::size_t dash = middle.find('-');
    if (dash == std::string_view::npos || !isDecimal(middle.substr(0, dash)) ||
        !isDecimal(middle.substr(dash + 1))) {
        return false;
    }
    return std::from_chars(middle.data(), middle.data() + dash, process).ec == std::errc();
}

// What the target found out about its file system, shared by every directory reached from it.
struct Directory::Context {
    platform::Abilities abilities;
    NewFileForm form = NewFileForm::Usual;
    std::uint64_t process = platform::processId();
    std::uint64_t nextHidden = 0;

    std::string hiddenName() {
        return std::string(HiddenPrefix) + std::to_string(process) + "-" +
               std::to_string(nextHidden++) + std::string(HiddenSuffix);
    }

    std::error_code lock(const platform::Node& file) const {
        return form == NewFileForm::NamedLocksRefused
                   ? std::make_error_code(std::errc::no_lock_available)
                   : platform::lockFile(file);
    }

    std::error_code name(const platform::Node& file, const platform::Node& directory,
                         const std::string& to, bool replace) const {
        return form == NewFileForm::LinkRefused
                   ? std::make_error_code(std::errc::operation_not_permitted)
                   : platform::nameUnnamed(file, directory, to, abilities.linkVia, replace);
    }

    std::error_code renameNoReplace(const platform::Node& directory, const std::string& from,
                                    const std::string& to) const {
        return form == NewFileForm::NamedRenameRefused
                   ? std::make_error_code(std::errc::operation_not_permitted)
                   : platform::renameNoReplace(directory, from, to);
    }
};

Directory::Directory() = default;
Directory::Directory(Directory&&) noexcept = default;
Directory& Directory::operator=(Directory&&) noexcept = default;
Directory::~Directory() = default;

Directory::Directory(std::shared_ptr<Context> context, platform::Node node)
    : context_(std::move(context)), node_(std::move(node)) {}

Directory Directory::openTarget(NewFileForm form) {
    auto context = std::make_shared<Context>();
    context->abilities = platform::systemAbilities();
    context->form = form;
    platform::Abilities& abilities = context->abilities;
    switch (form) {
    case NewFileForm::Usual:
        break;
    case NewFileForm::LinkDescriptor:
    case NewFileForm::LinkRefused:
        abilities.linkVia = platform::LinkVia::Descriptor;
        break;
    case NewFileForm::LinkProcPath:
        abilities.linkVia = platform::LinkVia::ProcPath;
        break;
    case NewFileForm::Named:
    case NewFileForm::NamedLocksRefused:
    case NewFileForm::NamedRenameRefused:
        abilities.unnamedFiles = false;
        abilities.locks = true;
        break;
    }
    platform::Node node;
    if (platform::openWorkingDirectory(node)) {
        return Directory();
    }
    return Directory(std::move(context), std::move(node));
}

Directory Directory::reach(std::string_view path, bool& created) const {
    created = false;
    platform::Abilities& abilities = context_->abilities;
    platform::Node reached;
    if (abilities.openBeneath) {
        const std::error_code error = platform::openBeneath(node_, std::string(path), reached);
        if (!error) {
            return Directory(context_, std::move(reached));
        }
        if (error == std::errc::not_supported) {
            abilities.openBeneath = false;
        } else if (error != std::errc::no_such_file_or_directory &&
                   error != std::errc::filename_too_long) {
            return Directory();
        }
    }
    // One element at a time, made where missing, and past the length a single call takes.
    platform::Node current;
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find('/', start), path.size());
        const std::string element(path.substr(start, end - start));
        start = end + 1;
        if (element.empty() || element == ".") {
            continue;
        }
        const platform::Node& parent = current ? current : node_;
        platform::Node next;
        std::error_code error = platform::openChild(parent, element, next);
        created = false;
        if (error == std::errc::no_such_file_or_directory) {
            error = platform::makeDirectory(parent, element);
            created = !error;
            if (error && error != std::errc::file_exists) {
                return Directory();
            }
            error = platform::openChild(parent, element, next);
        }
        if (error) {
            created = false;
            return Directory();
        }
        current = std::move(next);
    }
    if (!current && platform::openChild(node_, ".", current)) {
        return Directory();
    }
    return Directory(context_, std::move(current));
}

PathKind Directory::kind(std::string_view name) const {
    PathKind kind = PathKind::Missing;
    // A path that cannot be examined counts as missing: creating it then fails with its own
    // message.
    return platform::kindAt(node_, std::string(name), kind) ? PathKind::Missing : kind;
}

std::optional<NodeIdentity> Directory::identity() const {
    NodeIdentity identity;
    if (!node_ || platform::identify(node_, identity)) {
        return std::nullopt;
    }
    return identity;
}

// Only names of the exact hidden form, whose process is gone and whose lock is free: a user's
// file that merely looks alike, or a live run's, stays.
void Directory::removeLeftovers() const {
    for (const std::string& name : platform::listNames(node_, HiddenPrefix, HiddenSuffix)) {
        std::uint64_t process = 0;
        if (isHiddenFileName(name, process) && process != context_->process &&
            !platform::processAlive(process) && platform::unlocked(node_, name)) {
            platform::removeFile(node_, name);
        }
    }
}

NewFile::NewFile(const Directory& directory, char* buffer, std::size_t size)
    : directory_(directory), buffer_(buffer), size_(size) {
    Directory::Context& context = *directory.context_;
    if (context.abilities.unnamedFiles && !directory.namedOnly_) {
        const std::error_code error =
            platform::createUnnamed(directory.node_, context.hiddenName(), file_);
        unnamed_ = !error;
        directory.namedOnly_ = error && unnamedRefused(error);
    }
    if (!unnamed_ && !createNamed()) {
        return;
    }
    stream_ = platform::openStream(file_, buffer_, size_);
}

NewFile::~NewFile() {
    closeFile();
    if (!hiddenName_.empty()) {
        platform::removeFile(directory_.node_, hiddenName_);
    }
}

// Under a fresh hidden name, locked where the file system allows: a later run removes it only
// once this process is gone and the lock free. Where locks fail the process number alone
// guards it, and no further lock is tried.
bool NewFile::createNamed() {
    Directory::Context& context = *directory_.context_;
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        std::string name = context.hiddenName();
        const std::error_code error = platform::createNamed(directory_.node_, name, file_);
        if (error == std::errc::file_exists) {
            continue;
        }
        if (error) {
            return false;
        }
        hiddenName_ = std::move(name);
        if (context.abilities.locks && context.lock(file_)) {
            context.abilities.locks = false;
        }
        return true;
    }
    return false;
}

bool NewFile::closeFile() {
    if (!file_) {
        return true;
    }
    const bool closed = !platform::closeFile(file_, std::exchange(stream_, nullptr));
    file_ = platform::Node();
    return closed;
}

NewFile::Commit NewFile::commit(std::string_view name, bool replace) {
    if (std::fflush(stream_) != 0) {
        return Commit::WriteFailed;
    }
    const std::string to(name);
    return unnamed_ ? commitUnnamed(to, replace) : commitNamed(to, replace);
}

// Closed before the rename, so that a write error the file system reports only at close keeps
// the name from a short file.
NewFile::Commit NewFile::commitNamed(const std::string& to, bool replace) {
    const platform::Node& directory = directory_.node_;
    if (replace) {
        platform::keepAttributes(directory, to, file_);
    }
    if (!closeFile()) {
        return Commit::WriteFailed;
    }
    const std::error_code error =
        replace ? platform::renameReplace(directory, hiddenName_, to) : renameNoReplace(to);
    if (error) {
        return error == std::errc::file_exists ? Commit::Exists : Commit::Failed;
    }
    hiddenName_.clear();
    return Commit::Done;
}

// Where the file system refuses every rename that cannot replace, the name is looked at just
// before the rename, once that has worked for the rest of the run.
std::error_code NewFile::renameNoReplace(const std::string& to) {
    Directory::Context& context = *directory_.context_;
    const platform::Node& directory = directory_.node_;
    if (context.abilities.exclusiveRename) {
        const std::error_code error = context.renameNoReplace(directory, hiddenName_, to);
        if (!error || !renameRefused(error)) {
            return error;
        }
    }
    const std::error_code error = platform::renameAfterLook(directory, hiddenName_, to);
    if (!error) {
        context.abilities.exclusiveRename = false;
    }
    return error;
}

NewFile::Commit NewFile::commitUnnamed(const std::string& to, bool replace) {
    Directory::Context& context = *directory_.context_;
    const platform::Node& directory = directory_.node_;
    // Where the system cannot replace with a file without a name, it gets a hidden name first
    // and the rename replaces.
    const bool viaHidden = replace && !context.abilities.replaceUnnamed;
    std::string hidden = viaHidden ? context.hiddenName() : to;
    std::error_code error = nameUnnamed(hidden, replace && !viaHidden);
    // A hidden name taken already is passed over, as createNamed does.
    for (int attempt = 1; viaHidden && error == std::errc::file_exists && attempt < NameAttempts;
         ++attempt) {
        hidden = context.hiddenName();
        error = nameUnnamed(hidden, false);
    }
    if (error && namingRefused(error)) {
        return moveToNamed() ? commitNamed(to, replace) : Commit::Failed;
    }
    if (error) {
        return error == std::errc::file_exists && !viaHidden ? Commit::Exists : Commit::Failed;
    }
    if (viaHidden) {
        hiddenName_ = std::move(hidden);
        platform::keepAttributes(directory, to, file_);
    }
    if (!closeFile()) {
        if (!viaHidden) {
            platform::removeFile(directory, to);
        }
        return Commit::WriteFailed;
    }
    if (viaHidden) {
        if (platform::renameReplace(directory, hiddenName_, to)) {
            return Commit::Failed;
        }
        hiddenName_.clear();
    }
    return Commit::Done;
}

// A way of naming refused for want of a capability is not tried again.
std::error_code NewFile::nameUnnamed(const std::string& to, bool replace) {
    Directory::Context& context = *directory_.context_;
    if (replace) {
        platform::keepAttributes(directory_.node_, to, file_);
    }
    std::error_code error = context.name(file_, directory_.node_, to, replace);
    if (error && namingRefused(error) &&
        context.abilities.linkVia == platform::LinkVia::Descriptor) {
        context.abilities.linkVia = platform::LinkVia::ProcPath;
        error = context.name(file_, directory_.node_, to, replace);
    }
    return error;
}

// Every way of naming a file without a name is refused: its content moves to a hidden named
// file, and the rest of the run makes named files from the start.
bool NewFile::moveToNamed() {
    directory_.context_->abilities.unnamedFiles = false;
    platform::Node unnamed = std::move(file_);
    std::FILE* stream = std::exchange(stream_, nullptr);
    unnamed_ = false;
    const bool moved = createNamed() && !platform::copyContent(unnamed, file_);
    platform::closeFile(unnamed, stream);
    return moved;
}

} // namespace qzb::files
