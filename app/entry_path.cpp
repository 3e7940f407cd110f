#include "app/entry_path.h"

namespace qzb {
namespace {

bool isSeparator(char c) {
    return c == '/' || c == '\\';
}

bool hasDrivePrefix(std::string_view name) {
    if (name.size() < 2 || name[1] != ':') {
        return false;
    }
    const char c = name[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

} // namespace

std::optional<EntryPath> entryPath(std::string_view name) {
    if (name.empty() || isSeparator(name.front()) || hasDrivePrefix(name)) {
        return std::nullopt;
    }
    EntryPath result{std::string(name), std::string(), true};
    std::size_t elementStart = 0;
    std::size_t lastSeparator = std::string::npos;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isSeparator(name[i])) {
            continue;
        }
        if (name.substr(elementStart, i - elementStart) == "..") {
            return std::nullopt;
        }
        if (i < name.size()) {
            result.path[i] = '/';
            lastSeparator = i;
        }
        elementStart = i + 1;
    }
    if (lastSeparator != std::string::npos) {
        result.directory = result.path.substr(0, lastSeparator);
        result.hasFileName = lastSeparator + 1 < name.size();
    }
    return result;
}

} // namespace qzb
