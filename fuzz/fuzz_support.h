#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "digest/md5.h"
#include "testkit/scratch_files.h"

// Shared by the fuzz targets: inputs and outputs as scratch files, independent field decoding and
// the property check that turns a broken promise into a crash libFuzzer and the replay driver see.
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

// The input as an archive file, opened as the tools open one.
inline platform::ArchiveFile openInput(std::string_view input) {
    return test::archiveFile(input);
}

// Decoded here rather than with the library's helpers, so a fault there cannot hide itself.
inline std::uint64_t le(std::string_view input, std::uint64_t offset, int width) {
    std::uint64_t value = 0;
    for (int i = width - 1; i >= 0; --i) {
        value = value << 8 | static_cast<unsigned char>(input[offset + i]);
    }
    return value;
}

// An output stream that answers the length and MD5 of what was written to it. Every sink of the
// process writes to one scratch file from its start, one sink at a time, so an entry costs no
// memory and no file of its own.
class DigestSink {
public:
    DigestSink() : file_(scratch()) { std::rewind(file_); }
    DigestSink(const DigestSink&) = delete;
    DigestSink& operator=(const DigestSink&) = delete;

    std::FILE* get() const { return file_; }

    std::uint64_t length() const {
        const long position = std::ftell(file_);
        QZB_FUZZ_CHECK(position >= 0);
        return static_cast<std::uint64_t>(position);
    }

    // Reads the output back: once the writing is done.
    Md5 digest() const {
        std::uint64_t rest = length();
        std::rewind(file_);
        Md5Context context;
        md5Init(context);
        char buffer[65536];
        while (rest > 0) {
            const std::size_t chunk =
                rest < sizeof buffer ? static_cast<std::size_t>(rest) : sizeof buffer;
            QZB_FUZZ_CHECK(std::fread(buffer, 1, chunk, file_) == chunk);
            md5Update(context, buffer, chunk);
            rest -= chunk;
        }
        Md5 result;
        md5Final(context, result);
        return result;
    }

private:
    static std::FILE* scratch() {
        static const test::FileHandle file = test::temporaryFile();
        return file.get();
    }

    std::FILE* file_;
};

} // namespace qzb::fuzz
