#include "cli/name_encoding.h"

#include <algorithm>

#include "app/run_error.h"
#include "cli/charset_detector.h"
#include "cli/utf8.h"
#include "platform/code_page.h"

namespace qzb::cli {
namespace {

enum class Kind {
    MultiByte,
    SingleByte,
    // A character for every byte: that it decodes every name tells nothing, so it is taken only
    // on the detector's word.
    EveryByte
};
struct Candidate {
    std::string_view codePage;
    Kind kind;
};

// The ANSI and OEM code pages of Windows, in the order they are tried and listed.
constexpr Candidate Candidates[] = {
    {"CP932", Kind::MultiByte},   {"GBK", Kind::MultiByte},     {"CP949", Kind::MultiByte},
    {"CP950", Kind::MultiByte},   {"CP1250", Kind::SingleByte}, {"CP1251", Kind::SingleByte},
    {"CP1252", Kind::SingleByte}, {"CP1253", Kind::SingleByte}, {"CP1254", Kind::SingleByte},
    {"CP1255", Kind::SingleByte}, {"CP1257", Kind::SingleByte}, {"CP874", Kind::SingleByte},
    {"CP1256", Kind::EveryByte},  {"CP437", Kind::EveryByte},   {"CP850", Kind::EveryByte},
    {"CP852", Kind::EveryByte},   {"CP866", Kind::EveryByte}};

// The detector's answers for text in one of the candidates: the same code page, or one whose
// characters that code page has at the same bytes.
constexpr std::pair<std::string_view, std::string_view> DetectedAs[] = {{"SHIFT_JIS", "CP932"},
                                                                        {"CP932", "CP932"},
                                                                        {"GB18030", "GBK"},
                                                                        {"GB2312", "GBK"},
                                                                        {"GBK", "GBK"},
                                                                        {"UHC", "CP949"},
                                                                        {"EUC-KR", "CP949"},
                                                                        {"BIG5", "CP950"},
                                                                        {"WINDOWS-1250", "CP1250"},
                                                                        {"WINDOWS-1251", "CP1251"},
                                                                        {"WINDOWS-1252", "CP1252"},
                                                                        {"ISO-8859-1", "CP1252"},
                                                                        {"WINDOWS-1253", "CP1253"},
                                                                        {"ISO-8859-7", "CP1253"},
                                                                        {"WINDOWS-1254", "CP1254"},
                                                                        {"ISO-8859-9", "CP1254"},
                                                                        {"WINDOWS-1255", "CP1255"},
                                                                        {"ISO-8859-8", "CP1255"},
                                                                        {"WINDOWS-1256", "CP1256"},
                                                                        {"WINDOWS-1257", "CP1257"},
                                                                        {"TIS-620", "CP874"},
                                                                        {"IBM437", "CP437"},
                                                                        {"IBM850", "CP850"},
                                                                        {"IBM852", "CP852"},
                                                                        {"IBM866", "CP866"}};

bool isAscii(std::string_view name) {
    return std::all_of(name.begin(), name.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

// A character no code page of a real name decodes to: a C1 control (U+0080-U+009F) or one of
// the private-use area (U+E000-U+F8FF), where converters put bytes that have no character.
bool hasUnlikelyCharacter(std::string_view utf8) {
    for (std::size_t i = 0; i + 1 < utf8.size(); ++i) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(utf8[i + k]); };
        if ((byte(0) == 0xC2 && byte(1) < 0xA0) || byte(0) == 0xEE ||
            (byte(0) == 0xEF && byte(1) < 0xA4)) {
            return true;
        }
    }
    return false;
}

// Whether every character beyond ASCII is a half-width katakana (U+FF61-U+FF9F).
bool onlyHalfWidthKatakana(std::string_view utf8) {
    for (std::size_t i = 0; i < utf8.size();) {
        const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(utf8[i + k]); };
        if (byte(0) < 0x80) {
            ++i;
            continue;
        }
        const bool halfWidth =
            i + 2 < utf8.size() && byte(0) == 0xEF &&
            ((byte(1) == 0xBD && byte(2) >= 0xA1) || (byte(1) == 0xBE && byte(2) <= 0x9F));
        if (!halfWidth) {
            return false;
        }
        i += 3;
    }
    return true;
}

// A candidate's decoding of names. A single-byte code page gives each byte a character of its
// own, so a table of the bytes' characters does its work at a fraction of a converter's cost.
class Decoding {
public:
    explicit Decoding(const Candidate& candidate)
        : codePage_(platform::CodePage::open(std::string(candidate.codePage))),
          singleByte_(candidate.kind != Kind::MultiByte) {
        std::string decoded;
        for (int byte = 0x80; singleByte_ && codePage_ && byte < 0x100; ++byte) {
            const std::string bytes(1, static_cast<char>(byte));
            if (codePage_->toUtf8(bytes, decoded) && !hasUnlikelyCharacter(decoded)) {
                table_[byte - 0x80] = decoded;
            }
        }
    }

    // Exactly, into characters neither private-use nor C1 controls.
    bool toUtf8(std::string_view name, std::string& decoded) const {
        if (!codePage_) {
            return false;
        }
        if (!singleByte_) {
            return codePage_->toUtf8(name, decoded) && !hasUnlikelyCharacter(decoded);
        }
        decoded.clear();
        for (const char c : name) {
            const auto byte = static_cast<unsigned char>(c);
            if (byte < 0x80) {
                decoded += c;
            } else if (table_[byte - 0x80].empty()) {
                return false;
            } else {
                decoded += table_[byte - 0x80];
            }
        }
        return true;
    }

private:
    std::optional<platform::CodePage> codePage_;
    bool singleByte_;
    std::string table_[0x80];
};

// What the detector is given: the names together, or for an archive of many, names spread
// evenly over it up to a few hundred KiB, which tell it as much at a small part of the time.
std::string detectorSample(const std::vector<std::size_t>& names,
                           const std::function<std::string_view(std::size_t)>& name) {
    constexpr std::size_t Enough = 256 * 1024;
    std::size_t total = 0;
    for (const std::size_t i : names) {
        total += name(i).size() + 1;
    }
    const std::size_t step = std::max<std::size_t>(1, total / Enough);
    std::string text;
    for (std::size_t k = 0; k < names.size(); k += step) {
        text.append(name(names[k])).push_back('\n');
    }
    return text;
}

std::string joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) {
        text += (text.empty() ? "" : ", ") + name;
    }
    return text;
}

std::string upperCase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c; });
    return text;
}

constexpr std::string_view HowToChoose = "; --encoding NAME decodes them (man qzb lists names)\n";

} // namespace

EncodingChoice chooseEncoding(std::size_t count,
                              const std::function<std::string_view(std::size_t)>& name) {
    EncodingChoice choice;
    // The names the code pages tell apart: the others are the same in all of them.
    std::vector<std::size_t> tellingNames;
    bool utf8 = true;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view bytes = name(i);
        if (!isAscii(bytes)) {
            tellingNames.push_back(i);
            utf8 = utf8 && isValidUtf8(bytes);
        }
    }
    if (utf8) {
        choice.encoding = "utf-8";
        return choice;
    }
    const std::string_view detector = charsetDetectorName();
    const std::string_view* answer = nullptr;
    if (!detector.empty()) {
        choice.detected = detectCharset(detectorSample(tellingNames, name));
        for (const auto& [detected, codePage] : DetectedAs) {
            answer = detected == choice.detected ? &codePage : answer;
        }
    }
    // Each candidate decodes every name once; the names in the detector's answer are kept, ASCII
    // ones as they are (every candidate has ASCII at its bytes).
    const auto decodesAll = [&](const Candidate& candidate, bool& halfWidthOnly) {
        const Decoding decoding(candidate);
        const bool keep = answer != nullptr && *answer == candidate.codePage;
        halfWidthOnly = false;
        std::string decoded;
        std::size_t next = 0;
        if (keep) {
            choice.offsets.assign(1, 0);
        }
        for (const std::size_t i : tellingNames) {
            if (!decoding.toUtf8(name(i), decoded)) {
                if (keep) {
                    choice.text.clear();
                    choice.offsets.clear();
                }
                return false;
            }
            halfWidthOnly = halfWidthOnly || onlyHalfWidthKatakana(decoded);
            for (; keep && next < i; ++next) {
                choice.text.append(name(next));
                choice.offsets.push_back(choice.text.size());
            }
            if (keep) {
                choice.text.append(decoded);
                choice.offsets.push_back(choice.text.size());
                ++next;
            }
        }
        for (; keep && next < count; ++next) {
            choice.text.append(name(next));
            choice.offsets.push_back(choice.text.size());
        }
        return true;
    };
    std::string multiByte;
    std::size_t multiByteCount = 0;
    bool halfWidthOnlyMultiByte = false;
    bool answerDecodesAll = false;
    for (const Candidate& candidate : Candidates) {
        const bool answered = answer != nullptr && *answer == candidate.codePage;
        bool halfWidthOnly = false;
        if ((candidate.kind != Kind::EveryByte || answered) &&
            decodesAll(candidate, halfWidthOnly)) {
            answerDecodesAll = answerDecodesAll || answered;
            if (candidate.kind != Kind::EveryByte) {
                choice.decodingAll.emplace_back(candidate.codePage);
            }
            if (candidate.kind == Kind::MultiByte) {
                multiByte = candidate.codePage;
                ++multiByteCount;
                halfWidthOnlyMultiByte = halfWidthOnly;
            }
        }
    }
    const std::string all = joined(choice.decodingAll);
    const std::size_t survivors = choice.decodingAll.size();
    if (answerDecodesAll) {
        const bool singleByte =
            std::none_of(std::begin(Candidates), std::end(Candidates), [&](const Candidate& c) {
                return c.codePage == *answer && c.kind == Kind::MultiByte;
            });
        // Bytes of two-byte characters also read as single-byte text, and on a few names a
        // detector may take them so: that is no clear answer.
        if (!(singleByte && multiByteCount > 0)) {
            choice.encoding = *answer;
            choice.note = "qzb: names in " + choice.encoding + ", " + std::string(detector) +
                          "'s answer (" + choice.detected +
                          "); code pages that decode every name: " +
                          (all.empty() ? "none but those that decode any bytes" : all) +
                          "; --encoding NAME chooses another\n";
            return choice;
        }
    }
    choice.text.clear();
    choice.offsets.clear();
    // Without a detector: two-byte characters rarely fall into place by chance, single bytes
    // always do, so only a multi-byte code page that alone decodes every name is taken.
    if (detector.empty() && multiByteCount == 1 && !halfWidthOnlyMultiByte) {
        choice.encoding = multiByte;
        choice.note = "qzb: names in " + choice.encoding +
                      ", the one multi-byte code page that decodes every name (this build has no "
                      "detector; all that do: " +
                      all + "); --encoding NAME chooses another\n";
        return choice;
    }
    choice.encoding = "raw";
    if (survivors == 0) {
        choice.note = "qzb: names as stored: no code page decodes every name";
    } else if (detector.empty()) {
        choice.note = "qzb: names as stored: " + std::to_string(survivors) +
                      " code pages decode every name (" + all +
                      ") and this build has no detector to choose among them";
    } else {
        choice.note =
            "qzb: names as stored: " + std::to_string(survivors) +
            " code pages decode every name (" + all + ") and " + std::string(detector) +
            (choice.detected.empty() ? " cannot tell which"
                                     : "'s answer (" + choice.detected + ") does not settle it");
    }
    choice.note += HowToChoose;
    return choice;
}

EntryNames::EntryNames(const Archive& archive, const std::string& encoding) : archive_(archive) {
    const std::size_t count = archive.entryCount();
    encoding_ = upperCase(encoding);
    if (encoding_ == "AUTO") {
        EncodingChoice choice =
            chooseEncoding(count, [&](std::size_t i) { return archive.name(i); });
        encoding_ = upperCase(choice.encoding);
        note_ = std::move(choice.note);
        if (!choice.offsets.empty()) {
            text_ = std::move(choice.text);
            offsets_ = std::move(choice.offsets);
            return;
        }
    }
    if (encoding_ == "UTF8") {
        encoding_ = "UTF-8";
    }
    if (encoding_ == "RAW" || encoding_ == "UTF-8") {
        encoding_ = encoding_ == "RAW" ? "raw" : "utf-8";
        for (std::size_t i = 0; i < count && encoding_ == "utf-8"; ++i) {
            if (!isValidUtf8(archive.name(i))) {
                throw RunError(
                    "entry " + std::to_string(i + 1) +
                    ": its name is not UTF-8 (--encoding raw takes the names as stored)");
            }
        }
        return;
    }
    const std::optional<platform::CodePage> codePage = platform::CodePage::open(encoding_);
    if (!codePage) {
        throw RunError(encoding + ": no such encoding (auto, raw, utf-8 or a code page such as "
                                  "CP932, GBK, CP1251)");
    }
    offsets_.reserve(count + 1);
    offsets_.push_back(0);
    std::string decoded;
    for (std::size_t i = 0; i < count; ++i) {
        const std::string_view bytes = archive.name(i);
        if (codePage->toUtf8(bytes, decoded)) {
            text_.append(decoded);
        } else {
            throw RunError("entry " + std::to_string(i + 1) + ": its name is not in " + encoding_ +
                           " (--encoding raw takes the names as stored)");
        }
        offsets_.push_back(text_.size());
    }
}

std::optional<std::string> EntryNames::fileSystemName(std::size_t index) const {
    if (encoding_ == "raw") {
        return platform::fileSystemName(archive_.name(index));
    }
    return std::string(name(index));
}

} // namespace qzb::cli
