#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace qzb {

// Owns one C stream and closes it exactly once: by close(), or on destruction.
class FileHandle {
public:
    FileHandle() = default;
    explicit FileHandle(std::FILE* file) : file_(file) {}
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    FileHandle(FileHandle&& other) noexcept : file_(other.release()) {}
    FileHandle& operator=(FileHandle&& other) noexcept {
        if (this != &other) {
            close();
            file_ = other.release();
        }
        return *this;
    }
    ~FileHandle() { close(); }

    std::FILE* get() const { return file_; }
    explicit operator bool() const { return file_ != nullptr; }
    std::FILE* release() {
        std::FILE* file = file_;
        file_ = nullptr;
        return file;
    }
    // False when the stream's buffered data could not be written.
    bool close() {
        std::FILE* file = release();
        return file == nullptr || std::fclose(file) == 0;
    }

private:
    std::FILE* file_ = nullptr;
};

// The 64-bit seeks differ between platforms; the platform layer (platform/platform_*.cpp) defines
// them.

// Seeks from the start with a 64-bit offset; false for offsets the stream cannot take.
bool seekTo(std::FILE* file, std::uint64_t offset);

// The stream's current position; false when it cannot be told.
bool filePosition(std::FILE* file, std::uint64_t& position);

// The stream's total length; leaves the position unspecified.
bool fileLength(std::FILE* file, std::uint64_t& length);

// Reads up to `length` bytes at `offset` of the stream's file without using or moving the stream's
// position on POSIX systems (on Windows the handle's position moves, the stream's buffer stays), so
// several threads may read one file at once. Answers how many bytes were read: fewer than `length`
// only at the end of the file or on an error.
std::size_t readAt(std::FILE* file, std::uint64_t offset, void* buffer, std::size_t length);

// How many processors this process may run on; at least 1.
unsigned usableProcessors();

} // namespace qzb
