#include "cli/json_line.h"

#include <nlohmann/json.hpp>

namespace qzb::cli {
namespace {

using Json = nlohmann::ordered_json;

std::string hexOf(std::string_view bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(2 * bytes.size());
    for (const char c : bytes) {
        const auto byte = static_cast<unsigned char>(c);
        hex += digits[byte >> 4];
        hex += digits[byte & 0xF];
    }
    return hex;
}

} // namespace

std::string entryJsonLine(const EntryListing& entry) {
    Json line = {{"index", entry.index},
                 {"name", entry.name},
                 {"size", entry.size},
                 {"stored", entry.stored ? Json(*entry.stored) : Json(nullptr)},
                 {"blocks", entry.blocks}};
    std::string text;
    try {
        text = line.dump();
    } catch (const Json::type_error&) {
        // The name is not valid UTF-8: the only thing dump() refuses here.
        line["name_hex"] = hexOf(entry.name);
        text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
    }
    text += '\n';
    return text;
}

} // namespace qzb::cli
