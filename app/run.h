#pragma once

#include <string>
#include <vector>

#include "app/console.h"

namespace qzb {

// One whole run for the arguments after the program name, reporting on `console`; answers the
// exit status: 0 done, 1 failed (one error line on standard error), 2 usage. Runs in the calling
// process, whose working directory it leaves at the target directory.
int run(const std::vector<std::string>& arguments, Console& console);

// The same run with blocks inflated on `inflateThreads` threads (1: all work on one thread);
// the report, the files and the status are the same for every count.
int run(const std::vector<std::string>& arguments, Console& console, unsigned inflateThreads);

} // namespace qzb
