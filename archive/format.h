#pragma once

#include <cstdint>

#include "common/little_endian.h"

// The on-disk records of an archive. Every integer is little-endian and decoded byte by byte,
// so nothing depends on the host's byte order or on struct layout.
namespace qzb {

inline constexpr std::uint32_t ArchiveMagic = 0x4B595253; // "SRYK"
inline constexpr std::uint32_t BlockSize = 65536;

inline constexpr std::uint32_t HeaderSize = 16;
inline constexpr std::uint32_t DigestSize = 16;
inline constexpr std::uint32_t EntryRecordSize = 32;
inline constexpr std::uint32_t NameTableLengthSize = 4;
inline constexpr std::uint32_t BlockSizeFieldSize = 2;

struct ArchiveHeader {
    std::uint32_t magic;
    std::uint32_t tocSize;
    std::uint32_t entryCount;
    std::uint32_t reserved;
};

struct ArchiveEntry {
    std::uint32_t firstBlock;
    std::uint32_t reserved;
    std::uint64_t originalSize;
    std::uint64_t dataOffset;
    std::uint64_t nameOffset;
};

inline ArchiveHeader decodeHeader(const unsigned char* p) {
    return {loadLe32(p), loadLe32(p + 4), loadLe32(p + 8), loadLe32(p + 12)};
}

inline ArchiveEntry decodeEntry(const unsigned char* p) {
    return {loadLe32(p), loadLe32(p + 4), loadLe64(p + 8), loadLe64(p + 16), loadLe64(p + 24)};
}

// A stored 0 means a full block.
inline std::uint32_t decodeBlockSize(const unsigned char* p) {
    const std::uint32_t value = loadLe16(p);
    return value == 0 ? BlockSize : value;
}

// Number of blocks of an entry: its size divided by the block size, rounded up.
inline constexpr std::uint64_t blockCount(std::uint64_t originalSize) {
    return originalSize / BlockSize + (originalSize % BlockSize != 0 ? 1 : 0);
}

// Uncompressed length of block k of an entry of the given size.
inline constexpr std::uint32_t blockLength(std::uint64_t originalSize, std::uint64_t k) {
    const std::uint64_t rest = originalSize - k * BlockSize;
    return rest < BlockSize ? static_cast<std::uint32_t>(rest) : BlockSize;
}

} // namespace qzb
