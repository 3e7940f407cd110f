#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "archive/file_io.h"
#include "digest/md5.h"

// Shared by the fuzz targets: memory-backed streams, independent field decoding and the
// property check that turns a broken promise into a crash libFuzzer and the replay driver see.
namespace qzb::fuzz {

// Inputs past this size are skipped: the interesting structure of an archive fits well within it,
// and larger inputs only slow every execution down.
inline constexpr std::size_t MaxInputSize = 256 * 1024;

[[noreturn]] inline void fail(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property violated: %s\n", file, line, condition);
    std::abort();
}

#define QZB_FUZZ_CHECK(condition)                                                                  \
    ((condition) ? void(0) : ::qzb::fuzz::fail(#condition, __FILE__, __LINE__))

// The input as a read-only stream, so the reader keeps its FILE* interface.
inline FileHandle openInput(std::string_view input) {
    static char empty[1];
    char* bytes = input.empty() ? empty : const_cast<char*>(input.data());
    return FileHandle(fmemopen(bytes, input.size(), "rb"));
}

// Decoded here rather than with the library's helpers, so a fault there cannot hide itself.
inline std::uint64_t le(std::string_view input, std::uint64_t offset, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(input[offset + i]);
    }
    return value;
}

// An output stream that keeps only the length and MD5 of what is written to it, so an entry of
// any size costs no memory.
class DigestSink {
public:
    DigestSink() {
        md5Init(context_);
        file_ =
            FileHandle(fopencookie(this, "wb", {nullptr, &DigestSink::write, nullptr, nullptr}));
        QZB_FUZZ_CHECK(file_);
        std::setvbuf(file_.get(), nullptr, _IONBF, 0);
    }
    DigestSink(const DigestSink&) = delete;
    DigestSink& operator=(const DigestSink&) = delete;

    std::FILE* get() const { return file_.get(); }
    std::uint64_t length() const { return length_; }
    Md5 digest() {
        Md5 result;
        md5Final(context_, result);
        return result;
    }

private:
    static ssize_t write(void* cookie, const char* bytes, std::size_t length) {
        auto* sink = static_cast<DigestSink*>(cookie);
        md5Update(sink->context_, bytes, length);
        sink->length_ += length;
        return static_cast<ssize_t>(length);
    }

    FileHandle file_;
    Md5Context context_;
    std::uint64_t length_ = 0;
};

} // namespace qzb::fuzz
