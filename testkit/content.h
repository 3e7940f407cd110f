#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Entry contents for tests, fuzz seeds and examples: the same arguments give the same bytes on
// every platform.
namespace qzb::test {

// Content that compresses well but differs every 4 KiB, so a block decoded from the wrong place
// shows.
std::string compressibleText(std::size_t length, std::string_view tag = "line");

// Bytes that zlib cannot shrink; the same seed gives the same bytes.
std::string incompressibleBytes(std::size_t length, std::uint32_t seed);

} // namespace qzb::test
