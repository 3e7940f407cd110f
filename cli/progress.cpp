#include "cli/progress.h"

#include <algorithm>

#include "cli/json_line.h"

namespace qzb::cli {
namespace {

constexpr std::size_t BarWidth = 24;
constexpr auto RedrawInterval = std::chrono::milliseconds(100);
// JSON lines gathered before they are written, whatever the time.
constexpr std::size_t MaxGathered = 64 * 1024;

std::string bytesText(double bytes) {
    static constexpr const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    std::size_t unit = 0;
    while (bytes >= 1024 && unit + 1 < std::size(units)) {
        bytes /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

} // namespace

std::string progressLine(std::uint64_t done, std::uint64_t total, double seconds) {
    const double fraction =
        total == 0 ? 1.0 : std::min(1.0, static_cast<double>(done) / static_cast<double>(total));
    const auto filled = static_cast<std::size_t>(fraction * BarWidth);
    std::string line = "[";
    line.append(filled, '#');
    line.append(BarWidth - filled, '.');
    char text[64];
    std::snprintf(text, sizeof text, "] %3d%%  ", static_cast<int>(fraction * 100));
    line += text;
    line += bytesText(static_cast<double>(done));
    line += " / ";
    line += bytesText(static_cast<double>(total));
    if (seconds > 0.05 && done > 0) {
        const double rate = static_cast<double>(done) / seconds;
        const double rest = static_cast<double>(total - std::min(done, total));
        const auto left = static_cast<long long>(rest / rate + 0.5);
        line += "  ";
        line += bytesText(rate);
        std::snprintf(text, sizeof text, "/s  %lld:%02lld left", left / 60, left % 60);
        line += text;
    }
    return line;
}

void appendProgressJson(std::string& out, const ProgressState& state) {
    out += "{\"entry\":";
    appendDecimal(out, state.entry);
    out += ",\"bytes_done\":";
    appendDecimal(out, state.bytesDone);
    out += ",\"bytes_total\":";
    appendDecimal(out, state.bytesTotal);
    out += ",\"entries_done\":";
    appendDecimal(out, state.entriesDone);
    out += ",\"entries_total\":";
    appendDecimal(out, state.entriesTotal);
    out += ",\"elapsed\":";
    appendDecimal(out, state.milliseconds / 1000);
    const auto thousandths = static_cast<unsigned>(state.milliseconds % 1000);
    out += '.';
    out += static_cast<char>('0' + thousandths / 100);
    out += static_cast<char>('0' + thousandths / 10 % 10);
    out += static_cast<char>('0' + thousandths % 10);
    out += "}\n";
}

Progress::Progress(std::FILE* err, ProgressMode mode, bool errIsTerminal, std::uint64_t totalBytes,
                   std::uint64_t totalEntries)
    : err_(err), mode_(mode == ProgressMode::Auto
                           ? (errIsTerminal ? ProgressMode::Always : ProgressMode::Never)
                           : mode),
      totalBytes_(totalBytes), totalEntries_(totalEntries), start_(Clock::now()), shown_(start_),
      written_(start_) {
    if (mode_ == ProgressMode::Always) {
        draw(start_);
    }
}

void Progress::advance(std::uint64_t bytes) {
    done_ += bytes;
    if (mode_ == ProgressMode::Never) {
        return;
    }
    const auto now = Clock::now();
    if (now - shown_ < RedrawInterval) {
        return;
    }
    if (mode_ == ProgressMode::Json) {
        addLine(now);
    } else {
        draw(now);
    }
}

void Progress::entryDone() {
    ++entriesDone_;
    if (mode_ == ProgressMode::Json) {
        addLine(Clock::now());
    }
}

void Progress::addLine(Clock::time_point now) {
    shown_ = now;
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - start_);
    appendProgressJson(lines_, {entry_, done_, totalBytes_, entriesDone_, totalEntries_,
                                static_cast<std::uint64_t>(elapsed.count())});
    if (now - written_ >= RedrawInterval || lines_.size() >= MaxGathered) {
        written_ = now;
        flush();
    }
}

void Progress::flush() {
    std::fwrite(lines_.data(), 1, lines_.size(), err_);
    std::fflush(err_);
    lines_.clear();
}

void Progress::draw(Clock::time_point now) {
    shown_ = now;
    const std::string line =
        progressLine(done_, totalBytes_, std::chrono::duration<double>(now - start_).count());
    // Blanks over what a longer line left.
    const std::string padding(width_ > line.size() ? width_ - line.size() : 0, ' ');
    width_ = line.size();
    std::fprintf(err_, "\r%s%s", line.c_str(), padding.c_str());
    std::fflush(err_);
}

void Progress::erase() {
    if (!lines_.empty()) {
        flush();
    }
    if (width_ == 0) {
        return;
    }
    std::fprintf(err_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(err_);
    width_ = 0;
}

} // namespace qzb::cli
