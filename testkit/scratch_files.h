#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <initializer_list>
#include <string>
#include <string_view>

#include "platform/archive_file.h"

// Files for tests, fuzz targets and tools: whole files written and read back, anonymous scratch
// files and archives opened from bytes.
namespace qzb::test {

// A directory of this process's own for `name` below `under`, so that builds testing at once
// never share one.
std::filesystem::path
scratchDirectory(std::string_view name,
                 const std::filesystem::path& under = std::filesystem::temp_directory_path());

void writeFile(const std::filesystem::path& path, std::string_view bytes);
std::string readFile(const std::filesystem::path& path);

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

// An anonymous file that vanishes when closed, holding `bytes` and positioned at its start.
FileHandle temporaryFile(std::string_view bytes = {});

// All of a stream's bytes, from its start.
std::string contentOf(std::FILE* file);

// Bytes at an offset of a scratch file; what lies between pieces reads as zeros.
struct FilePiece {
    std::uint64_t offset;
    std::string_view bytes;
};

// The pieces in a scratch file of this process, opened as the tools open an archive. Its name goes
// at once where the system lets an open file lose it, else when the process ends.
platform::ArchiveFile archiveFile(std::initializer_list<FilePiece> pieces);
inline platform::ArchiveFile archiveFile(std::string_view bytes) {
    return archiveFile({FilePiece{0, bytes}});
}

} // namespace qzb::test
