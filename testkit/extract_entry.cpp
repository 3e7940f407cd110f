#include "testkit/extract_entry.h"

namespace qzb::test {

ExtractResult extractEntry(const Archive& archive, std::size_t index, std::FILE* output) {
    const DecodeOutcome outcome =
        archive.readEntry(index, [output](const unsigned char* bytes, std::size_t length) {
            return std::fwrite(bytes, 1, length, output) == length;
        });
    switch (outcome.fault) {
    case EntryFault::None:
        return ExtractResult::Done;
    case EntryFault::SinkRefused:
        return ExtractResult::WriteFailed;
    case EntryFault::BlocksOutsideTable:
    case EntryFault::Truncated:
    case EntryFault::BadBlock:
        break;
    }
    return ExtractResult::Corrupt;
}

} // namespace qzb::test
