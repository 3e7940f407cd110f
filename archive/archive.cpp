#include "archive/archive.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>

#include "digest/md5.h"

namespace qzb {
namespace {

// Records are read in chunks of this many bytes, not one call per record.
constexpr std::size_t ChunkBytes = 64 * 1024;

// Reads the table of contents front to back through a chunk of its own, keeping the position and,
// when digests are checked, the MD5 of every byte taken: once the position reaches tocSize that is
// the table's digest.
class TocInput {
public:
    TocInput(const platform::ArchiveFile& file, bool hash)
        : file_(file), hash_(hash),
          chunk_(std::make_unique_for_overwrite<unsigned char[]>(ChunkBytes)) {
        md5Init(context_);
    }

    // The next `length` bytes, at most ChunkBytes, valid until the next call; nullptr when the
    // file ends first.
    const unsigned char* take(std::size_t length) {
        if (filled_ - used_ < length) {
            std::memmove(chunk_.get(), chunk_.get() + used_, filled_ - used_);
            filled_ -= used_;
            used_ = 0;
            filled_ +=
                file_.readAt(position_ + filled_, chunk_.get() + filled_, ChunkBytes - filled_);
            if (filled_ < length) {
                return nullptr;
            }
        }
        const unsigned char* bytes = chunk_.get() + used_;
        used_ += length;
        position_ += length;
        if (hash_) {
            md5Update(context_, bytes, length);
        }
        return bytes;
    }

    // What the chunk holds is copied; a long rest is read straight into `destination`.
    bool read(void* destination, std::size_t length) {
        auto* out = static_cast<unsigned char*>(destination);
        const std::size_t buffered = std::min(length, filled_ - used_);
        std::memcpy(out, take(buffered), buffered);
        out += buffered;
        length -= buffered;
        if (length >= ChunkBytes) {
            if (file_.readAt(position_, out, length) != length) {
                return false;
            }
            position_ += length;
            if (hash_) {
                md5Update(context_, out, length);
            }
            return true;
        }
        const unsigned char* rest = take(length);
        if (rest == nullptr) {
            return false;
        }
        std::memcpy(out, rest, length);
        return true;
    }

    // Only without hashing, which needs every byte.
    void skip(std::uint64_t length) {
        if (length <= filled_ - used_) {
            used_ += static_cast<std::size_t>(length);
        } else {
            used_ = filled_ = 0;
        }
        position_ += length;
    }

    std::uint64_t position() const { return position_; }

    Md5 digest() {
        Md5 digest;
        md5Final(context_, digest);
        return digest;
    }

private:
    const platform::ArchiveFile& file_;
    bool hash_;
    // Bytes [used_, filled_) of the chunk are those of the file from position_ on.
    std::unique_ptr<unsigned char[]> chunk_;
    std::size_t used_ = 0;
    std::size_t filled_ = 0;
    std::uint64_t position_ = 0;
    Md5Context context_;
};

template <std::size_t RecordSize, typename Decode>
bool readRecords(TocInput& input, std::uint64_t count, Decode decode) {
    constexpr std::size_t perChunk = ChunkBytes / RecordSize;
    while (count > 0) {
        const std::size_t records =
            static_cast<std::size_t>(std::min<std::uint64_t>(count, perChunk));
        const unsigned char* bytes = input.take(records * RecordSize);
        if (bytes == nullptr) {
            return false;
        }
        for (std::size_t i = 0; i < records; ++i) {
            decode(bytes + i * RecordSize);
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
    TocReader(const platform::ArchiveFile& file, bool verifyChecksums)
        : file_(file), fileSize_(file.size()), verify_(verifyChecksums),
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
            input_.skip(count * DigestSize);
            return true;
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
        return fileSize_ >= DigestSize &&
               file_.readAt(fileSize_ - DigestSize, storedDigest.data(), DigestSize) ==
                   DigestSize &&
               tocDigest == storedDigest;
    }

    std::vector<ArchiveEntry> entries;
    std::string nameBody;
    std::vector<std::uint32_t> blockSizes;

private:
    bool fits(std::uint64_t length) const {
        return input_.position() <= limit_ && length <= limit_ - input_.position();
    }

    const platform::ArchiveFile& file_;
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

// Kept only once every check but the digests passed, so no caller ever sees entries whose name
// offsets were not checked.
TableFault Archive::readTableOfContents(bool verifyChecksums) {
    entries_.clear();
    nameBody_.clear();
    blockSizes_.clear();
    TocReader reader(file_, verifyChecksums);
    if (!reader.readHeader(expectedMagic_) || !reader.readNameDigests() || !reader.readEntries() ||
        !reader.readNames() || !reader.readBlockSizes()) {
        return TableFault::Malformed;
    }
    const bool digestsMatch = reader.checkDigests();
    entries_ = std::move(reader.entries);
    nameBody_ = std::move(reader.nameBody);
    blockSizes_ = std::move(reader.blockSizes);
    return digestsMatch ? TableFault::None : TableFault::DigestMismatch;
}

} // namespace qzb
