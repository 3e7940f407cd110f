#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "archive/file_io.h"
#include "digest/md5.h"

namespace qzb {
namespace {

// Reads the table of contents front to back, keeping the position and, when digests are checked,
// the MD5 of every byte read: once the position reaches tocSize that is the table's digest.
class TocInput {
public:
    TocInput(std::FILE* file, bool hash) : file_(file), hash_(hash) { md5Init(context_); }

    bool read(void* destination, std::size_t length) {
        if (std::fread(destination, 1, length, file_) != length) {
            return false;
        }
        position_ += length;
        if (hash_) {
            md5Update(context_, destination, length);
        }
        return true;
    }

    bool skip(std::uint64_t length) {
        position_ += length;
        return seekTo(file_, position_);
    }

    std::uint64_t position() const { return position_; }

    Md5 digest() {
        Md5 digest;
        md5Final(context_, digest);
        return digest;
    }

private:
    std::FILE* file_;
    bool hash_;
    std::uint64_t position_ = 0;
    Md5Context context_;
};

// Records are read in chunks of about this many bytes, not one call per record.
constexpr std::size_t ChunkBytes = 64 * 1024;

template <std::size_t RecordSize, typename Decode>
bool readRecords(TocInput& input, std::uint64_t count, Decode decode) {
    constexpr std::size_t perChunk = ChunkBytes / RecordSize;
    unsigned char chunk[perChunk * RecordSize];
    while (count > 0) {
        const std::size_t records =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, perChunk));
        if (!input.read(chunk, records * RecordSize)) {
            return false;
        }
        for (std::size_t i = 0; i < records; ++i) {
            decode(chunk + i * RecordSize);
        }
        count -= records;
    }
    return true;
}

// The name at `offset` of a name-table body whose offsets were checked: it ends at a zero byte.
std::string_view nameAt(const std::string& body, std::uint64_t offset) {
    const char* start = body.data() + offset;
    return std::string_view(start, std::strlen(start));
}

} // namespace

std::string_view Archive::name(std::size_t index) const {
    return nameAt(nameBody_, entries_[index].nameOffset);
}

bool Archive::readTableOfContents(std::FILE* archiveFile, bool verifyChecksums) {
    entries_.clear();
    nameBody_.clear();
    blockSizes_.clear();
    // Read into locals and kept only once every check passed, so no caller ever sees entries
    // whose name offsets were not checked.
    std::vector<ArchiveEntry> entries;
    std::string nameBody;
    std::vector<std::uint32_t> blockSizes;

    std::uint64_t fileSize = 0;
    if (!fileLength(archiveFile, fileSize) || !seekTo(archiveFile, 0)) {
        return false;
    }
    TocInput input(archiveFile, verifyChecksums);

    unsigned char headerBytes[HeaderSize];
    if (!input.read(headerBytes, HeaderSize)) {
        return false;
    }
    const ArchiveHeader header = decodeHeader(headerBytes);
    if (header.magic != expectedMagic_) {
        return false;
    }

    // The table must end at tocSize and inside the file, so nothing it claims may reach past
    // either: each size is checked against that limit before memory is reserved for it.
    const std::uint64_t limit = std::min<std::uint64_t>(header.tocSize, fileSize);
    const auto fits = [&](std::uint64_t length) {
        return input.position() <= limit && length <= limit - input.position();
    };

    const std::uint64_t count = header.entryCount;
    if (!fits(count * (DigestSize + EntryRecordSize) + NameTableLengthSize)) {
        return false;
    }

    std::vector<Md5> nameDigests;
    if (verifyChecksums) {
        nameDigests.resize(count);
        if (!readRecords<DigestSize>(input, count,
                                     [&, i = std::size_t{0}](const unsigned char* p) mutable {
                                         std::memcpy(nameDigests[i++].data(), p, DigestSize);
                                     })) {
            return false;
        }
    } else if (!input.skip(count * DigestSize)) {
        return false;
    }

    entries.reserve(count);
    if (!readRecords<EntryRecordSize>(
            input, count, [&](const unsigned char* p) { entries.push_back(decodeEntry(p)); })) {
        return false;
    }

    unsigned char lengthBytes[NameTableLengthSize];
    if (!input.read(lengthBytes, NameTableLengthSize)) {
        return false;
    }
    const std::uint32_t nameTableSize = loadLe32(lengthBytes);
    if (nameTableSize < NameTableLengthSize || !fits(nameTableSize - NameTableLengthSize)) {
        return false;
    }
    nameBody.resize(nameTableSize - NameTableLengthSize);
    if (!input.read(nameBody.data(), nameBody.size())) {
        return false;
    }

    // A name runs from its offset to the next zero byte, so an offset is good exactly when a zero
    // byte lies at or after it.
    const std::size_t lastZero = nameBody.rfind('\0');
    std::uint64_t totalBlocks = 0;
    for (const ArchiveEntry& entry : entries) {
        if (lastZero == std::string::npos || entry.nameOffset > lastZero) {
            return false;
        }
        totalBlocks += blockCount(entry.originalSize);
        if (!fits(totalBlocks * BlockSizeFieldSize)) {
            return false;
        }
    }

    blockSizes.reserve(totalBlocks);
    if (!readRecords<BlockSizeFieldSize>(input, totalBlocks, [&](const unsigned char* p) {
            blockSizes.push_back(decodeBlockSize(p));
        })) {
        return false;
    }

    if (input.position() != header.tocSize) {
        return false;
    }
    if (verifyChecksums) {
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string_view entryName = nameAt(nameBody, entries[i].nameOffset);
            if (md5Digest(entryName.data(), entryName.size()) != nameDigests[i]) {
                return false;
            }
        }
        const Md5 tocDigest = input.digest();
        Md5 storedDigest;
        if (fileSize < DigestSize || !seekTo(archiveFile, fileSize - DigestSize) ||
            std::fread(storedDigest.data(), 1, DigestSize, archiveFile) != DigestSize ||
            tocDigest != storedDigest) {
            return false;
        }
    }

    entries_ = std::move(entries);
    nameBody_ = std::move(nameBody);
    blockSizes_ = std::move(blockSizes);
    return true;
}

} // namespace qzb
