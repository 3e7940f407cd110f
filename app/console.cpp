#include "app/console.h"

#include "platform/console.h"

namespace qzb {
namespace {

// The length of the control that starts at `i`: 1 for a C0 control or DEL, 2 for a C1 control
// in UTF-8, 0 for anything else.
std::size_t controlLength(std::string_view name, std::size_t i) {
    const auto byte = static_cast<unsigned char>(name[i]);
    if (byte < 0x20 || byte == 0x7F) {
        return 1;
    }
    if (byte == 0xC2 && i + 1 < name.size()) {
        const auto next = static_cast<unsigned char>(name[i + 1]);
        return next >= 0x80 && next <= 0x9F ? 2 : 0;
    }
    return 0;
}

void appendEscaped(std::string& out, std::string_view name) {
    static constexpr char digits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < name.size();) {
        if (const std::size_t length = controlLength(name, i)) {
            for (const std::size_t end = i + length; i < end; ++i) {
                const auto byte = static_cast<unsigned char>(name[i]);
                out += {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
            }
            continue;
        }
        out += name[i];
        const std::size_t next = i + 1;
        if (name[i] == '\\' && next < name.size() &&
            (name[next] == '\\' || name[next] == 'x' || controlLength(name, next) > 0)) {
            out += '\\';
        }
        i = next;
    }
}

} // namespace

std::string escapeName(std::string_view name) {
    std::string out;
    appendEscaped(out, name);
    return out;
}

void Console::printName(std::string_view name) {
    if (!outIsTerminal_) {
        print(name);
        return;
    }
    escaped_.clear();
    appendEscaped(escaped_, name);
    print(escaped_);
}

void Console::printError(std::initializer_list<std::string_view> pieces) {
    std::fflush(out_);
    for (const std::string_view piece : pieces) {
        std::fwrite(piece.data(), 1, piece.size(), err_);
    }
    std::fflush(err_);
}

bool Console::outputWritten() {
    const bool flushed = std::fflush(out_) == 0;
    return flushed && std::ferror(out_) == 0 && !outputLost_;
}

Console standardConsole() {
    const bool outputClosed = platform::reopenClosedStandardStreams();
    return Console(stdout, stderr, platform::isTerminal(stdout), outputClosed);
}

} // namespace qzb
