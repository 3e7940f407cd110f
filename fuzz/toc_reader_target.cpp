// The table-of-contents reader on arbitrary bytes, with and without digest checks. Whatever it
// accepts must be exactly what the bytes say: every record, name and block size is checked
// against an independent decoding of the input.
#include <cstdint>
#include <string_view>

#include "archive/archive.h"
#include "digest/md5.h"
#include "fuzz/fuzz_support.h"

namespace {

using qzb::fuzz::le;

bool sameTable(const qzb::Archive& a, const qzb::Archive& b) {
    if (a.entryCount() != b.entryCount() || a.blockSizes() != b.blockSizes()) {
        return false;
    }
    for (std::size_t i = 0; i < a.entryCount(); ++i) {
        const qzb::ArchiveEntry& x = a.entries()[i];
        const qzb::ArchiveEntry& y = b.entries()[i];
        if (x.firstBlock != y.firstBlock || x.reserved != y.reserved ||
            x.originalSize != y.originalSize || x.dataOffset != y.dataOffset ||
            x.nameOffset != y.nameOffset || a.name(i) != b.name(i)) {
            return false;
        }
    }
    return true;
}

// An accepted table lies inside the input, ends at tocSize, and holds what the bytes say.
void checkLayout(std::string_view input, const qzb::Archive& archive) {
    const std::uint64_t tocSize = le(input, 4, 4);
    const std::uint64_t count = le(input, 8, 4);
    QZB_FUZZ_CHECK(tocSize <= input.size());
    QZB_FUZZ_CHECK(archive.entryCount() == count);

    const std::uint64_t entryTable = 16 + 16 * count;
    const std::uint64_t nameTable = entryTable + 32 * count;
    const std::uint64_t body = nameTable + 4;
    const std::uint64_t bodyLength = le(input, nameTable, 4) - 4;
    const std::uint64_t blockTable = body + bodyLength;

    std::uint64_t blocks = 0;
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t record = entryTable + 32 * i;
        const qzb::ArchiveEntry& entry = archive.entries()[i];
        QZB_FUZZ_CHECK(entry.firstBlock == le(input, record, 4));
        QZB_FUZZ_CHECK(entry.reserved == le(input, record + 4, 4));
        QZB_FUZZ_CHECK(entry.originalSize == le(input, record + 8, 8));
        QZB_FUZZ_CHECK(entry.dataOffset == le(input, record + 16, 8));
        QZB_FUZZ_CHECK(entry.nameOffset == le(input, record + 24, 8));

        const std::string_view name = archive.name(i);
        QZB_FUZZ_CHECK(entry.nameOffset < bodyLength &&
                       name.size() < bodyLength - entry.nameOffset);
        QZB_FUZZ_CHECK(input.substr(body + entry.nameOffset, name.size() + 1) ==
                       std::string_view(name.data(), name.size() + 1));
        QZB_FUZZ_CHECK(archive.entryName(i) == name);
        blocks += entry.originalSize / 65536 + (entry.originalSize % 65536 != 0 ? 1 : 0);
    }

    QZB_FUZZ_CHECK(archive.blockSizes().size() == blocks);
    QZB_FUZZ_CHECK(blockTable + 2 * blocks == tocSize);
    for (std::uint64_t k = 0; k < blocks; ++k) {
        const std::uint64_t stored = le(input, blockTable + 2 * k, 2);
        QZB_FUZZ_CHECK(archive.blockSizes()[k] == (stored == 0 ? 65536 : stored));
    }
}

// Every name matches its stored digest, and the last 16 bytes are the digest of the table.
void checkDigests(std::string_view input, const qzb::Archive& archive) {
    QZB_FUZZ_CHECK(input.size() >= 16);
    for (std::size_t i = 0; i < archive.entryCount(); ++i) {
        const std::string_view name = archive.name(i);
        const qzb::Md5 digest = qzb::md5Digest(name.data(), name.size());
        QZB_FUZZ_CHECK(input.substr(16 + 16 * i, 16) ==
                       std::string_view(reinterpret_cast<const char*>(digest.data()), 16));
    }
    const qzb::Md5 digest = qzb::md5Digest(input.data(), le(input, 4, 4));
    QZB_FUZZ_CHECK(input.substr(input.size() - 16) ==
                   std::string_view(reinterpret_cast<const char*>(digest.data()), 16));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > qzb::fuzz::MaxInputSize) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data), size);

    qzb::Archive checked(qzb::fuzz::openInput(input));
    const qzb::TableFault checkedFault = checked.readTableOfContents(true);
    qzb::Archive unchecked(qzb::fuzz::openInput(input));
    const bool uncheckedRead = unchecked.readTableOfContents(false) == qzb::TableFault::None;

    // Digests only add checks: a table refused for them is one that reads whole without them, and
    // is kept as read.
    QZB_FUZZ_CHECK((checkedFault == qzb::TableFault::Malformed) == !uncheckedRead);
    if (uncheckedRead) {
        QZB_FUZZ_CHECK(sameTable(checked, unchecked));
        checkLayout(input, unchecked);
    }
    if (checkedFault == qzb::TableFault::None) {
        checkDigests(input, checked);
    }

    // A second read into the same object replaces the first completely.
    QZB_FUZZ_CHECK((checked.readTableOfContents(false) == qzb::TableFault::None) == uncheckedRead);
    if (uncheckedRead) {
        QZB_FUZZ_CHECK(sameTable(checked, unchecked));
    }
    return 0;
}
