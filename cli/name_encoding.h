#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "archive/archive.h"

// Entry names are bytes in the code page of the system that made the archive; qzb shows,
// matches and writes them as characters.
namespace qzb::cli {

// What `--encoding auto` took for the names, and why.
struct EncodingChoice {
    // "utf-8" (the names as stored), "raw" (the same, for names that are not UTF-8) or a code page.
    std::string encoding;
    // The code pages that decode every name exactly, in the order they are tried.
    std::vector<std::string> decodingAll;
    // The detector's answer, in its naming; empty for none.
    std::string detected;
    // The line for standard error, ending in a line feed; empty for UTF-8.
    std::string note;
    // For a code page: every name decoded, one after the other, name i from offsets[i] to
    // offsets[i + 1].
    std::string text;
    std::vector<std::size_t> offsets;
};

// UTF-8 when every name is valid UTF-8. Otherwise the code pages that Windows archives are made
// in, each kept only when it decodes every name exactly into characters that are neither
// private-use nor C1 controls (those with a character for every byte, such as CP437, only when
// the detector names them); among them the one the detector takes the names, all together, for,
// unless it answers a single-byte one while a multi-byte one also decodes every name. Without a
// detector, the one multi-byte code page that decodes every name, if only one does. Else the
// names as stored ("raw"). `name(i)` gives the i-th of `count` stored names.
EncodingChoice chooseEncoding(std::size_t count,
                              const std::function<std::string_view(std::size_t)>& name);

// The names of an archive's entries as qzb shows and matches them.
class EntryNames {
public:
    // `encoding`: auto, raw, utf-8 or a code page the system's converter knows (any letter case).
    // RunError for an encoding nobody knows, or for a name it does not decode exactly.
    EntryNames(const Archive& archive, const std::string& encoding);

    std::string_view name(std::size_t index) const {
        return decoded() ? std::string_view(text_).substr(offsets_[index],
                                                          offsets_[index + 1] - offsets_[index])
                         : archive_.name(index);
    }
    // Whether the names were decoded from a code page other than UTF-8.
    bool decoded() const { return !offsets_.empty(); }
    // "utf-8", "raw" or the code page, upper case.
    const std::string& encoding() const { return encoding_; }
    // What auto said about its choice, for standard error; empty when it took UTF-8 and for an
    // encoding that was asked for.
    const std::string& note() const { return note_; }
    // The name as the file layer takes names: a decoded one in UTF-8; one as stored, as the
    // system takes bytes (nothing for one it cannot convert).
    std::optional<std::string> fileSystemName(std::size_t index) const;

private:
    const Archive& archive_;
    std::string encoding_;
    std::string note_;
    std::string text_;
    std::vector<std::size_t> offsets_;
};

} // namespace qzb::cli
