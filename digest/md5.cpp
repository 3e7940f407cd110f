#include "digest/md5.h"

#include <cstring>

#include "common/little_endian.h"

namespace qzb {
namespace {

inline std::uint32_t rotl(std::uint32_t x, int n) {
    return (x << n) | (x >> (32 - n));
}

#define QZB_MD5_STEP(f, a, b, c, d, x, t, s)                                                       \
    a += f(b, c, d) + (x) + (t);                                                                   \
    a = rotl(a, s) + b;

inline std::uint32_t F(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return z ^ (x & (y ^ z));
}
inline std::uint32_t G(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (z & (x ^ y));
}
inline std::uint32_t H(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return x ^ y ^ z;
}
inline std::uint32_t I(std::uint32_t x, std::uint32_t y, std::uint32_t z) {
    return y ^ (x | ~z);
}

void transform(std::uint32_t state[4], const std::uint8_t* block) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i) {
        x[i] = loadLe32(block + 4 * i);
    }
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];

    QZB_MD5_STEP(F, a, b, c, d, x[0], 0xd76aa478, 7)
    QZB_MD5_STEP(F, d, a, b, c, x[1], 0xe8c7b756, 12)
    QZB_MD5_STEP(F, c, d, a, b, x[2], 0x242070db, 17)
    QZB_MD5_STEP(F, b, c, d, a, x[3], 0xc1bdceee, 22)
    QZB_MD5_STEP(F, a, b, c, d, x[4], 0xf57c0faf, 7)
    QZB_MD5_STEP(F, d, a, b, c, x[5], 0x4787c62a, 12)
    QZB_MD5_STEP(F, c, d, a, b, x[6], 0xa8304613, 17)
    QZB_MD5_STEP(F, b, c, d, a, x[7], 0xfd469501, 22)
    QZB_MD5_STEP(F, a, b, c, d, x[8], 0x698098d8, 7)
    QZB_MD5_STEP(F, d, a, b, c, x[9], 0x8b44f7af, 12)
    QZB_MD5_STEP(F, c, d, a, b, x[10], 0xffff5bb1, 17)
    QZB_MD5_STEP(F, b, c, d, a, x[11], 0x895cd7be, 22)
    QZB_MD5_STEP(F, a, b, c, d, x[12], 0x6b901122, 7)
    QZB_MD5_STEP(F, d, a, b, c, x[13], 0xfd987193, 12)
    QZB_MD5_STEP(F, c, d, a, b, x[14], 0xa679438e, 17)
    QZB_MD5_STEP(F, b, c, d, a, x[15], 0x49b40821, 22)

    QZB_MD5_STEP(G, a, b, c, d, x[1], 0xf61e2562, 5)
    QZB_MD5_STEP(G, d, a, b, c, x[6], 0xc040b340, 9)
    QZB_MD5_STEP(G, c, d, a, b, x[11], 0x265e5a51, 14)
    QZB_MD5_STEP(G, b, c, d, a, x[0], 0xe9b6c7aa, 20)
    QZB_MD5_STEP(G, a, b, c, d, x[5], 0xd62f105d, 5)
    QZB_MD5_STEP(G, d, a, b, c, x[10], 0x02441453, 9)
    QZB_MD5_STEP(G, c, d, a, b, x[15], 0xd8a1e681, 14)
    QZB_MD5_STEP(G, b, c, d, a, x[4], 0xe7d3fbc8, 20)
    QZB_MD5_STEP(G, a, b, c, d, x[9], 0x21e1cde6, 5)
    QZB_MD5_STEP(G, d, a, b, c, x[14], 0xc33707d6, 9)
    QZB_MD5_STEP(G, c, d, a, b, x[3], 0xf4d50d87, 14)
    QZB_MD5_STEP(G, b, c, d, a, x[8], 0x455a14ed, 20)
    QZB_MD5_STEP(G, a, b, c, d, x[13], 0xa9e3e905, 5)
    QZB_MD5_STEP(G, d, a, b, c, x[2], 0xfcefa3f8, 9)
    QZB_MD5_STEP(G, c, d, a, b, x[7], 0x676f02d9, 14)
    QZB_MD5_STEP(G, b, c, d, a, x[12], 0x8d2a4c8a, 20)

    QZB_MD5_STEP(H, a, b, c, d, x[5], 0xfffa3942, 4)
    QZB_MD5_STEP(H, d, a, b, c, x[8], 0x8771f681, 11)
    QZB_MD5_STEP(H, c, d, a, b, x[11], 0x6d9d6122, 16)
    QZB_MD5_STEP(H, b, c, d, a, x[14], 0xfde5380c, 23)
    QZB_MD5_STEP(H, a, b, c, d, x[1], 0xa4beea44, 4)
    QZB_MD5_STEP(H, d, a, b, c, x[4], 0x4bdecfa9, 11)
    QZB_MD5_STEP(H, c, d, a, b, x[7], 0xf6bb4b60, 16)
    QZB_MD5_STEP(H, b, c, d, a, x[10], 0xbebfbc70, 23)
    QZB_MD5_STEP(H, a, b, c, d, x[13], 0x289b7ec6, 4)
    QZB_MD5_STEP(H, d, a, b, c, x[0], 0xeaa127fa, 11)
    QZB_MD5_STEP(H, c, d, a, b, x[3], 0xd4ef3085, 16)
    QZB_MD5_STEP(H, b, c, d, a, x[6], 0x04881d05, 23)
    QZB_MD5_STEP(H, a, b, c, d, x[9], 0xd9d4d039, 4)
    QZB_MD5_STEP(H, d, a, b, c, x[12], 0xe6db99e5, 11)
    QZB_MD5_STEP(H, c, d, a, b, x[15], 0x1fa27cf8, 16)
    QZB_MD5_STEP(H, b, c, d, a, x[2], 0xc4ac5665, 23)

    QZB_MD5_STEP(I, a, b, c, d, x[0], 0xf4292244, 6)
    QZB_MD5_STEP(I, d, a, b, c, x[7], 0x432aff97, 10)
    QZB_MD5_STEP(I, c, d, a, b, x[14], 0xab9423a7, 15)
    QZB_MD5_STEP(I, b, c, d, a, x[5], 0xfc93a039, 21)
    QZB_MD5_STEP(I, a, b, c, d, x[12], 0x655b59c3, 6)
    QZB_MD5_STEP(I, d, a, b, c, x[3], 0x8f0ccc92, 10)
    QZB_MD5_STEP(I, c, d, a, b, x[10], 0xffeff47d, 15)
    QZB_MD5_STEP(I, b, c, d, a, x[1], 0x85845dd1, 21)
    QZB_MD5_STEP(I, a, b, c, d, x[8], 0x6fa87e4f, 6)
    QZB_MD5_STEP(I, d, a, b, c, x[15], 0xfe2ce6e0, 10)
    QZB_MD5_STEP(I, c, d, a, b, x[6], 0xa3014314, 15)
    QZB_MD5_STEP(I, b, c, d, a, x[13], 0x4e0811a1, 21)
    QZB_MD5_STEP(I, a, b, c, d, x[4], 0xf7537e82, 6)
    QZB_MD5_STEP(I, d, a, b, c, x[11], 0xbd3af235, 10)
    QZB_MD5_STEP(I, c, d, a, b, x[2], 0x2ad7d2bb, 15)
    QZB_MD5_STEP(I, b, c, d, a, x[9], 0xeb86d391, 21)

    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

#undef QZB_MD5_STEP

} // namespace

void md5Init(Md5Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.count[0] = 0;
    context.count[1] = 0;
}

void md5Update(Md5Context& context, const void* data, std::size_t length) {
    const auto* input = static_cast<const std::uint8_t*>(data);
    const std::size_t buffered = (context.count[0] >> 3) & 0x3F;

    const std::uint64_t bits =
        (static_cast<std::uint64_t>(context.count[1]) << 32 | context.count[0]) +
        (static_cast<std::uint64_t>(length) << 3);
    context.count[0] = static_cast<std::uint32_t>(bits);
    context.count[1] = static_cast<std::uint32_t>(bits >> 32);

    std::size_t i = 0;
    const std::size_t room = 64 - buffered;
    if (length >= room) {
        std::memcpy(context.buffer + buffered, input, room);
        transform(context.state, context.buffer);
        for (i = room; i + 63 < length; i += 64) {
            transform(context.state, input + i);
        }
        std::memcpy(context.buffer, input + i, length - i);
    } else {
        std::memcpy(context.buffer + buffered, input, length);
    }
}

void md5Final(Md5Context& context, Md5& digest) {
    std::uint8_t bits[8];
    storeLe32(bits, context.count[0]);
    storeLe32(bits + 4, context.count[1]);

    static const std::uint8_t padding[64] = {0x80};
    const std::size_t buffered = (context.count[0] >> 3) & 0x3F;
    const std::size_t padLength = buffered < 56 ? 56 - buffered : 120 - buffered;
    md5Update(context, padding, padLength);
    md5Update(context, bits, 8);

    for (int i = 0; i < 4; ++i) {
        storeLe32(digest.data() + 4 * i, context.state[i]);
    }
    std::memset(&context, 0, sizeof context);
}

Md5 md5Digest(const void* data, std::size_t length) {
    Md5Context context;
    md5Init(context);
    md5Update(context, data, length);
    Md5 digest;
    md5Final(context, digest);
    return digest;
}

} // namespace qzb
