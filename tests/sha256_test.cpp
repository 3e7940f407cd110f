#include <gtest/gtest.h>

#include <string>

#include "digest/hex.h"
#include "digest/sha256.h"

namespace qzb::test {
namespace {

// The provider's digests of the standard's examples, given whole and in uneven pieces, and the
// same object reused after finish().
TEST(Sha256, KnownDigests) {
    const struct {
        std::string message;
        const char* digest;
    } cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {std::string(1000000, 'a'),
         "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    Sha256 sha;
    for (const auto& c : cases) {
        sha.update(c.message.data(), c.message.size());
        EXPECT_EQ(lowerHex(sha.finish()), c.digest) << c.message.substr(0, 8);
        for (std::size_t at = 0, piece = 1; at < c.message.size(); at += piece, piece += 7) {
            sha.update(c.message.data() + at, std::min(piece, c.message.size() - at));
        }
        EXPECT_EQ(lowerHex(sha.finish()), c.digest) << c.message.substr(0, 8);
    }
}

} // namespace
} // namespace qzb::test
