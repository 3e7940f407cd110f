// The least work any extractor of an archive must do, as a yardstick for the real one: parse the
// table of contents (read whole, no digest checks), create each file, inflate or copy each block,
// write, close. No progress output, no existence checks, no temporary names, no error messages
// beyond a failed exit status. Built with zlib's uncompress, or with libdeflate when
// QZB_FLOOR_LIBDEFLATE is defined.
//
// With --safe-writes it adds what qzb-unpack's file handling costs the kernel: an lstat of each
// entry's path (an existing one is skipped), the content written under a temporary name beside
// it, and a rename onto the path. With --decode-only it creates and writes nothing: the least a
// test of every block must do.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef QZB_FLOOR_LIBDEFLATE
#include <libdeflate.h>
#else
#include <zlib.h>
#endif

#include "archive/format.h"
#include "platform/unique_descriptor.h"

namespace {

using namespace qzb;

[[noreturn]] void fail(const char* what) {
    std::fprintf(stderr, "floor: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

bool readAt(int fd, void* destination, std::size_t length, std::uint64_t offset) {
    auto* bytes = static_cast<unsigned char*>(destination);
    while (length > 0) {
        const ssize_t got = pread(fd, bytes, length, static_cast<off_t>(offset));
        if (got <= 0) {
            return false;
        }
        bytes += got;
        length -= static_cast<std::size_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return true;
}

// Serves the data area through one buffer, refilled only when a block lies outside it.
class DataWindow {
public:
    explicit DataWindow(int fd) : fd_(fd), buffer_(1 << 20) {}

    const unsigned char* at(std::uint64_t offset, std::size_t length) {
        if (offset < start_ || offset + length > start_ + filled_) {
            start_ = offset;
            filled_ = static_cast<std::size_t>(
                pread(fd_, buffer_.data(), buffer_.size(), static_cast<off_t>(offset)));
            if (filled_ < length || filled_ > buffer_.size()) {
                fail("read");
            }
        }
        return buffer_.data() + (offset - start_);
    }

private:
    int fd_;
    std::vector<unsigned char> buffer_;
    std::uint64_t start_ = 0;
    std::size_t filled_ = 0;
};

void makeDirectories(const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos;
         slash = path.find('/', slash + 1)) {
        const std::string prefix = path.substr(0, slash);
        if (mkdir(prefix.c_str(), 0777) != 0 && errno != EEXIST) {
            fail("mkdir");
        }
    }
    if (mkdir(path.c_str(), 0777) != 0 && errno != EEXIST) {
        fail("mkdir");
    }
}

#ifdef QZB_FLOOR_LIBDEFLATE
libdeflate_decompressor* decompressor = libdeflate_alloc_decompressor();

bool inflate(const unsigned char* in, std::size_t inLength, unsigned char* out,
             std::size_t expected) {
    return libdeflate_zlib_decompress(decompressor, in, inLength, out, expected, nullptr) ==
           LIBDEFLATE_SUCCESS;
}
#else
bool inflate(const unsigned char* in, std::size_t inLength, unsigned char* out,
             std::size_t expected) {
    uLongf produced = static_cast<uLongf>(expected);
    return uncompress(out, &produced, in, static_cast<uLong>(inLength)) == Z_OK &&
           produced == expected;
}
#endif

void writeAll(int fd, const unsigned char* bytes, std::size_t length) {
    while (length > 0) {
        const ssize_t put = write(fd, bytes, length);
        if (put <= 0) {
            fail("write");
        }
        bytes += put;
        length -= static_cast<std::size_t>(put);
    }
}

// Inflates or copies each block of an entry and writes it to `out`, unless that is -1.
void decodeBlocks(DataWindow& data, const ArchiveEntry& entry, const unsigned char* blockTable,
                  std::vector<unsigned char>& decoded, int out) {
    std::uint64_t offset = entry.dataOffset;
    const std::uint64_t blocks = blockCount(entry.originalSize);
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const std::uint32_t expected = blockLength(entry.originalSize, k);
        const std::uint32_t stored =
            decodeBlockSize(blockTable + (entry.firstBlock + k) * BlockSizeFieldSize);
        const unsigned char* bytes = data.at(offset, stored);
        offset += stored;
        if (stored != expected) {
            if (!inflate(bytes, stored, decoded.data(), expected)) {
                errno = EINVAL;
                fail("inflate");
            }
            bytes = decoded.data();
        }
        if (out != -1) {
            writeAll(out, bytes, expected);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    const bool safeWrites = argc == 4 && std::string_view(argv[3]) == "--safe-writes";
    const bool decodeOnly = argc == 4 && std::string_view(argv[3]) == "--decode-only";
    if (argc != 3 && !safeWrites && !decodeOnly) {
        std::fputs("usage: qzb-bench-floor <archive> <target directory> "
                   "[--safe-writes|--decode-only]\n",
                   stderr);
        return 2;
    }
    const UniqueDescriptor archiveFile(open(argv[1], O_RDONLY | O_CLOEXEC));
    const int archive = archiveFile.get();
    if (archive < 0) {
        fail("open archive");
    }
    if (!decodeOnly) {
        makeDirectories(argv[2]);
        if (chdir(argv[2]) != 0) {
            fail("chdir");
        }
    }

    unsigned char headerBytes[HeaderSize];
    if (!readAt(archive, headerBytes, HeaderSize, 0)) {
        fail("read header");
    }
    const ArchiveHeader header = decodeHeader(headerBytes);
    std::vector<unsigned char> toc(header.tocSize);
    if (header.magic != ArchiveMagic || !readAt(archive, toc.data(), toc.size(), 0)) {
        fail("read table of contents");
    }
    const std::uint64_t count = header.entryCount;
    const unsigned char* records = toc.data() + HeaderSize + count * DigestSize;
    const unsigned char* nameTable = records + count * EntryRecordSize;
    const char* names = reinterpret_cast<const char*>(nameTable + NameTableLengthSize);
    const unsigned char* blockTable = nameTable + loadLe32(nameTable);

    DataWindow data(archive);
    std::vector<unsigned char> decoded(BlockSize);
    std::string lastDirectory;
    for (std::uint64_t i = 0; i < count; ++i) {
        const ArchiveEntry entry = decodeEntry(records + i * EntryRecordSize);
        if (decodeOnly) {
            decodeBlocks(data, entry, blockTable, decoded, -1);
            continue;
        }
        const char* name = names + entry.nameOffset;
        const std::string_view path(name);
        const std::size_t slash = path.rfind('/');
        if (slash != std::string_view::npos && path.substr(0, slash) != lastDirectory) {
            lastDirectory = std::string(path.substr(0, slash));
            makeDirectories(lastDirectory);
        }
        std::string temporary;
        if (safeWrites) {
            struct stat info;
            if (lstat(name, &info) == 0) {
                continue;
            }
            temporary = std::string(path.substr(0, slash + 1)) + ".floor-" + std::to_string(i);
        }
        UniqueDescriptor outFile(
            safeWrites ? open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666)
                       : open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666));
        const int out = outFile.get();
        if (out < 0) {
            fail("create");
        }
        decodeBlocks(data, entry, blockTable, decoded, out);
        if (!outFile.reset()) {
            fail("close");
        }
        if (safeWrites && rename(temporary.c_str(), name) != 0) {
            fail("rename");
        }
    }
    return 0;
}
