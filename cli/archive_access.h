#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "archive/archive.h"

namespace qzb::cli {

// An archive opened and its table of contents read, or RunError naming the archive and the cause.
// With `digestsDiffer` a digest mismatch is no error: the table is taken as read and the flag set.
Archive openArchive(const std::string& argument, bool verifyChecksums,
                    bool* digestsDiffer = nullptr);

// The reason, for a report, why an entry's content could not be produced.
std::string faultText(const DecodeOutcome& outcome, std::uint64_t originalSize);

// The sum of an entry's stored block lengths; nothing when its blocks lie outside the table.
std::optional<std::uint64_t> storedSize(const Archive& archive, std::size_t index);

} // namespace qzb::cli
