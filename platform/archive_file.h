#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>

// What the archive layer asks of the system: its file read at offsets, and the processors to
// inflate on. One source file per system implements them.
namespace qzb::platform {

// The highest offset a read may start at or reach: the systems' file offsets are signed 64-bit.
inline constexpr std::uint64_t MaxReadOffset =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

// An archive opened for reading: one descriptor (a handle on Windows), closed once, and its
// length as it was when opened. Reads name their offset and share no position, so any number of
// threads may read at once.
class ArchiveFile {
public:
    ArchiveFile();
    ArchiveFile(ArchiveFile&& other) noexcept;
    ArchiveFile& operator=(ArchiveFile&& other) noexcept;
    ~ArchiveFile();

    // Only what can be read at any offset: a regular file or a block device (on Windows a file on
    // a disk), opened without waiting, so that a FIFO nobody writes to is refused at once. An
    // empty ArchiveFile for anything else, a directory included, or when the open fails.
    [[nodiscard]] static ArchiveFile open(const std::filesystem::path& path);

    explicit operator bool() const { return state_ != nullptr; }
    std::uint64_t size() const { return size_; }

    // Reads up to `length` bytes at `offset`; answers how many were read: fewer than `length` only
    // at the end of the file, past MaxReadOffset or on an error.
    [[nodiscard]] std::size_t readAt(std::uint64_t offset, void* buffer, std::size_t length) const;

    struct State;

private:
    ArchiveFile(std::unique_ptr<State> state, std::uint64_t size);

    std::unique_ptr<State> state_;
    std::uint64_t size_ = 0;
};

// How many processors this process may run on; at least 1.
[[nodiscard]] unsigned usableProcessors();

} // namespace qzb::platform
