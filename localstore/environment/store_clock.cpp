#include "environment/store_clock.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>

#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

std::atomic<ClockSource> g_clockSource{nullptr};

constexpr int64_t kUnixEpochDay = 719163;

StampValue systemNow() {
    const auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    const int64_t milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(sinceEpoch).count();
    return kUnixEpochDay * kHundredthsPerDay + milliseconds / 10;
}

}  // namespace

int64_t clockOffset() {
    const char *text = std::getenv("TESRA_CLOCK_OFFSET");
    if (text == nullptr || *text == '\0') return 0;
    char *end = nullptr;
    errno = 0;
    const long long offset = std::strtoll(text, &end, 10);
    if (*end != '\0' || errno == ERANGE || std::isspace(static_cast<unsigned char>(*text))) {
        throw StoreError(TESRA_ERR_BAD_CLOCK_OFFSET, std::string("TESRA_CLOCK_OFFSET '") + text +
                                                         "' is not a whole number of hundredths of a second");
    }
    return offset;
}

StampValue clockNow() {
    const ClockSource source = g_clockSource.load();
    const StampValue base = source != nullptr ? source() : systemNow();
    const int64_t offset = std::clamp<int64_t>(clockOffset(), -kLatestStamp, kLatestStamp);
    return std::clamp<StampValue>(base + offset, kEarliestStamp, kLatestStamp);
}

StampValue clockNowBeforeEnd() {
    const StampValue now = clockNow();
    if (now >= kLatestStamp) {
        throw StoreError(TESRA_ERR_CLOCK_AT_END,
                         "this machine's clock (with TESRA_CLOCK_OFFSET " + std::to_string(clockOffset()) +
                             ") is at or past 9999-12-31 23:59:59.99; nothing was recorded");
    }
    return now;
}

void setClockSource(ClockSource source) { g_clockSource.store(source); }

}  // namespace tesra
