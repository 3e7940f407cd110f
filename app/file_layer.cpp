#include "app/file_layer.h"

#include <algorithm>
#include <atomic>
#include <charconv>
#include <utility>

#include "archive/format.h"
#include "platform/platform.h"

namespace qzb::files {

namespace {

constexpr std::string_view HiddenPrefix = ".qzb-unpack-";
constexpr std::string_view HiddenSuffix = ".part";
// Hidden names carry the process number and a counter, so a name taken already is a dead run's
// leftover that the next number passes; past this many the directory is not ours to fill.
constexpr int NameAttempts = 64;
// The numbers a file beside others tries: a bound on the calls, however many stand there.
constexpr unsigned NumberedAttempts = 10000;

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

// `name` with " (number)" before the part from its last dot, the dots it begins with excepted.
std::string numberedName(std::string_view name, unsigned number) {
    const std::size_t stem = name.find_first_not_of('.');
    const std::size_t dot = stem == std::string_view::npos ? stem : name.rfind('.');
    const std::size_t end = dot == std::string_view::npos || dot < stem ? name.size() : dot;
    return std::string(name.substr(0, end)) + " (" + std::to_string(number) + ")" +
           std::string(name.substr(end));
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
    NamingCalls calls;
    std::uint64_t process = platform::processId();
    // Files made ahead take names on other threads too.
    std::atomic<std::uint64_t> nextHidden = 0;

    std::string hiddenName() {
        return std::string(HiddenPrefix) + std::to_string(process) + "-" +
               std::to_string(nextHidden++) + std::string(HiddenSuffix);
    }
};

Directory::Directory() = default;
Directory::Directory(Directory&&) noexcept = default;
Directory& Directory::operator=(Directory&&) noexcept = default;
Directory::~Directory() = default;

Directory::Directory(std::shared_ptr<Context> context, platform::Node node)
    : context_(std::move(context)), node_(std::move(node)) {}

Directory::Directory(std::error_code error) : error_(error) {}

Directory Directory::openTarget(const std::filesystem::path& target) {
    return openTarget(target, platform::systemAbilities(), NamingCalls());
}

Directory Directory::openTarget(const std::filesystem::path& target,
                                const platform::Abilities& abilities, const NamingCalls& calls) {
    if (const std::error_code error = platform::makeTargetDirectory(target)) {
        return Directory(error);
    }
    platform::Node node;
    if (const std::error_code error = platform::openTarget(target, node)) {
        return Directory(error);
    }
    auto context = std::make_shared<Context>();
    context->abilities = abilities;
    context->calls = calls;
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
            return Directory(error);
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
                return Directory(error);
            }
            error = platform::openChild(parent, element, next);
        }
        if (error) {
            return Directory(error);
        }
        current = std::move(next);
    }
    if (!current) {
        if (const std::error_code error = platform::openChild(node_, ".", current)) {
            return Directory(error);
        }
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
bool Directory::removeLeftovers() const {
    // Told without a call into the error's category: with no descriptor left, a sanitized
    // build's check of such a call fails on its own.
    const auto shortOfDescriptors = [](const std::error_code& error) {
        return &error.category() == &std::generic_category() &&
               (error.value() == static_cast<int>(std::errc::too_many_files_open) ||
                error.value() == static_cast<int>(std::errc::too_many_files_open_in_system));
    };
    std::error_code error;
    const std::vector<std::string> names =
        platform::listNames(node_, HiddenPrefix, HiddenSuffix, error);
    bool lookedAtAll = !shortOfDescriptors(error);
    for (const std::string& name : names) {
        std::uint64_t process = 0;
        std::error_code opened;
        if (isHiddenFileName(name, process) && process != context_->process &&
            !platform::processAlive(process) && platform::unlocked(node_, name, opened)) {
            // One that cannot be removed stays for a later run, and harms nothing meanwhile.
            static_cast<void>(platform::removeFile(node_, name));
        }
        lookedAtAll = lookedAtAll && !shortOfDescriptors(opened);
    }
    return lookedAtAll;
}

bool Directory::makesFilesAhead() const {
    return context_->abilities.unnamedFiles && context_->abilities.unnamedAnywhere && !namedOnly_;
}

NewFile::NewFile(const Directory& directory, Ahead) : directory_(&directory), unbuffered_(true) {
    error_ = platform::createUnnamed(directory.node_, directory.context_->hiddenName(), file_);
    unnamed_ = !error_;
}

NewFile::NewFile(const Directory& directory) : directory_(&directory) {
    Directory::Context& context = *directory.context_;
    if (context.abilities.unnamedFiles && !directory.namedOnly_) {
        error_ = platform::createUnnamed(directory.node_, context.hiddenName(), file_);
        unnamed_ = !error_;
        directory.namedOnly_ = error_ && unnamedRefused(error_);
    }
    if (!unnamed_) {
        error_ = createNamed();
    }
}

NewFile::~NewFile() {
    // Discarded: what fails here leaves a hidden file that a later run removes.
    static_cast<void>(closeFile());
    if (!hiddenName_.empty()) {
        static_cast<void>(platform::removeFile(directory_->node_, hiddenName_));
    }
}

// Under a fresh hidden name, locked where the file system allows: a later run removes it only
// once this process is gone and the lock free. Where locks fail the process number alone
// guards it, and no further lock is tried.
std::error_code NewFile::createNamed() {
    Directory::Context& context = *directory_->context_;
    std::error_code error;
    for (int attempt = 0; attempt < NameAttempts; ++attempt) {
        std::string name = context.hiddenName();
        error = platform::createNamed(directory_->node_, name, file_);
        if (error == std::errc::file_exists) {
            continue;
        }
        if (error) {
            return error;
        }
        hiddenName_ = std::move(name);
        if (context.abilities.locks && context.calls.lock(file_)) {
            context.abilities.locks = false;
        }
        return {};
    }
    return error;
}

std::error_code NewFile::write(const unsigned char* bytes, std::size_t length) {
    if (error_) {
        return error_;
    }
    if (buffered_ + length > BlockSize) {
        error_ = flush();
    }
    if (!error_ && (length >= BlockSize || unbuffered_)) {
        error_ = append(bytes, length);
    } else if (!error_) {
        if (!buffer_) {
            buffer_ = std::make_unique_for_overwrite<unsigned char[]>(BlockSize);
        }
        std::copy(bytes, bytes + length, buffer_.get() + buffered_);
        buffered_ += length;
    }
    return error_;
}

std::error_code NewFile::flush() {
    if (buffered_ == 0) {
        return {};
    }
    const std::size_t length = std::exchange(buffered_, 0);
    return append(buffer_.get(), length);
}

std::error_code NewFile::append(const unsigned char* bytes, std::size_t length) {
    const std::error_code error = platform::writeAllAt(file_, written_, bytes, length);
    written_ += length;
    return error;
}

std::error_code NewFile::closeFile() {
    if (!file_) {
        return {};
    }
    const std::error_code error = platform::closeFile(file_);
    file_ = platform::Node();
    return error;
}

// Where the process may not set them, the new file keeps its own.
void NewFile::keepAttributes(const std::string& of) {
    static_cast<void>(platform::keepAttributes(directory_->node_, of, file_));
}

NewFile::Commit NewFile::commit(std::string_view name, bool replace) {
    if (!error_) {
        error_ = flush();
    }
    if (error_) {
        return {Outcome::WriteFailed, error_};
    }
    const std::string to(name);
    return unnamed_ ? commitUnnamed(to, replace) : commitNamed(to, replace);
}

// A system that answers a taken name otherwise than file_exists (a directory standing there, on
// Windows) is looked at: the name moves on only when something stands there.
NewFile::Commit NewFile::commitNumbered(std::string_view name) {
    std::string tried(name);
    Commit result = commit(tried, false);
    const auto taken = [&] {
        return result.outcome == Outcome::Exists ||
               (result.outcome == Outcome::Failed && directory_->kind(tried) != PathKind::Missing);
    };
    for (unsigned number = 1; number <= NumberedAttempts && taken(); ++number) {
        tried = numberedName(name, number);
        result = commit(tried, false);
    }
    return taken() ? Commit{Outcome::Failed, std::make_error_code(std::errc::file_exists)} : result;
}

// Closed before the rename, so that a write error the file system reports only at close keeps
// the name from a short file.
NewFile::Commit NewFile::commitNamed(const std::string& to, bool replace) {
    const platform::Node& directory = directory_->node_;
    if (replace) {
        keepAttributes(to);
    }
    if (const std::error_code error = closeFile()) {
        return {Outcome::WriteFailed, error};
    }
    const std::error_code error =
        replace ? platform::renameReplace(directory, hiddenName_, to) : renameNoReplace(to);
    if (error == std::errc::file_exists) {
        return {Outcome::Exists, {}};
    }
    if (error) {
        return {Outcome::Failed, error};
    }
    hiddenName_.clear();
    return {Outcome::Done, {}};
}

// Where the file system refuses every rename that cannot replace, the name is looked at just
// before the rename, once that has worked for the rest of the run.
std::error_code NewFile::renameNoReplace(const std::string& to) {
    Directory::Context& context = *directory_->context_;
    const platform::Node& directory = directory_->node_;
    if (context.abilities.exclusiveRename) {
        const std::error_code error = context.calls.renameNoReplace(directory, hiddenName_, to);
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
    Directory::Context& context = *directory_->context_;
    const platform::Node& directory = directory_->node_;
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
        error = moveToNamed();
        return error ? Commit{Outcome::Failed, error} : commitNamed(to, replace);
    }
    if (error == std::errc::file_exists && !viaHidden) {
        return {Outcome::Exists, {}};
    }
    if (error) {
        return {Outcome::Failed, error};
    }
    if (viaHidden) {
        hiddenName_ = std::move(hidden);
        keepAttributes(to);
    }
    if (const std::error_code closed = closeFile()) {
        if (!viaHidden) {
            // The short file goes; should that fail too, the name stays on it.
            static_cast<void>(platform::removeFile(directory, to));
        }
        return {Outcome::WriteFailed, closed};
    }
    if (viaHidden) {
        if (const std::error_code renamed = platform::renameReplace(directory, hiddenName_, to)) {
            return {Outcome::Failed, renamed};
        }
        hiddenName_.clear();
    }
    return {Outcome::Done, {}};
}

// A way of naming refused for want of a capability is not tried again.
std::error_code NewFile::nameUnnamed(const std::string& to, bool replace) {
    Directory::Context& context = *directory_->context_;
    if (replace) {
        keepAttributes(to);
    }
    std::error_code error =
        context.calls.name(file_, directory_->node_, to, context.abilities.linkVia, replace);
    if (error && namingRefused(error) &&
        context.abilities.linkVia == platform::LinkVia::Descriptor) {
        context.abilities.linkVia = platform::LinkVia::ProcPath;
        error =
            context.calls.name(file_, directory_->node_, to, context.abilities.linkVia, replace);
    }
    return error;
}

// Every way of naming a file without a name is refused: its content moves to a hidden named
// file, and the rest of the run makes named files from the start.
std::error_code NewFile::moveToNamed() {
    directory_->context_->abilities.unnamedFiles = false;
    platform::Node unnamed = std::move(file_);
    unnamed_ = false;
    std::error_code error = createNamed();
    if (!error) {
        error = platform::copyContent(unnamed, file_);
    }
    // Its content is copied or lost either way; nothing was written through it since the flush.
    static_cast<void>(platform::closeFile(unnamed));
    return error;
}

} // namespace qzb::files
