#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// Entry names are bytes in the code page of the system that made the archive. The system's own
// converter turns them into characters: iconv on POSIX systems, MultiByteToWideChar on Windows.
namespace qzb::platform {

// One code page, by a name the system's converter knows (CP932, SHIFT_JIS, GBK, CP1251, UTF-8).
class CodePage {
public:
    struct State;
    // Nothing when the converter knows no code page of that name.
    static std::optional<CodePage> open(const std::string& name);
    CodePage(CodePage&& other) noexcept;
    CodePage& operator=(CodePage&& other) noexcept;
    ~CodePage();

    // The characters of `bytes` in UTF-8, into `utf8`. False when a byte is not part of a
    // character of the code page, or when the characters do not encode back to the same bytes:
    // a name is taken only when nothing of it is lost.
    bool toUtf8(std::string_view bytes, std::string& utf8) const;

private:
    explicit CodePage(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};

// An entry name as the file layer takes names. POSIX systems store the bytes as they are. Windows
// stores characters: the name is taken in the ANSI code page, as its byte interface would take
// it, and handed on in UTF-8; nothing for a name that a code page of characters of more than one
// byte cannot convert exactly.
std::optional<std::string> fileSystemName(std::string_view name);

} // namespace qzb::platform
