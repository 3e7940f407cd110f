#pragma once

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

// The 64-bit seeks differ between platforms; the platform layer (platform/platform_*.cpp) defines them.

// Seeks from the start with a 64-bit offset; false for offsets the stream cannot take.
bool seekTo(std::FILE* file, std::uint64_t offset);

// The stream's current position; false when it cannot be told.
bool filePosition(std::FILE* file, std::uint64_t& position);

// The stream's total length; leaves the position unspecified.
bool fileLength(std::FILE* file, std::uint64_t& length);

} // namespace qzb
