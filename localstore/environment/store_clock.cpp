#include "environment/store_clock.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>

namespace tesra {
namespace {

std::atomic<ClockSource> g_clockSource{nullptr};

constexpr int64_t kUnixEpochDay = 719163;

StampValue systemNow() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const int64_t milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    return kUnixEpochDay * kHundredthsPerDay + milliseconds / 10;
}

int64_t offsetFromEnvironment() {
    const char *text = std::getenv("TESRA_CLOCK_OFFSET");
    if (text == nullptr || *text == '\0') return 0;
    char *end = nullptr;
    const long long offset = std::strtoll(text, &end, 10);
    return *end == '\0' ? offset : 0;
}

}  // namespace

StampValue clockNow() {
    const ClockSource source = g_clockSource.load();
    const StampValue base = source != nullptr ? source() : systemNow();
    const int64_t offset = std::clamp<int64_t>(offsetFromEnvironment(), -kLatestStamp, kLatestStamp);
    return std::clamp<StampValue>(base + offset, kEarliestStamp, kLatestStamp);
}

void setClockSource(ClockSource source) { g_clockSource.store(source); }

}  // namespace tesra
