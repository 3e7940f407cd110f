// POSIX systems: iconv converts, and a code page is two of its descriptors, one each way.
#include <iconv.h>

#include <cerrno>

#include "platform/code_page.h"
#include "platform/unique_resource.h"

namespace qzb::platform {
namespace {

struct IconvTraits {
    using Value = iconv_t;
    static Value empty() { return reinterpret_cast<iconv_t>(-1); }
    static bool close(Value value) { return iconv_close(value) == 0; }
};
using UniqueIconv = UniqueResource<IconvTraits>;

// All of `in` through `converter` into `out`; false at the first byte it cannot convert. glibc
// stops at such a byte (EILSEQ) or at a cut sequence (EINVAL) rather than replace it.
bool convert(iconv_t converter, std::string_view in, std::string& out) {
    iconv(converter, nullptr, nullptr, nullptr, nullptr);
    out.resize(in.size() * 4 + 16);
    char* from = const_cast<char*>(in.data());
    std::size_t fromLeft = in.size();
    char* to = out.data();
    std::size_t toLeft = out.size();
    while (fromLeft > 0) {
        if (iconv(converter, &from, &fromLeft, &to, &toLeft) != static_cast<std::size_t>(-1)) {
            continue;
        }
        if (errno != E2BIG) {
            return false;
        }
        const std::size_t used = out.size() - toLeft;
        out.resize(out.size() * 2);
        to = out.data() + used;
        toLeft = out.size() - used;
    }
    // A converter that keeps a shift state writes what ends it.
    if (iconv(converter, nullptr, nullptr, &to, &toLeft) == static_cast<std::size_t>(-1)) {
        return false;
    }
    out.resize(out.size() - toLeft);
    return true;
}

} // namespace

struct CodePage::State {
    UniqueIconv decoder;
    UniqueIconv encoder;
    // The encoder's output, kept to spare an allocation per name.
    mutable std::string check;
};

std::optional<CodePage> CodePage::open(const std::string& name) {
    auto state = std::make_unique<State>();
    state->decoder = UniqueIconv(iconv_open("UTF-8", name.c_str()));
    state->encoder = UniqueIconv(iconv_open(name.c_str(), "UTF-8"));
    if (!state->decoder || !state->encoder) {
        return std::nullopt;
    }
    return CodePage(std::move(state));
}

CodePage::CodePage(std::unique_ptr<State> state) : state_(std::move(state)) {}
CodePage::CodePage(CodePage&& other) noexcept = default;
CodePage& CodePage::operator=(CodePage&& other) noexcept = default;
CodePage::~CodePage() = default;

bool CodePage::toUtf8(std::string_view bytes, std::string& utf8) const {
    return convert(state_->decoder.get(), bytes, utf8) &&
           convert(state_->encoder.get(), utf8, state_->check) && state_->check == bytes;
}

std::optional<std::string> fileSystemName(std::string_view name) {
    return std::string(name);
}

} // namespace qzb::platform
