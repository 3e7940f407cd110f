#include "testkit/scratch_files.h"

#include <atomic>
#include <fstream>
#include <stdexcept>

#include "platform/file_system.h"

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

namespace qzb::test {

std::filesystem::path scratchDirectory(std::string_view name, const std::filesystem::path& under) {
    return under / ("qzb-" + std::string(name) + "-" + std::to_string(platform::processId()));
}

void writeFile(const std::filesystem::path& path, std::string_view bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out) {
        throw std::runtime_error("cannot write " + path.string());
    }
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        throw std::runtime_error("cannot read " + path.string());
    }
    const std::uintmax_t size = std::filesystem::file_size(path);
    std::string bytes(static_cast<std::size_t>(size), '\0');
    in.read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (in.gcount() != static_cast<std::streamsize>(bytes.size())) {
        throw std::runtime_error("short read of " + path.string());
    }
    return bytes;
}

namespace {

#ifdef _WIN32
// The C runtime's tmpfile() creates its files in the root of the drive, which needs rights there
// and hands parallel test processes the same names. "D": deleted when closed.
std::FILE* openTemporary() {
    wchar_t directory[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, directory) == 0 ||
        GetTempFileNameW(directory, L"qzb", 0, name) == 0) {
        return nullptr;
    }
    return _wfopen(name, L"w+bD");
}
#else
std::FILE* openTemporary() {
    return std::tmpfile();
}
#endif

// The directory of the archives made from bytes, removed with what is left in it when the process
// ends.
class ScratchArchives {
public:
    ScratchArchives() : directory_(scratchDirectory("archives")) {
        std::filesystem::create_directories(directory_);
    }
    ScratchArchives(const ScratchArchives&) = delete;
    ScratchArchives& operator=(const ScratchArchives&) = delete;
    ~ScratchArchives() {
        std::error_code ignored;
        std::filesystem::remove_all(directory_, ignored);
    }

    std::filesystem::path next() { return directory_ / std::to_string(count_++); }

private:
    std::filesystem::path directory_;
    std::atomic<unsigned long> count_{0};
};

} // namespace

platform::ArchiveFile archiveFile(std::initializer_list<FilePiece> pieces) {
    static ScratchArchives archives;
    const std::filesystem::path path = archives.next();
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        for (const FilePiece& piece : pieces) {
            out.seekp(static_cast<std::streamoff>(piece.offset));
            out.write(piece.bytes.data(), static_cast<std::streamsize>(piece.bytes.size()));
        }
        out.close();
        if (!out) {
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    platform::ArchiveFile file = platform::ArchiveFile::open(path);
    if (!file) {
        throw std::runtime_error("cannot open " + path.string());
    }
    // Windows keeps the name of a file open without delete sharing: the directory's removal
    // takes it.
    std::error_code kept;
    std::filesystem::remove(path, kept);
    return file;
}

FileHandle temporaryFile(std::string_view bytes) {
    FileHandle file(openTemporary());
    if (!file || std::fwrite(bytes.data(), 1, bytes.size(), file.get()) != bytes.size() ||
        std::fflush(file.get()) != 0) {
        throw std::runtime_error("cannot fill a temporary file");
    }
    std::rewind(file.get());
    return file;
}

std::string contentOf(std::FILE* file) {
    std::string bytes;
    std::rewind(file);
    char buffer[16384];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        bytes.append(buffer, got);
    }
    return bytes;
}

} // namespace qzb::test
