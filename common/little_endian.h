#pragma once

#include <cstdint>

// Little-endian integers decoded and encoded byte by byte, so nothing depends on the host's byte
// order or on alignment.
namespace qzb {

inline std::uint16_t loadLe16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

inline std::uint32_t loadLe32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
           static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

inline std::uint64_t loadLe64(const unsigned char* p) {
    return static_cast<std::uint64_t>(loadLe32(p)) | static_cast<std::uint64_t>(loadLe32(p + 4))
                                                         << 32;
}

inline void storeLe32(unsigned char* p, std::uint32_t value) {
    p[0] = static_cast<unsigned char>(value);
    p[1] = static_cast<unsigned char>(value >> 8);
    p[2] = static_cast<unsigned char>(value >> 16);
    p[3] = static_cast<unsigned char>(value >> 24);
}

} // namespace qzb
