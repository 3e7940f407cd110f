#include "app/entry_path.h"

#include <algorithm>

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

char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool isDeviceName(std::string_view element) {
    static constexpr std::string_view devices[] = {
        "CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3",   "COM4",
        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2",   "LPT3",
        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9", "CONIN$", "CONOUT$"};
    std::string_view stem = element.substr(0, element.find('.'));
    stem = stem.substr(0, stem.find_last_not_of(' ') + 1);
    return std::any_of(std::begin(devices), std::end(devices), [stem](std::string_view device) {
        return stem.size() == device.size() &&
               std::equal(stem.begin(), stem.end(), device.begin(),
                          [](char a, char b) { return upper(a) == b; });
    });
}

bool isStoredAsGivenOnWindows(std::string_view element) {
    if (element.empty() || element == ".") {
        return true;
    }
    const bool forbidden = std::any_of(element.begin(), element.end(), [](char c) {
        return (c >= 1 && c <= 31) ||
               std::string_view("<>:\"|?*").find(c) != std::string_view::npos;
    });
    return !forbidden && element.back() != '.' && element.back() != ' ' && !isDeviceName(element);
}

} // namespace

std::optional<EntryPath> entryPath(std::string_view name, NameRules rules) {
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
        const std::string_view element = name.substr(elementStart, i - elementStart);
        // The system's calls end a name at its first zero byte.
        if (element == ".." || element.find('\0') != std::string_view::npos ||
            (rules == NameRules::Windows && !isStoredAsGivenOnWindows(element))) {
            return std::nullopt;
        }
        if (i < name.size()) {
            result.path[i] = '/';
            lastSeparator = i;
        }
        elementStart = i + 1;
    }
    // The directories without the elements that name no directory ("" and "."), so that names
    // spelling one directory differently reach it as one, however long they are.
    if (lastSeparator != std::string::npos) {
        const std::string_view directories = std::string_view(result.path).substr(0, lastSeparator);
        for (std::size_t start = 0; start <= directories.size();) {
            const std::size_t end = std::min(directories.find('/', start), directories.size());
            const std::string_view element = directories.substr(start, end - start);
            if (!element.empty() && element != ".") {
                result.directory.append(result.directory.empty() ? "" : "/").append(element);
            }
            start = end + 1;
        }
    }
    // A last element "." names the directory it stands in, as a trailing separator does.
    const std::string_view last =
        name.substr(lastSeparator == std::string::npos ? 0 : lastSeparator + 1);
    result.hasFileName = !last.empty() && last != ".";
    return result;
}

} // namespace qzb
