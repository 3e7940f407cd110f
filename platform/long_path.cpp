#include "platform/long_path.h"

#include <algorithm>

namespace qzb {
namespace {

bool isSeparator(wchar_t c) {
    return c == L'\\' || c == L'/';
}

bool isDriveLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z');
}

} // namespace

std::wstring extendedLengthPath(std::wstring_view path) {
    std::wstring result(path);
    std::replace(result.begin(), result.end(), L'/', L'\\');
    const bool unc = path.size() > 2 && isSeparator(path[0]) && isSeparator(path[1]);
    if (unc) {
        // "\\?\" (already extended) and "\\.\" (a device) stay as they are.
        if ((path[2] == L'?' || path[2] == L'.') && (path.size() == 3 || isSeparator(path[3]))) {
            return std::wstring(path);
        }
        return L"\\\\?\\UNC\\" + result.substr(2);
    }
    const bool drive =
        path.size() > 2 && isDriveLetter(path[0]) && path[1] == L':' && isSeparator(path[2]);
    return drive ? L"\\\\?\\" + result : std::wstring(path);
}

} // namespace qzb
