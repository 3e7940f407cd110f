#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "archive/block_decoder.h"
#include "archive/format.h"
#include "testkit/archive_writer.h"

// These verdicts hold for whichever inflater the build chose; CI builds both.
namespace {

using qzb::test::zlibStream;

// Text-like content that compresses, of the given length.
std::string content(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>("block of text "[i % 14] + (i / 977) % 3);
    }
    return text;
}

bool inflatesTo(const std::string& stream, const std::string& plain, std::size_t expected) {
    std::string output(expected + 1, '\xAA');
    const bool ok =
        qzb::inflateBlock(reinterpret_cast<const unsigned char*>(stream.data()), stream.size(),
                          reinterpret_cast<unsigned char*>(output.data()), expected);
    if (ok) {
        EXPECT_EQ(output.substr(0, expected), plain);
    }
    EXPECT_EQ(output[expected], '\xAA') << "wrote past the expected length";
    return ok;
}

struct Case {
    const char* what;
    std::size_t length;
    // Changes the stream or the expected length before decoding.
    void (*damage)(std::string& stream, std::size_t& expected);
    bool accepted;
};

const Case cases[] = {
    {"exact length", 5000, [](std::string&, std::size_t&) {}, true},
    {"full block", qzb::BlockSize, [](std::string&, std::size_t&) {}, true},
    {"one byte", 1, [](std::string&, std::size_t&) {}, true},
    {"bytes after the stream's end", 5000,
     [](std::string& stream, std::size_t&) { stream += std::string("\x00\xFF\x13", 3); }, true},
    {"decodes to more than expected", 5000, [](std::string&, std::size_t& expected) { --expected; },
     false},
    {"decodes to fewer than expected", 5000,
     [](std::string&, std::size_t& expected) { ++expected; }, false},
    {"bad checksum", 5000, [](std::string& stream, std::size_t&) { stream.back() ^= 0x01; }, false},
    {"bad header check", 5000, [](std::string& stream, std::size_t&) { stream[1] ^= 0x01; }, false},
    {"truncated checksum", 5000, [](std::string& stream, std::size_t&) { stream.pop_back(); },
     false},
    {"truncated data", 5000,
     [](std::string& stream, std::size_t&) { stream.resize(stream.size() / 2); }, false},
    {"header only", 5000, [](std::string& stream, std::size_t&) { stream.resize(2); }, false},
    {"empty input", 5000, [](std::string& stream, std::size_t&) { stream.clear(); }, false},
};

TEST(InflateBlock, Verdicts) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string plain = content(c.length);
        std::string stream = zlibStream(plain);
        std::size_t expected = plain.size();
        c.damage(stream, expected);
        std::string wanted = plain;
        wanted.resize(expected);
        EXPECT_EQ(inflatesTo(stream, wanted, expected), c.accepted);
    }
}

TEST(InflateBlock, RefusesAPresetDictionaryStream) {
    const std::string plain = content(3000);
    const std::string dictionary = content(200);
    const std::string stream = zlibStream(plain, 6, dictionary);
    ASSERT_NE(stream[1] & 0x20, 0) << "the stream must announce its dictionary";
    EXPECT_FALSE(inflatesTo(stream, plain, plain.size()));
}

TEST(InflateBlock, DecodesBlocksOneAfterAnother) {
    // The libdeflate build keeps one decompressor between calls; a failure must not spoil it.
    const std::string plain = content(qzb::BlockSize);
    std::string stream = zlibStream(plain);
    EXPECT_TRUE(inflatesTo(stream, plain, plain.size()));
    stream.back() ^= 0x01;
    EXPECT_FALSE(inflatesTo(stream, plain, plain.size()));
    stream.back() ^= 0x01;
    EXPECT_TRUE(inflatesTo(stream, plain, plain.size()));
}

} // namespace
