#include "admin/progress.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace tesra::admin {
namespace {

constexpr auto kInterval = std::chrono::milliseconds(250);

}  // namespace

Progress::Progress(std::string what, std::string unit, uint64_t total, bool forced,
                   std::optional<std::chrono::seconds> limit)
    : what_(std::move(what)),
      unit_(std::move(unit)),
      total_(total),
      limit_(limit),
      terminal_(::isatty(STDERR_FILENO) == 1),
      start_(std::chrono::steady_clock::now()),
      lastShown_(start_) {
    shown_ = forced || terminal_;
}

void Progress::update(uint64_t done) {
    if (!shown_) return;
    const auto now = std::chrono::steady_clock::now();
    if (now - lastShown_ < kInterval) return;
    lastShown_ = now;
    show(done, false);
}

void Progress::finish(uint64_t done) {
    if (shown_) show(done, true);
}

void Progress::show(uint64_t done, bool last) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    char timing[64];
    if (last) {
        std::snprintf(timing, sizeof timing, "took %.1f s", seconds);
    } else if (rate > 0 && done <= total_) {
        double left = (total_ - done) / rate;
        if (limit_) left = std::min(left, limit_->count() - seconds);
        std::snprintf(timing, sizeof timing, "%.0f s left", left);
    } else {
        std::snprintf(timing, sizeof timing, "time left unknown");
    }
    const unsigned percent = total_ > 0 ? static_cast<unsigned>(done * 100 / total_) : 100;
    // On a terminal the line is rewritten in place; elsewhere each update is a line of its own.
    std::fprintf(stderr, "%s%s: %llu of %llu %s (%u%%), %.0f per second, %s%s", terminal_ ? "\r" : "", what_.c_str(),
                 static_cast<unsigned long long>(done), static_cast<unsigned long long>(total_), unit_.c_str(),
                 percent, rate, timing, !terminal_ ? "\n" : last ? "\033[K\n" : "\033[K");
    std::fflush(stderr);
}

}  // namespace tesra::admin
