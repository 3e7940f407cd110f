#pragma once

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>

namespace qzb::cli {

// What --progress asks for: the bar on a terminal's standard error (auto), the bar wherever
// standard error goes (always), nothing (never), or JSON Lines (json).
enum class ProgressMode { Auto, Always, Never, Json };

// The progress line: a bar, the percentage, bytes done and total, the rate and the time left
// (both once some time has passed).
std::string progressLine(std::uint64_t done, std::uint64_t total, double seconds);

// Where a run stands, as --progress json tells it.
struct ProgressState {
    std::size_t entry;
    std::uint64_t bytesDone;
    std::uint64_t bytesTotal;
    std::uint64_t entriesDone;
    std::uint64_t entriesTotal;
    std::uint64_t milliseconds;
};

// One JSON line: {"entry":..,"bytes_done":..,"bytes_total":..,"entries_done":..,
// "entries_total":..,"elapsed":seconds with three decimals}.
void appendProgressJson(std::string& out, const ProgressState& state);

// Shows the progress of a run on standard error. The bar is drawn over itself at most ten times a
// second. JSON gets a line at most ten times a second within entries and one at each entry's end;
// lines are gathered and written at most ten times a second and at the end, so that a million
// entries cost a few writes a second.
class Progress {
public:
    Progress(std::FILE* err, ProgressMode mode, bool errIsTerminal, std::uint64_t totalBytes,
             std::uint64_t totalEntries);
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;
    // Erases the bar and writes the lines gathered.
    ~Progress() { erase(); }

    void entryStarted(std::size_t index) { entry_ = index; }
    void advance(std::uint64_t bytes);
    void entryDone();
    // Erases the bar, so that a line starts at the margin; writes the JSON lines gathered.
    void erase();

private:
    using Clock = std::chrono::steady_clock;
    void draw(Clock::time_point now);
    void addLine(Clock::time_point now);
    void flush();

    std::FILE* err_;
    ProgressMode mode_;
    std::uint64_t totalBytes_;
    std::uint64_t totalEntries_;
    std::uint64_t done_ = 0;
    std::uint64_t entriesDone_ = 0;
    std::size_t entry_ = 0;
    Clock::time_point start_;
    Clock::time_point shown_;   // the bar drawn, or a line within an entry
    Clock::time_point written_; // the JSON lines written
    std::size_t width_ = 0;
    std::string lines_;
};

} // namespace qzb::cli
