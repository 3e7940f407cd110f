#include "bench/corpus.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qzb::bench {
namespace {

// splitmix64: fixed output for a fixed seed on every platform.
class Random {
public:
    explicit Random(std::uint64_t seed) : state_(seed) {}

    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }

    // Uniform in [0, bound).
    std::uint64_t below(std::uint64_t bound) { return next() % bound; }

private:
    std::uint64_t state_;
};

const std::vector<std::string>& vocabulary() {
    static const std::vector<std::string> words = [] {
        Random random(1);
        std::vector<std::string> result(1024);
        for (std::string& word : result) {
            const std::size_t length = 2 + random.below(9);
            for (std::size_t i = 0; i < length; ++i) {
                word.push_back(static_cast<char>('a' + random.below(26)));
            }
        }
        return result;
    }();
    return words;
}

std::string noiseContent(std::size_t length, std::uint64_t seed) {
    Random random(seed);
    std::string bytes(length, '\0');
    for (std::size_t i = 0; i < length; i += 8) {
        std::uint64_t value = random.next();
        for (std::size_t j = i; j < i + 8 && j < length; ++j, value >>= 8) {
            bytes[j] = static_cast<char>(value & 0xFF);
        }
    }
    return bytes;
}

std::string numbered(const char* format, unsigned a, unsigned b) {
    char name[64];
    std::snprintf(name, sizeof name, format, a, b);
    return name;
}

std::vector<test::FileSpec> largeProfile() {
    constexpr unsigned files = 40;
    constexpr std::uint64_t total = 256ull << 20;
    Random random(40);
    std::uint64_t weights[files];
    std::uint64_t weightSum = 0;
    for (std::uint64_t& weight : weights) {
        weight = 1 + random.below(12);
        weightSum += weight;
    }
    std::vector<test::FileSpec> result;
    std::uint64_t assigned = 0;
    for (unsigned i = 0; i < files; ++i) {
        const std::uint64_t size =
            i + 1 == files ? total - assigned : total * weights[i] / weightSum;
        assigned += size;
        const bool noise = i % 4 == 3;
        result.push_back({numbered(noise ? "set%u/file%02u.bin" : "set%u/file%02u.txt", i / 10, i),
                          noise ? noiseContent(size, 1000 + i) : textContent(size, 1000 + i)});
    }
    return result;
}

std::vector<test::FileSpec> smallProfile() {
    Random random(50000);
    std::vector<test::FileSpec> result;
    result.reserve(50000);
    for (unsigned d = 0; d < 500; ++d) {
        for (unsigned f = 0; f < 100; ++f) {
            const std::size_t size = 100 + random.below(8192 - 100 + 1);
            const std::uint64_t seed = random.next();
            const bool noise = f % 10 == 9;
            result.push_back(
                {numbered(noise ? "dir%03u/file%02u.bin" : "dir%03u/file%02u.txt", d, f),
                 noise ? noiseContent(size, seed) : textContent(size, seed)});
        }
    }
    return result;
}

std::vector<test::FileSpec> tinyProfile() {
    Random random(1000000);
    std::vector<test::FileSpec> result;
    result.reserve(1000000);
    for (unsigned d = 0; d < 1000; ++d) {
        for (unsigned f = 0; f < 1000; ++f) {
            const std::size_t size = random.below(65);
            result.push_back({numbered("d%03u/f%03u", d, f), textContent(size, random.next())});
        }
    }
    return result;
}

} // namespace

std::optional<Profile> parseProfile(std::string_view name) {
    if (name == "large") {
        return Profile::Large;
    }
    if (name == "small") {
        return Profile::Small;
    }
    if (name == "tiny") {
        return Profile::Tiny;
    }
    return std::nullopt;
}

std::vector<test::FileSpec> corpusFiles(Profile profile) {
    switch (profile) {
    case Profile::Large:
        return largeProfile();
    case Profile::Small:
        return smallProfile();
    case Profile::Tiny:
        return tinyProfile();
    }
    return {};
}

std::string textContent(std::size_t length, std::uint64_t seed) {
    const std::vector<std::string>& words = vocabulary();
    Random random(seed);
    std::string text;
    text.reserve(length + 16);
    std::size_t lineStart = 0;
    while (text.size() < length) {
        // The least of three draws favours the front of the vocabulary, as word use does.
        std::uint64_t word = random.below(words.size());
        for (int draw = 0; draw < 2; ++draw) {
            word = std::min(word, random.below(words.size()));
        }
        text += words[word];
        if (text.size() - lineStart > 70) {
            text.push_back('\n');
            lineStart = text.size();
        } else {
            text.push_back(' ');
        }
    }
    text.resize(length);
    return text;
}

} // namespace qzb::bench
