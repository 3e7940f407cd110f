#include "testkit/archive_writer.h"

#include <algorithm>
#include <stdexcept>

#include <zlib.h>

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
    stream = zlibStream(block, level);
    return !stream.empty();
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

std::string zlibStream(std::string_view content, int level, std::string_view dictionary,
                       int strategy, int windowBits) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, windowBits, 8, strategy) != Z_OK) {
        return {};
    }
    if (!dictionary.empty() &&
        deflateSetDictionary(&stream, reinterpret_cast<const Bytef*>(dictionary.data()),
                             static_cast<uInt>(dictionary.size())) != Z_OK) {
        deflateEnd(&stream);
        return {};
    }
    std::string out(deflateBound(&stream, static_cast<uLong>(content.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(content.data()));
    stream.avail_in = static_cast<uInt>(content.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    out.resize(result == Z_STREAM_END ? stream.total_out : 0);
    deflateEnd(&stream);
    return out;
}

} // namespace qzb::test
