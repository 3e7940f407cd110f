#pragma once

#include <system_error>
#include <thread>
#include <vector>

namespace qzb {

// Starts up to `count` threads that each run `work`, as many as the system gives: the callers'
// outcomes never depend on their workers, so a run short of threads goes on with fewer or none.
template <typename Work>
void startWorkers(std::vector<std::jthread>& workers, unsigned count, const Work& work) {
    workers.reserve(count);
    for (unsigned i = 0; i < count; ++i) {
        try {
            workers.emplace_back(work);
        } catch (const std::system_error&) {
            break;
        }
    }
}

} // namespace qzb
