#pragma once

#include <string>
#include <string_view>

namespace qzb {

// The form of a full Windows path that the system takes whole, past the 260-character limit:
// "C:\a" becomes "\\?\C:\a" and "\\server\share\a" becomes "\\?\UNC\server\share\a", with every
// '/' made a '\' (the system does not normalise such a path). The path must already be full, its
// "." and ".." elements folded; one that is not (relative, "C:a", "\a"), one already in that form
// and a device path ("\\.\") come back unchanged.
std::wstring extendedLengthPath(std::wstring_view path);

} // namespace qzb
