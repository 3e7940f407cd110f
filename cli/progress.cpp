#include "cli/progress.h"

#include <algorithm>

namespace qzb::cli {
namespace {

constexpr std::size_t BarWidth = 24;
constexpr auto RedrawInterval = std::chrono::milliseconds(100);

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

ProgressBar::ProgressBar(std::FILE* err, bool enabled, std::uint64_t total)
    : err_(err), enabled_(enabled), total_(total), start_(std::chrono::steady_clock::now()),
      drawn_(start_) {
    if (enabled_) {
        draw(start_);
    }
}

void ProgressBar::advance(std::uint64_t bytes) {
    done_ += bytes;
    if (!enabled_) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - drawn_ >= RedrawInterval) {
        draw(now);
    }
}

void ProgressBar::draw(std::chrono::steady_clock::time_point now) {
    drawn_ = now;
    const std::string line =
        progressLine(done_, total_, std::chrono::duration<double>(now - start_).count());
    // Blanks over what a longer line left.
    const std::string padding(width_ > line.size() ? width_ - line.size() : 0, ' ');
    width_ = line.size();
    std::fprintf(err_, "\r%s%s", line.c_str(), padding.c_str());
    std::fflush(err_);
}

void ProgressBar::erase() {
    if (!enabled_ || width_ == 0) {
        return;
    }
    std::fprintf(err_, "\r%s\r", std::string(width_, ' ').c_str());
    std::fflush(err_);
    width_ = 0;
}

} // namespace qzb::cli
