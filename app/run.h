#pragma once

#include <string>
#include <vector>

namespace qzb {

// One whole run for the arguments after the program name; answers the exit status:
// 0 done, 1 failed (one error line on standard error), 2 usage.
int run(const std::vector<std::string>& arguments);

} // namespace qzb
