#include <uchardet.h>

#include "cli/charset_detector.h"
#include "platform/unique_resource.h"

namespace qzb::cli {
namespace {

struct DetectorTraits {
    using Value = uchardet_t;
    static Value empty() { return nullptr; }
    static bool close(Value value) {
        uchardet_delete(value);
        return true;
    }
};

} // namespace

std::string_view charsetDetectorName() {
    return "libuchardet";
}

std::string detectCharset(std::string_view text) {
    const UniqueResource<DetectorTraits> detector(uchardet_new());
    if (!detector || uchardet_handle_data(detector.get(), text.data(), text.size()) != 0) {
        return {};
    }
    uchardet_data_end(detector.get());
    const char* const charset = uchardet_get_charset(detector.get());
    return charset == nullptr ? std::string() : std::string(charset);
}

} // namespace qzb::cli
