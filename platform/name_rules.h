#pragma once

namespace qzb {

// Which names a file system stores as given. Windows drops an element's trailing '.' and ' ',
// opens a device for CON, NUL, COM1 and the like (with any extension), takes ':' for a stream of
// another file and forbids <>"|?* and the bytes 1-31: written as they are, such names land
// elsewhere, or are skipped as if they existed.
enum class NameRules { Posix, Windows };

} // namespace qzb
