#pragma once

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>

namespace qzb {

// The one error of the front end: its message is what the run prints after "  ERROR: ". It
// carries the entry the run was at, if any, and the system's reason, where it gave one, for a
// caller that shows them.
class RunError : public std::runtime_error {
public:
    explicit RunError(const std::string& message, std::error_code cause = {})
        : std::runtime_error(message), cause_(cause) {}
    RunError(const std::string& message, std::size_t entry, std::error_code cause = {})
        : std::runtime_error(message), entry_(entry), cause_(cause) {}

    const std::optional<std::size_t>& entry() const { return entry_; }
    const std::error_code& cause() const { return cause_; }

private:
    std::optional<std::size_t> entry_;
    std::error_code cause_;
};

} // namespace qzb
