#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "digest/md5.h"

namespace {

std::string hex(const qzb::Md5& digest) {
    std::string text;
    for (const std::uint8_t byte : digest) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", byte);
        text += pair;
    }
    return text;
}

std::string oneShot(std::string_view input) {
    return hex(qzb::md5Digest(input.data(), input.size()));
}

// Feeds `input` in pieces of the given lengths, cycling through them.
std::string inPieces(std::string_view input, const std::vector<std::size_t>& pieces) {
    qzb::Md5Context context;
    qzb::md5Init(context);
    std::size_t offset = 0;
    for (std::size_t i = 0; offset < input.size(); ++i) {
        const std::string_view piece = input.substr(offset, pieces[i % pieces.size()]);
        qzb::md5Update(context, piece.data(), piece.size());
        offset += piece.size();
    }
    qzb::Md5 digest;
    qzb::md5Final(context, digest);
    return hex(digest);
}

// 'a' to 'z', repeated.
std::string alphabet(std::size_t length) {
    std::string text(length, '\0');
    for (std::size_t i = 0; i < length; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

std::string repeat(std::string_view piece, std::size_t times) {
    std::string text;
    for (std::size_t i = 0; i < times; ++i) {
        text += piece;
    }
    return text;
}

struct Known {
    std::string input;
    const char* digest;
};

TEST(Md5, RfcTestSuite) {
    const Known suite[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {repeat("1234567890", 8), "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Known& known : suite) {
        EXPECT_EQ(oneShot(known.input), known.digest) << '"' << known.input << '"';
        EXPECT_EQ(inPieces(known.input, {1}), known.digest) << '"' << known.input << '"';
    }
}

// Lengths around 56 and 64 move the padding and the length word into a second block.
TEST(Md5, PaddingBoundariesUnderEverySplit) {
    const Known cases[] = {
        {alphabet(55), "0d7ae056b2f015cd7dc67494efd658f1"},
        {alphabet(56), "31fcfb5165169eb55898e7e4cf34d19a"},
        {alphabet(63), "1b30c0670c15e7da3c2ba7bce77ebe99"},
        {alphabet(64), "a2eaf6295c32adc403865fd96a2f182b"},
        {alphabet(65), "eba2cce0ca8df47e62414a736b3105a2"},
        {alphabet(119), "b05187e08da41fa3ef16bd56afaafd99"},
        {alphabet(120), "62af9b597a9f55e16ab2b897387fc052"},
        {alphabet(128), "3e8c1ccbd71838ef3df4b72e57fb9bf6"},
    };
    for (const Known& known : cases) {
        const std::size_t length = known.input.size();
        ASSERT_EQ(oneShot(known.input), known.digest) << length << " bytes";
        for (std::size_t split = 0; split <= length; ++split) {
            EXPECT_EQ(inPieces(known.input, {split, length - split}), known.digest)
                << length << " bytes split at " << split;
        }
        EXPECT_EQ(inPieces(known.input, {1}), known.digest) << length << " bytes one at a time";
    }
}

TEST(Md5, LongInputInIrregularUpdates) {
    std::string input(1000003, '\0');
    for (std::size_t i = 0; i < input.size(); ++i) {
        input[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    }
    const char* const expected = "2a86c2f01e5dfaddc6efc5d404ebd4aa";
    EXPECT_EQ(oneShot(input), expected);
    EXPECT_EQ(inPieces(input, {1, 63, 64, 65, 0, 4096, 127, 129, 3}), expected);
    EXPECT_EQ(inPieces(input, {65536}), expected);
}

TEST(Md5, FinalClearsTheContextForReuse) {
    qzb::Md5Context context;
    qzb::md5Init(context);
    qzb::md5Update(context, "abc", 3);
    qzb::Md5 digest;
    qzb::md5Final(context, digest);
    EXPECT_EQ(hex(digest), "900150983cd24fb0d6963f7d28e17f72");

    const auto* bytes = reinterpret_cast<const unsigned char*>(&context);
    EXPECT_EQ(std::vector<unsigned char>(bytes, bytes + sizeof context),
              std::vector<unsigned char>(sizeof context, 0));

    qzb::md5Init(context);
    qzb::md5Update(context, "a", 1);
    qzb::md5Final(context, digest);
    EXPECT_EQ(hex(digest), "0cc175b9c0f1b6a831c399e269772661");
}

// The bit count is 64 bits wide in two words; a carry lost at 2^32 bits (512 MiB) would
// corrupt the length word of every larger input.
TEST(Md5, BitCountCarriesIntoHighWord) {
    qzb::Md5Context context;
    qzb::md5Init(context);
    context.count[0] = 0xFFFFFFF8u;
    qzb::md5Update(context, "x", 1);
    EXPECT_EQ(context.count[0], 0u);
    EXPECT_EQ(context.count[1], 1u);
}

} // namespace
