#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "testkit/archive_writer.h"

// The benchmark corpora: the same content on every run and every machine, so timings compare.
namespace qzb::bench {

enum class Profile {
    // ~256 MiB in 40 files, three quarters text-like, the rest incompressible.
    Large,
    // 50,000 files of 0.1-8 KiB in 500 directories.
    Small,
    // 1,000,000 entries of 0-64 bytes in 1,000 directories.
    Tiny,
};

std::optional<Profile> parseProfile(std::string_view name);

// The entries of a profile in archive order, each to be stored with BlockMode::Auto.
std::vector<test::FileSpec> corpusFiles(Profile profile);

// Text-like bytes: words of a fixed vocabulary, common ones more often, in lines. zlib level 6
// shrinks it to about a third, as it does ordinary documents.
std::string textContent(std::size_t length, std::uint64_t seed);

} // namespace qzb::bench
