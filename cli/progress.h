#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qzb::cli {

// The progress line: a bar, the percentage, bytes done and total, the rate and the time left
// (both once some time has passed).
std::string progressLine(std::uint64_t done, std::uint64_t total, double seconds);

// Draws the progress line on a terminal's standard error, over itself, at most ten times a
// second; draws nothing when not enabled.
class ProgressBar {
public:
    ProgressBar(std::FILE* err, bool enabled, std::uint64_t total);
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;
    // Erases the line, so that an error line starts at the margin.
    ~ProgressBar() { erase(); }

    void advance(std::uint64_t bytes);
    void erase();

private:
    void draw(std::chrono::steady_clock::time_point now);

    std::FILE* err_;
    bool enabled_;
    std::uint64_t total_;
    std::uint64_t done_ = 0;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point drawn_;
    std::size_t width_ = 0;
};

} // namespace qzb::cli
