// churn: a steady stream of adds, changes and deletes, for testing pollers.
#include <cerrno>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <iostream>
#include <random>
#include <thread>

#include "admin/command.h"
#include "admin/progress.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {
namespace {

// Appends one line per committed write, flushed at once so a reader that
// sees a line knows the write is committed.
class WriteLog {
public:
    explicit WriteLog(const std::optional<std::string> &path) {
        if (!path) return;
        file_ = std::fopen(path->c_str(), "a");
        if (file_ == nullptr) {
            throw StoreError(TESRA_ERR_FILE_IO, "cannot open log '" + *path + "': " + std::strerror(errno));
        }
        path_ = *path;
    }
    ~WriteLog() {
        if (file_ != nullptr) std::fclose(file_);
    }
    WriteLog(const WriteLog &) = delete;
    WriteLog &operator=(const WriteLog &) = delete;

    void append(const std::string &line) {
        if (file_ == nullptr) return;
        if (std::fprintf(file_, "%s\n", line.c_str()) < 0 || std::fflush(file_) != 0) {
            throw StoreError(TESRA_ERR_FILE_IO, "cannot write the log '" + path_ + "': " + std::strerror(errno));
        }
    }

private:
    std::FILE *file_ = nullptr;
    std::string path_;
};

enum class Operation { Add, Change, Delete };

// Grows the database while it is small, then adds, changes and deletes about
// equally often.
Operation chooseOperation(std::mt19937_64 &random, bool hasPresentRecord) {
    if (!hasPresentRecord) return Operation::Add;
    switch (std::uniform_int_distribution<int>(0, 9)(random)) {
        case 0: case 1: case 2: case 3: return Operation::Add;
        case 4: case 5: case 6: return Operation::Change;
        default: return Operation::Delete;
    }
}

int runChurn(const Arguments &arguments) {
    const uint64_t rate = parseNumber(arguments.required("rate"), "--rate", 1, 100000);
    const uint64_t seconds = parseNumber(arguments.required("seconds"), "--seconds", 1, 86400);
    std::mt19937_64 random(arguments.number("seed", 0, UINT64_MAX).value_or(std::random_device{}()));
    auto database = openNamedDatabase(arguments);
    WriteLog log(arguments.option("log"));

    const uint64_t planned = rate * seconds;
    Progress progress("churn", "writes", planned, arguments.has("progress"), std::chrono::seconds(seconds));
    const auto start = std::chrono::steady_clock::now();
    const auto deadline = start + std::chrono::seconds(seconds);
    uint64_t counts[3] = {0, 0, 0};
    uint64_t skipped = 0;
    uint64_t attempted = 0;
    // Each write has its due time; when the writes fall behind, the deadline still ends the run.
    for (; attempted < planned; ++attempted) {
        std::this_thread::sleep_until(start + std::chrono::microseconds(attempted * 1000000 / rate));
        if (std::chrono::steady_clock::now() >= deadline) break;
        progress.update(attempted);
        const std::optional<uint32_t> target = database->pickPresentRecord(random);
        const Operation operation = chooseOperation(random, target.has_value());
        try {
            switch (operation) {
                case Operation::Add:
                    log.append(writeLine("add", database->addRecord(kClassDocument, "Churned")));
                    break;
                case Operation::Change: log.append(writeLine("change", database->changeRecord(*target))); break;
                case Operation::Delete: log.append(writeLine("delete", database->deleteRecord(*target))); break;
            }
        } catch (const StoreError &error) {
            // Another writer deleted the picked record in the meantime.
            if (error.status() != TESRA_ERR_RECORD_DELETED) throw;
            ++skipped;
            continue;
        }
        ++counts[static_cast<int>(operation)];
    }
    progress.finish(attempted);
    const uint64_t reached = attempted / seconds;
    std::cout << "churn: " << counts[0] << " added, " << counts[1] << " changed, " << counts[2] << " deleted, "
              << skipped << " skipped; " << reached << " writes per second over " << seconds << " s\n";
    if (attempted < planned) {
        std::cout.flush();
        std::cerr << "tesra-admin: churn: warning: reached " << reached << " writes per second of the " << rate
                  << " asked for; the database could not keep up\n";
    }
    return 0;
}

}  // namespace

Command churnCommand() {
    return {"churn",
            {"DB --rate R --seconds S [--seed N] [--log FILE] [--ini PATH]"},
            "Adds, changes and deletes records of database DB at a steady rate, for testing pollers.",
            "one database name DB",
            1,
            1,
            {{"rate", "R", "writes per second, 1 to 100000 (required)"},
             {"seconds", "S", "how long to run, 1 to 86400 (required)"},
             {"seed", "N", "seed of the random choices, to repeat a run (decimal)"},
             {"log", "FILE", "append a line per write to FILE, flushed once the write is committed"},
             kIniOption,
             kProgressOption},
            std::string("The run ends after S seconds even when the writes cannot keep up. The last line\n"
                        "counts the writes and gives the rate reached; a warning on standard error tells\n"
                        "when it fell short of R.\n") +
                kDatabaseHelp,
            runChurn};
}

}  // namespace tesra::admin
