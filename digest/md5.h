#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace qzb {

using Md5 = std::array<std::uint8_t, 16>;

// MD5 of RFC 1321, in its reference shape: init, any number of updates, final.
struct Md5Context {
    std::uint32_t state[4];
    std::uint32_t count[2]; // message length in bits, low word first
    std::uint8_t buffer[64];
};

void md5Init(Md5Context& context);
void md5Update(Md5Context& context, const void* data, std::size_t length);
// Writes the digest and clears the context.
void md5Final(Md5Context& context, Md5& digest);

Md5 md5Digest(const void* data, std::size_t length);

} // namespace qzb
