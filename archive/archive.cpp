#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <memory>
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
    // On the heap: the process's stack may be small.
    const auto chunk = std::make_unique_for_overwrite<unsigned char[]>(perChunk * RecordSize);
    while (count > 0) {
        const std::size_t records =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, perChunk));
        if (!input.read(chunk.get(), records * RecordSize)) {
            return false;
        }
        for (std::size_t i = 0; i < records; ++i) {
            decode(chunk.get() + i * RecordSize);
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

// One read of the table of contents, front to back, a step for each part. The table must end
// at tocSize and inside the file, so nothing it claims may reach past either: each size is
// checked against that limit before memory is reserved for it.
class TocReader {
public:
    TocReader(std::FILE* file, std::uint64_t fileSize, bool verifyChecksums)
        : file_(file), fileSize_(fileSize), verify_(verifyChecksums),
          input_(file, verifyChecksums) {}

    bool readHeader(std::uint32_t expectedMagic) {
        unsigned char headerBytes[HeaderSize];
        if (!input_.read(headerBytes, HeaderSize)) {
            return false;
        }
        header_ = decodeHeader(headerBytes);
        limit_ = std::min<std::uint64_t>(header_.tocSize, fileSize_);
        return header_.magic == expectedMagic &&
               fits(std::uint64_t{header_.entryCount} * (DigestSize + EntryRecordSize) +
                    NameTableLengthSize);
    }

    bool readNameDigests() {
        const std::uint64_t count = header_.entryCount;
        if (!verify_) {
            return input_.skip(count * DigestSize);
        }
        nameDigests_.resize(count);
        return readRecords<DigestSize>(input_, count,
                                       [&, i = std::size_t{0}](const unsigned char* p) mutable {
                                           std::memcpy(nameDigests_[i++].data(), p, DigestSize);
                                       });
    }

    bool readEntries() {
        entries.reserve(header_.entryCount);
        return readRecords<EntryRecordSize>(
            input_, header_.entryCount,
            [&](const unsigned char* p) { entries.push_back(decodeEntry(p)); });
    }

    // A name runs from its offset to the next zero byte, so an offset is good exactly when a
    // zero byte lies at or after it.
    bool readNames() {
        unsigned char lengthBytes[NameTableLengthSize];
        if (!input_.read(lengthBytes, NameTableLengthSize)) {
            return false;
        }
        const std::uint32_t nameTableSize = loadLe32(lengthBytes);
        if (nameTableSize < NameTableLengthSize || !fits(nameTableSize - NameTableLengthSize)) {
            return false;
        }
        nameBody.resize(nameTableSize - NameTableLengthSize);
        if (!input_.read(nameBody.data(), nameBody.size())) {
            return false;
        }
        const std::size_t lastZero = nameBody.rfind('\0');
        return std::all_of(entries.begin(), entries.end(), [&](const ArchiveEntry& entry) {
            return lastZero != std::string::npos && entry.nameOffset <= lastZero;
        });
    }

    bool readBlockSizes() {
        std::uint64_t totalBlocks = 0;
        for (const ArchiveEntry& entry : entries) {
            totalBlocks += blockCount(entry.originalSize);
            if (!fits(totalBlocks * BlockSizeFieldSize)) {
                return false;
            }
        }
        blockSizes.reserve(totalBlocks);
        return readRecords<BlockSizeFieldSize>(
                   input_, totalBlocks,
                   [&](const unsigned char* p) { blockSizes.push_back(decodeBlockSize(p)); }) &&
               input_.position() == header_.tocSize;
    }

    // The digests of every name and of the whole table, against those the archive carries.
    bool checkDigests() {
        if (!verify_) {
            return true;
        }
        for (std::size_t i = 0; i < entries.size(); ++i) {
            const std::string_view entryName = nameAt(nameBody, entries[i].nameOffset);
            if (md5Digest(entryName.data(), entryName.size()) != nameDigests_[i]) {
                return false;
            }
        }
        const Md5 tocDigest = input_.digest();
        Md5 storedDigest;
        return fileSize_ >= DigestSize && seekTo(file_, fileSize_ - DigestSize) &&
               std::fread(storedDigest.data(), 1, DigestSize, file_) == DigestSize &&
               tocDigest == storedDigest;
    }

    std::vector<ArchiveEntry> entries;
    std::string nameBody;
    std::vector<std::uint32_t> blockSizes;

private:
    bool fits(std::uint64_t length) const {
        return input_.position() <= limit_ && length <= limit_ - input_.position();
    }

    std::FILE* file_;
    std::uint64_t fileSize_;
    bool verify_;
    TocInput input_;
    ArchiveHeader header_{};
    std::uint64_t limit_ = 0;
    std::vector<Md5> nameDigests_;
};

} // namespace

std::string_view Archive::name(std::size_t index) const {
    return nameAt(nameBody_, entries_[index].nameOffset);
}

// Kept only once every check passed, so no caller ever sees entries whose name offsets were not
// checked.
bool Archive::readTableOfContents(std::FILE* archiveFile, bool verifyChecksums) {
    entries_.clear();
    nameBody_.clear();
    blockSizes_.clear();
    std::uint64_t fileSize = 0;
    if (!fileLength(archiveFile, fileSize) || !seekTo(archiveFile, 0)) {
        return false;
    }
    TocReader reader(archiveFile, fileSize, verifyChecksums);
    if (!reader.readHeader(expectedMagic_) || !reader.readNameDigests() || !reader.readEntries() ||
        !reader.readNames() || !reader.readBlockSizes() || !reader.checkDigests()) {
        return false;
    }
    entries_ = std::move(reader.entries);
    nameBody_ = std::move(reader.nameBody);
    blockSizes_ = std::move(reader.blockSizes);
    return true;
}

} // namespace qzb
