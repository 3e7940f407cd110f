#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace qzb {

// A digest as the checksum tools print it: two lower-case hex digits a byte.
template <std::size_t N> std::string lowerHex(const std::array<std::uint8_t, N>& digest) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * N);
    for (const std::uint8_t byte : digest) {
        text += digits[byte >> 4];
        text += digits[byte & 0xF];
    }
    return text;
}

} // namespace qzb
