#include "testkit/content.h"

namespace qzb::test {

std::string compressibleText(std::size_t length, std::string_view tag) {
    std::string text;
    while (text.size() < length) {
        text.append(tag);
        text += " at " + std::to_string(text.size() / 4096) + "\n";
    }
    text.resize(length);
    return text;
}

std::string incompressibleBytes(std::size_t length, std::uint32_t seed) {
    std::string bytes(length, '\0');
    for (char& byte : bytes) {
        seed = seed * 1664525u + 1013904223u;
        byte = static_cast<char>(seed >> 24);
    }
    return bytes;
}

} // namespace qzb::test
