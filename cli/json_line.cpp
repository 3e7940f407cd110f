#include "cli/json_line.h"

#include <cstring>

#include "cli/utf8.h"

namespace qzb::cli {
namespace {

constexpr char HexDigits[] = "0123456789abcdef";

// The put functions write at `p` and answer where writing ends; the caller has made room for the
// most they can take.

// A literal's length is known when compiling, so its copy needs no call.
template <std::size_t N> char* putLiteral(char* p, const char (&text)[N]) {
    std::memcpy(p, text, N - 1);
    return p + N - 1;
}

char* putDecimal(char* p, std::uint64_t value) {
    char digits[20];
    char* const end = digits + sizeof digits;
    char* start = end;
    do {
        *--start = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (start != end) {
        *p++ = *start++;
    }
    return p;
}

char* putHex(char* p, unsigned char byte) {
    *p++ = HexDigits[byte >> 4];
    *p++ = HexDigits[byte & 0xF];
    return p;
}

// `text` as a JSON string, at most 6 bytes for each of its bytes and 2 for the quotes; `valid`
// tells whether it had to replace invalid UTF-8.
char* putString(char* p, std::string_view text, bool& valid) {
    valid = true;
    *p++ = '"';
    for (std::size_t i = 0; i < text.size();) {
        const char c = text[i];
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x80 && c != '"' && c != '\\') {
            *p++ = c;
            ++i;
        } else if (c == '"' || c == '\\') {
            *p++ = '\\';
            *p++ = c;
            ++i;
        } else if (byte < 0x20) {
            p = putHex(putLiteral(p, "\\u00"), byte);
            ++i;
        } else if (const std::size_t length = utf8SequenceLength(text, i)) {
            for (const std::size_t end = i + length; i < end; ++i) {
                *p++ = text[i];
            }
        } else {
            p = putLiteral(p, "\xEF\xBF\xBD"); // U+FFFD
            valid = false;
            ++i;
        }
    }
    *p++ = '"';
    return p;
}

} // namespace

void appendDecimal(std::string& out, std::uint64_t value, std::size_t width) {
    char digits[20];
    const auto length = static_cast<std::size_t>(putDecimal(digits, value) - digits);
    if (length < width) {
        out.append(width - length, ' ');
    }
    out.append(digits, length);
}

std::size_t entryJsonBound(std::size_t nameLength, std::size_t storedLength) {
    // The fixed text, six numbers of up to 20 digits, the name escaped and in hex.
    return 160 + 6 * 20 + 8 * nameLength + 2 * storedLength;
}

std::string encodingJson(std::string_view encoding) {
    std::string line(32 + 6 * encoding.size(), '\0');
    bool valid = true;
    char* end = putString(putLiteral(line.data(), "{\"encoding\":"), encoding, valid);
    end = putLiteral(end, "}\n");
    line.resize(static_cast<std::size_t>(end - line.data()));
    return line;
}

// The name's bytes in hex, when the name had to be replaced in part or was decoded from them.
char* putNameHex(char* p, std::string_view name, std::string_view storedName, bool valid) {
    const std::string_view stored = storedName.empty() ? name : storedName;
    if (!valid || stored != name) {
        p = putLiteral(p, ",\"name_hex\":\"");
        for (const char c : stored) {
            p = putHex(p, static_cast<unsigned char>(c));
        }
        *p++ = '"';
    }
    return p;
}

void appendNameJson(std::string& out, std::string_view name, std::string_view storedName) {
    const std::size_t at = out.size();
    out.resize(at + 16 + 8 * name.size() + 2 * storedName.size());
    bool valid = true;
    char* p = putString(putLiteral(out.data() + at, "\"name\":"), name, valid);
    p = putNameHex(p, name, storedName, valid);
    out.resize(static_cast<std::size_t>(p - out.data()));
}

void appendJsonString(std::string& out, std::string_view text) {
    const std::size_t at = out.size();
    out.resize(at + 2 + 6 * text.size());
    bool valid = true;
    const char* end = putString(out.data() + at, text, valid);
    out.resize(static_cast<std::size_t>(end - out.data()));
}

char* putEntryJson(char* p, const EntryListing& entry) {
    p = putDecimal(putLiteral(p, "{\"index\":"), entry.index);
    bool valid = true;
    p = putString(putLiteral(p, ",\"name\":"), entry.name, valid);
    p = putDecimal(putLiteral(p, ",\"size\":"), entry.size);
    p = putLiteral(p, ",\"stored\":");
    p = entry.stored ? putDecimal(p, *entry.stored) : putLiteral(p, "null");
    p = putDecimal(putLiteral(p, ",\"blocks\":"), entry.blocks);
    p = putNameHex(p, entry.name, entry.storedName, valid);
    p = putDecimal(putLiteral(p, ",\"offset\":"), entry.offset);
    p = putDecimal(putLiteral(p, ",\"first_block\":"), entry.firstBlock);
    p = putLiteral(p, ",\"method\":");
    if (entry.method) {
        *p++ = '"';
        std::memcpy(p, entry.method->data(), entry.method->size());
        p += entry.method->size();
        *p++ = '"';
    } else {
        p = putLiteral(p, "null");
    }
    return putLiteral(p, "}\n");
}

} // namespace qzb::cli
