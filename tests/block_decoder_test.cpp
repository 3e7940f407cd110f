#include <cstddef>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <zlib.h>

#include "archive/block_decoder.h"
#include "archive/format.h"

// These verdicts hold for whichever inflater the build chose; CI builds both.
namespace {

using Bytes = std::vector<unsigned char>;

// Text-like content that compresses, of the given length.
Bytes content(std::size_t length) {
    Bytes bytes(length);
    for (std::size_t i = 0; i < length; ++i) {
        bytes[i] = static_cast<unsigned char>("block of text "[i % 14] + (i / 977) % 3);
    }
    return bytes;
}

Bytes compress(const Bytes& plain, const Bytes& dictionary = {}) {
    z_stream stream{};
    EXPECT_EQ(deflateInit(&stream, 6), Z_OK);
    if (!dictionary.empty()) {
        EXPECT_EQ(
            deflateSetDictionary(&stream, dictionary.data(), static_cast<uInt>(dictionary.size())),
            Z_OK);
    }
    Bytes out(deflateBound(&stream, static_cast<uLong>(plain.size())));
    stream.next_in = const_cast<unsigned char*>(plain.data());
    stream.avail_in = static_cast<uInt>(plain.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    EXPECT_EQ(deflate(&stream, Z_FINISH), Z_STREAM_END);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

bool inflatesTo(const Bytes& stream, const Bytes& plain, std::size_t expected) {
    Bytes output(expected + 1, 0xAA);
    const bool ok = qzb::inflateBlock(stream.data(), stream.size(), output.data(), expected);
    if (ok) {
        EXPECT_EQ(Bytes(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(expected)),
                  plain);
    }
    EXPECT_EQ(output[expected], 0xAA) << "wrote past the expected length";
    return ok;
}

struct Case {
    const char* what;
    std::size_t length;
    // Changes the stream or the expected length before decoding.
    void (*damage)(Bytes& stream, std::size_t& expected);
    bool accepted;
};

const Case cases[] = {
    {"exact length", 5000, [](Bytes&, std::size_t&) {}, true},
    {"full block", qzb::BlockSize, [](Bytes&, std::size_t&) {}, true},
    {"one byte", 1, [](Bytes&, std::size_t&) {}, true},
    {"bytes after the stream's end", 5000,
     [](Bytes& stream, std::size_t&) {
         stream.insert(stream.end(), {0x00, 0xFF, 0x13});
     },
     true},
    {"decodes to more than expected", 5000, [](Bytes&, std::size_t& expected) { --expected; },
     false},
    {"decodes to fewer than expected", 5000, [](Bytes&, std::size_t& expected) { ++expected; },
     false},
    {"bad checksum", 5000, [](Bytes& stream, std::size_t&) { stream.back() ^= 0x01; }, false},
    {"bad header check", 5000, [](Bytes& stream, std::size_t&) { stream[1] ^= 0x01; }, false},
    {"truncated checksum", 5000, [](Bytes& stream, std::size_t&) { stream.pop_back(); }, false},
    {"truncated data", 5000, [](Bytes& stream, std::size_t&) { stream.resize(stream.size() / 2); },
     false},
    {"header only", 5000, [](Bytes& stream, std::size_t&) { stream.resize(2); }, false},
    {"empty input", 5000, [](Bytes& stream, std::size_t&) { stream.clear(); }, false},
};

TEST(InflateBlock, Verdicts) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Bytes plain = content(c.length);
        Bytes stream = compress(plain);
        std::size_t expected = plain.size();
        c.damage(stream, expected);
        Bytes wanted = plain;
        wanted.resize(expected);
        EXPECT_EQ(inflatesTo(stream, wanted, expected), c.accepted);
    }
}

TEST(InflateBlock, RefusesAPresetDictionaryStream) {
    const Bytes plain = content(3000);
    const Bytes stream = compress(plain, content(200));
    ASSERT_NE(stream[1] & 0x20, 0) << "the stream must announce its dictionary";
    EXPECT_FALSE(inflatesTo(stream, plain, plain.size()));
}

TEST(InflateBlock, DecodesBlocksOneAfterAnother) {
    // The libdeflate build keeps one decompressor between calls; a failure must not spoil it.
    const Bytes plain = content(qzb::BlockSize);
    Bytes stream = compress(plain);
    EXPECT_TRUE(inflatesTo(stream, plain, plain.size()));
    stream.back() ^= 0x01;
    EXPECT_FALSE(inflatesTo(stream, plain, plain.size()));
    stream.back() ^= 0x01;
    EXPECT_TRUE(inflatesTo(stream, plain, plain.size()));
}

} // namespace
