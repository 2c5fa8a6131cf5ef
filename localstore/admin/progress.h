#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace tesra::admin {

// How far a long command has come, on standard error: count done, rate and
// time left, at most four times a second. Standard output is left alone for
// the scripts that read it.
class Progress {
public:
    // Shown when standard error is a terminal, or always when forced (--progress).
    // what: the command; unit: what is counted, e.g. "records"; limit: when
    // the work ends at a set time, the time left never exceeds it.
    Progress(std::string what, std::string unit, uint64_t total, bool forced,
             std::optional<std::chrono::seconds> limit = std::nullopt);

    void update(uint64_t done);
    // Shows the last count and ends the line.
    void finish(uint64_t done);

private:
    void show(uint64_t done, bool last);

    std::string what_;
    std::string unit_;
    uint64_t total_;
    std::optional<std::chrono::seconds> limit_;
    bool shown_;
    bool terminal_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastShown_;
};

}  // namespace tesra::admin
