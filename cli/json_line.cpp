#include "cli/json_line.h"

namespace qzb::cli {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// The length of the valid UTF-8 sequence (RFC 3629) that starts at `i`, or 0: no overlong forms,
// no surrogates, nothing above U+10FFFF.
std::size_t sequenceLength(std::string_view text, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]); };
    const auto continuation = [&](std::size_t k, unsigned char low = 0x80,
                                  unsigned char high = 0xBF) {
        return i + k < text.size() && byte(k) >= low && byte(k) <= high;
    };
    const unsigned char lead = byte(0);
    if (lead < 0x80) {
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        return continuation(1) ? 2 : 0;
    }
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned char low = lead == 0xE0 ? 0xA0 : 0x80;
        const unsigned char high = lead == 0xED ? 0x9F : 0xBF;
        return continuation(1, low, high) && continuation(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned char low = lead == 0xF0 ? 0x90 : 0x80;
        const unsigned char high = lead == 0xF4 ? 0x8F : 0xBF;
        return continuation(1, low, high) && continuation(2) && continuation(3) ? 4 : 0;
    }
    return 0;
}

// Appends `text` as a JSON string; answers false when it had to replace invalid UTF-8.
bool appendString(std::string& out, std::string_view text) {
    bool valid = true;
    out += '"';
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
            ++i;
        } else if (byte < 0x20) {
            out += "\\u00";
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0xF];
            ++i;
        } else if (const std::size_t length = sequenceLength(text, i)) {
            out.append(text, i, length);
            i += length;
        } else {
            out += "\xEF\xBF\xBD"; // U+FFFD
            valid = false;
            ++i;
        }
    }
    out += '"';
    return valid;
}

} // namespace

void appendDecimal(std::string& out, std::uint64_t value) {
    char digits[20];
    std::size_t length = 0;
    do {
        digits[length++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (length > 0) {
        out += digits[--length];
    }
}

void appendEntryJson(std::string& out, const EntryListing& entry) {
    out += "{\"index\":";
    appendDecimal(out, entry.index);
    out += ",\"name\":";
    const bool valid = appendString(out, entry.name);
    out += ",\"size\":";
    appendDecimal(out, entry.size);
    out += ",\"stored\":";
    if (entry.stored) {
        appendDecimal(out, *entry.stored);
    } else {
        out += "null";
    }
    out += ",\"blocks\":";
    appendDecimal(out, entry.blocks);
    if (!valid) {
        out += ",\"name_hex\":\"";
        for (const char c : entry.name) {
            const auto byte = static_cast<unsigned char>(c);
            out += HexDigits[byte >> 4];
            out += HexDigits[byte & 0xF];
        }
        out += '"';
    }
    out += "}\n";
}

} // namespace qzb::cli
