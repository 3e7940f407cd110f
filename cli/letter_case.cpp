#include "cli/letter_case.h"

#include <cstdint>

#include "cli/utf8.h"
#include "platform/platform.h"

namespace qzb::cli {
namespace {

char foldedAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

char32_t decode(std::string_view text, std::size_t i, std::size_t length) {
    const auto byte = [&](std::size_t k) {
        return static_cast<std::uint32_t>(static_cast<unsigned char>(text[i + k]));
    };
    static constexpr std::uint32_t LeadMask[] = {0, 0x7F, 0x1F, 0x0F, 0x07};
    std::uint32_t code = byte(0) & LeadMask[length];
    for (std::size_t k = 1; k < length; ++k) {
        code = code << 6 | (byte(k) & 0x3F);
    }
    return code;
}

void encode(std::string& out, char32_t c) {
    const auto put = [&](std::uint32_t bits) { out += static_cast<char>(bits); };
    if (c < 0x80) {
        put(c);
    } else if (c < 0x800) {
        put(0xC0 | c >> 6);
        put(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        put(0xE0 | c >> 12);
        put(0x80 | (c >> 6 & 0x3F));
        put(0x80 | (c & 0x3F));
    } else {
        put(0xF0 | c >> 18);
        put(0x80 | (c >> 12 & 0x3F));
        put(0x80 | (c >> 6 & 0x3F));
        put(0x80 | (c & 0x3F));
    }
}

} // namespace

std::string foldedCase(std::string_view path) {
    std::string folded;
    folded.reserve(path.size());
    if (!isValidUtf8(path)) {
        for (const char c : path) {
            folded += foldedAscii(c);
        }
        return folded;
    }
    for (std::size_t i = 0; i < path.size();) {
        const std::size_t length = utf8SequenceLength(path, i);
        if (length == 1) {
            folded += foldedAscii(path[i]);
        } else {
            encode(folded, platform::foldedLetterCase(decode(path, i, length)));
        }
        i += length;
    }
    return folded;
}

} // namespace qzb::cli
