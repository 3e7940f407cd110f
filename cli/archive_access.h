#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app/entry_path.h"
#include "archive/archive.h"

namespace qzb::cli {

// An archive opened and its table of contents read, or RunError naming the archive and the cause.
// With `digestsDiffer` a digest mismatch is no error: the table is taken as read and the flag set.
Archive openArchive(const std::string& argument, bool verifyChecksums,
                    bool* digestsDiffer = nullptr);

// Where an entry lands: its directories as the extraction loop reaches them ("" and "." elements
// left out) and its file name.
std::string landingPath(const EntryPath& path);

// The reason, for a report, why an entry's content could not be produced.
std::string faultText(const DecodeOutcome& outcome, std::uint64_t originalSize);

// The sum of an entry's stored block lengths; nothing when its blocks lie outside the table.
std::optional<std::uint64_t> storedSize(const Archive& archive, std::size_t index);

// How an entry's blocks are kept: "stored" when every one is its own length (an empty entry too),
// "zlib" when none is, "mixed" otherwise; nothing when they lie outside the table.
std::optional<std::string_view> storageMethod(const Archive& archive, std::size_t index);

} // namespace qzb::cli
