// Prints how long a full search over many records takes, how much the
// process's peak memory grows during it (it should not grow with the count),
// and the longest time a writer in another connection waits for its write
// while full searches run.
// usage: tesra_search_bench [RECORDS]   (default 1000000)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "database/database.h"

namespace {

using Clock = std::chrono::steady_clock;

long peakKilobytes() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

StoreStatus countMatch(void *context, const ChangeMatch *, void *) {
    ++*static_cast<uint64_t *>(context);
    return 0;
}

double millisecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct WriterWait {
    double longestMilliseconds = 0;
    uint64_t writes = 0;
};

// Full searches in this connection while a writer in its own connection adds
// a record every millisecond, timing each of its writes.
WriterWait writerWaitDuringSearches(tesra::Database &database, const std::string &path, int searches) {
    using namespace tesra;
    std::atomic<bool> searching{true};
    WriterWait wait;
    std::thread writer([&] {
        auto connection = Database::open(path);
        while (searching) {
            const auto start = Clock::now();
            connection->addRecord(kClassDocument, "Concurrent write");
            wait.longestMilliseconds = std::max(wait.longestMilliseconds, millisecondsSince(start));
            ++wait.writes;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    for (int i = 0; i < searches; ++i) {
        uint64_t matches = 0;
        SearchRequest request{kClassDocument, kEarliestStamp, true, countMatch, &matches, std::nullopt};
        StampValue until = 0;
        database.search(request, until);
    }
    searching = false;
    writer.join();
    return wait;
}

}  // namespace

int main(int argc, char **argv) {
    using namespace tesra;
    const size_t records = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    const auto directory = std::filesystem::temp_directory_path() / ("tesra-bench-" + std::to_string(::getpid()));
    std::filesystem::create_directories(directory);
    const std::string path = (directory / "bench.tdb").string();

    Database::create(path, {});
    auto database = Database::open(path);
    const auto fillStart = Clock::now();
    for (size_t done = 0; done < records; done += 100000) {
        database->addRecords(std::min<size_t>(100000, records - done), kClassDocument, "Benchmark record");
    }
    const double fillSeconds = std::chrono::duration<double>(Clock::now() - fillStart).count();

    const long peakBefore = peakKilobytes();
    uint64_t matches = 0;
    SearchRequest request{kClassDocument, kEarliestStamp, true, countMatch, &matches, std::nullopt};
    StampValue until = 0;
    const auto searchStart = Clock::now();
    const StoreStatus status = database->search(request, until);
    const double searchSeconds = std::chrono::duration<double>(Clock::now() - searchStart).count();
    const long peakAfter = peakKilobytes();

    std::printf("records added:        %zu in %.2f s (%.0f per second)\n", records, fillSeconds, records / fillSeconds);
    std::printf("search status:        0x%04X, %llu matches\n", status, static_cast<unsigned long long>(matches));
    std::printf("search time:          %.2f s (%.0f matches per second)\n", searchSeconds, matches / searchSeconds);
    std::printf("peak memory:          %ld KiB before the search, %ld KiB after (+%ld KiB)\n", peakBefore, peakAfter,
                peakAfter - peakBefore);
    std::fflush(stdout);

    const WriterWait wait = writerWaitDuringSearches(*database, path, 3);
    std::printf("longest writer wait during full polls: %.0f ms (%llu writes during 3 polls)\n",
                wait.longestMilliseconds, static_cast<unsigned long long>(wait.writes));
    database.reset();
    std::filesystem::remove_all(directory);
    return status == 0 && matches == records ? 0 : 1;
}
