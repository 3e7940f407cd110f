#pragma once

#include <stdexcept>

namespace qzb {

// The one error of the front end: its message is what the run prints after "  ERROR: ".
class RunError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

} // namespace qzb
