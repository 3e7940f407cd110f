// A build without libuchardet: auto keeps to what exact decoding alone can tell.
#include "cli/charset_detector.h"

namespace qzb::cli {

std::string_view charsetDetectorName() {
    return {};
}

std::string detectCharset(std::string_view) {
    return {};
}

} // namespace qzb::cli
