// Windows: a code page is a number that MultiByteToWideChar takes, named as iconv names them.
#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "platform/code_page.h"
#include "platform/wide_text.h"

namespace qzb::platform {
namespace {

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The number of a code page by its iconv name: "CP" or "WINDOWS-" and the number, or one of the
// other names of the code pages Windows archives are made in; 0 for none.
UINT codePageNumber(std::string name) {
    std::transform(name.begin(), name.end(), name.begin(), upper);
    struct Named {
        const char* name;
        UINT number;
    };
    static constexpr Named names[] = {
        {"UTF-8", CP_UTF8}, {"UTF8", CP_UTF8},     {"SHIFT_JIS", 932}, {"SJIS", 932},
        {"GBK", 936},       {"GB2312", 936},       {"GB18030", 54936}, {"UHC", 949},
        {"EUC-KR", 51949},  {"BIG5", 950},         {"BIG-5", 950},     {"EUC-JP", 20932},
        {"KOI8-R", 20866},  {"KOI8-U", 21866},     {"IBM437", 437},    {"IBM850", 850},
        {"IBM866", 866},    {"ISO-8859-1", 28591}, {"ASCII", 20127},   {"US-ASCII", 20127}};
    for (const Named& named : names) {
        if (name == named.name) {
            return named.number;
        }
    }
    for (const std::string_view prefix : {"WINDOWS-", "CP", "IBM"}) {
        if (name.starts_with(prefix) && name.size() > prefix.size() &&
            name.size() <= prefix.size() + 5 &&
            std::all_of(name.begin() + static_cast<std::ptrdiff_t>(prefix.size()), name.end(),
                        [](char c) { return c >= '0' && c <= '9'; })) {
            return static_cast<UINT>(std::atoi(name.c_str() + prefix.size()));
        }
    }
    if (name.starts_with("ISO-8859-") && name.size() <= 11) {
        const int part = std::atoi(name.c_str() + 9);
        return part >= 1 && part <= 16 ? static_cast<UINT>(28590 + part) : 0;
    }
    return 0;
}

// Exactly: every byte part of a character, and the characters encode back to the same bytes.
bool toWideExactly(UINT codePage, std::string_view bytes, std::wstring& wide) {
    if (bytes.empty()) {
        wide.clear();
        return true;
    }
    const int size = static_cast<int>(bytes.size());
    const int length =
        MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (length <= 0) {
        return false;
    }
    wide.assign(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, wide.data(), length);
    return fromWide(wide, codePage) == bytes;
}

} // namespace

struct CodePage::State {
    UINT number;
};

std::optional<CodePage> CodePage::open(const std::string& name) {
    const UINT number = codePageNumber(name);
    if (number == 0 || !IsValidCodePage(number)) {
        return std::nullopt;
    }
    return CodePage(std::make_unique<State>(State{number}));
}

CodePage::CodePage(std::unique_ptr<State> state) : state_(std::move(state)) {}
CodePage::CodePage(CodePage&& other) noexcept = default;
CodePage& CodePage::operator=(CodePage&& other) noexcept = default;
CodePage::~CodePage() = default;

bool CodePage::toUtf8(std::string_view bytes, std::string& utf8) const {
    std::wstring wide;
    if (!toWideExactly(state_->number, bytes, wide)) {
        return false;
    }
    utf8 = fromWide(wide, CP_UTF8);
    return true;
}

// A single-byte ANSI code page gives every byte one character, as the byte interface does, so
// such names land where they always have.
std::optional<std::string> fileSystemName(std::string_view name) {
    CPINFO info{};
    if (GetCPInfo(CP_ACP, &info) && info.MaxCharSize == 1) {
        return fromWide(toWide(name, CP_ACP), CP_UTF8);
    }
    std::wstring wide;
    if (!toWideExactly(CP_ACP, name, wide)) {
        return std::nullopt;
    }
    return fromWide(wide, CP_UTF8);
}

} // namespace qzb::platform
