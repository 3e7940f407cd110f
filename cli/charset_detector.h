#pragma once

#include <string>
#include <string_view>

// A detector of the character set a text is in, where the build has one (libuchardet). It only
// ranks: qzb takes its answer only for a code page that decodes every name exactly.
namespace qzb::cli {

// The detector's name, for the line that says how an encoding was chosen; empty in a build
// without one.
std::string_view charsetDetectorName();

// The character set the detector takes `text` for, in its own naming ("SHIFT_JIS", "UHC",
// "WINDOWS-1251"); empty when it cannot tell, or in a build without one.
std::string detectCharset(std::string_view text);

} // namespace qzb::cli
