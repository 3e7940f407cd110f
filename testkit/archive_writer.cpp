#include "tests/support/archive_writer.h"

#include <algorithm>
#include <fstream>
#include <stdexcept>

#include <zlib.h>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#endif

#include "archive/format.h"

namespace qzb::test {
namespace {

void appendLe16(std::string& out, std::uint16_t value) {
    out.push_back(static_cast<char>(value & 0xFF));
    out.push_back(static_cast<char>(value >> 8));
}

void appendLe32(std::string& out, std::uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) {
        out.push_back(static_cast<char>((value >> shift) & 0xFF));
    }
}

void appendLe64(std::string& out, std::uint64_t value) {
    appendLe32(out, static_cast<std::uint32_t>(value));
    appendLe32(out, static_cast<std::uint32_t>(value >> 32));
}

void appendDigest(std::string& out, const Md5& digest) {
    out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
}

// Compresses `block` into `stream`; false when zlib refuses.
bool compressBlock(std::string_view block, int level, std::string& stream) {
    uLongf length = compressBound(static_cast<uLong>(block.size()));
    stream.resize(length);
    const int result = compress2(reinterpret_cast<Bytef*>(stream.data()), &length,
                                 reinterpret_cast<const Bytef*>(block.data()),
                                 static_cast<uLong>(block.size()), level);
    if (result != Z_OK) {
        return false;
    }
    stream.resize(length);
    return true;
}

// A stored block is read as zlib exactly when its length differs from the block's, and a stored
// length must fit the 16-bit table (0 meaning 65536).
bool storableAsZlib(std::string_view block, const std::string& stream) {
    return stream.size() != block.size() && stream.size() <= BlockSize;
}

// Appends the stored form of one block to `data` and returns its stored length.
std::uint32_t storeBlock(std::string_view block, BlockMode mode, int level, std::string& data,
                         std::string& scratch) {
    if (mode == BlockMode::Auto) {
        // A zlib stream is at least 7 bytes (header, one byte of deflate data, checksum), so a
        // block that short never shrinks; skipping zlib for it keeps archives of many tiny
        // entries quick to build.
        if (block.size() > 7 && compressBlock(block, level, scratch) &&
            scratch.size() < block.size()) {
            data += scratch;
            return static_cast<std::uint32_t>(scratch.size());
        }
        data += block;
        return static_cast<std::uint32_t>(block.size());
    }
    if (mode == BlockMode::Zlib) {
        // The requested level first; another level when its stream happens to be as long as the
        // block or too long to store. Level 0 always differs in length from a short block.
        static constexpr int fallbackLevels[] = {9, 1, 2, 3, 4, 5, 6, 7, 8, 0};
        if (compressBlock(block, level, scratch) && storableAsZlib(block, scratch)) {
            data += scratch;
            return static_cast<std::uint32_t>(scratch.size());
        }
        for (const int other : fallbackLevels) {
            if (compressBlock(block, other, scratch) && storableAsZlib(block, scratch)) {
                data += scratch;
                return static_cast<std::uint32_t>(scratch.size());
            }
        }
        throw std::runtime_error("block of " + std::to_string(block.size()) +
                                 " bytes cannot be stored as a zlib stream");
    }
    data += block;
    return static_cast<std::uint32_t>(block.size());
}

} // namespace

std::string ArchiveImage::serialize() const {
    const std::size_t tableLength = HeaderSize + nameDigests.size() * DigestSize +
                                    entries.size() * EntryRecordSize + NameTableLengthSize +
                                    nameBody.size() + blockSizes.size() * BlockSizeFieldSize;
    std::string out;
    out.reserve(tableLength + data.size() + DigestSize);

    appendLe32(out, magic);
    appendLe32(out, tocSize);
    appendLe32(out, entryCount);
    appendLe32(out, reserved);
    for (const Md5& digest : nameDigests) {
        appendDigest(out, digest);
    }
    for (const EntryRecord& entry : entries) {
        appendLe32(out, entry.firstBlock);
        appendLe32(out, entry.reserved);
        appendLe64(out, entry.originalSize);
        appendLe64(out, entry.dataOffset);
        appendLe64(out, entry.nameOffset);
    }
    appendLe32(out, nameTableSize);
    out += nameBody;
    for (const std::uint16_t size : blockSizes) {
        appendLe16(out, size);
    }
    out += data;

    if (trailingDigest) {
        appendDigest(out, *trailingDigest);
    } else {
        const std::size_t covered = std::min<std::size_t>(tocSize, out.size());
        appendDigest(out, md5Digest(out.data(), covered));
    }
    if (truncateTo && *truncateTo < out.size()) {
        out.resize(*truncateTo);
    }
    return out;
}

ArchiveImage makeArchive(const std::vector<FileSpec>& files, int zlibLevel) {
    ArchiveImage image;
    image.magic = ArchiveMagic;
    image.entryCount = static_cast<std::uint32_t>(files.size());
    image.nameDigests.reserve(files.size());
    image.entries.reserve(files.size());

    std::size_t totalBlocks = 0;
    std::size_t totalContent = 0;
    for (const FileSpec& file : files) {
        if (file.name.find('\0') != std::string::npos) {
            throw std::invalid_argument("an entry name cannot hold a zero byte");
        }
        totalBlocks += blockCount(file.content.size());
        totalContent += file.content.size();
    }
    image.blockSizes.reserve(totalBlocks);
    image.data.reserve(totalContent);

    // Data offsets depend on tocSize, which is known only once all names and blocks are laid
    // out; entries first take offsets relative to the data area.
    std::string scratch;
    for (const FileSpec& file : files) {
        EntryRecord entry;
        entry.firstBlock = static_cast<std::uint32_t>(image.blockSizes.size());
        entry.originalSize = file.content.size();
        entry.dataOffset = image.data.size();
        entry.nameOffset = image.nameBody.size();
        image.nameBody += file.name;
        image.nameBody.push_back('\0');
        image.nameDigests.push_back(md5Digest(file.name.data(), file.name.size()));

        const std::string_view content = file.content;
        for (std::size_t offset = 0; offset < content.size(); offset += BlockSize) {
            const std::string_view block = content.substr(offset, BlockSize);
            const std::uint32_t stored =
                storeBlock(block, file.mode, zlibLevel, image.data, scratch);
            image.blockSizes.push_back(
                static_cast<std::uint16_t>(stored == BlockSize ? 0 : stored));
        }
        image.entries.push_back(entry);
    }

    const std::uint64_t tocSize =
        std::uint64_t{HeaderSize} +
        static_cast<std::uint64_t>(files.size()) * (DigestSize + EntryRecordSize) +
        NameTableLengthSize + image.nameBody.size() +
        static_cast<std::uint64_t>(image.blockSizes.size()) * BlockSizeFieldSize;
    if (tocSize > UINT32_MAX || image.nameBody.size() + NameTableLengthSize > UINT32_MAX) {
        throw std::length_error("table of contents exceeds 4 GiB");
    }
    image.tocSize = static_cast<std::uint32_t>(tocSize);
    image.nameTableSize = static_cast<std::uint32_t>(image.nameBody.size() + NameTableLengthSize);
    for (EntryRecord& entry : image.entries) {
        entry.dataOffset += tocSize;
    }
    return image;
}

std::string buildArchive(const std::vector<FileSpec>& files, int zlibLevel) {
    return makeArchive(files, zlibLevel).serialize();
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

} // namespace

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

std::string compressibleText(std::size_t length, std::string_view tag) {
    std::string text;
    while (text.size() < length) {
        text.append(tag);
        text += " at " + std::to_string(text.size() / 4096) + "\n";
    }
    text.resize(length);
    return text;
}

std::string incompressibleBytes(std::size_t length, std::uint32_t seed) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

} // namespace qzb::test
