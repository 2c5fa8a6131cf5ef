#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "database/database.h"
#include "identity/id_file.h"
#include "store_client.h"
#include "time/calendar.h"

namespace tesra::testing {

// A fresh directory under /tmp, removed with its contents.
class TemporaryDirectory {
public:
    TemporaryDirectory();
    ~TemporaryDirectory();
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// The status a store action failed with, or TESRA_OK.
StoreStatus statusOf(const std::function<void()> &action);

// Sets (or with nullopt, unsets) an environment variable for a scope.
class ScopedEnvironment {
public:
    ScopedEnvironment(const char *name, const std::optional<std::string> &value);
    ~ScopedEnvironment();

private:
    std::string name_;
    std::optional<std::string> previous_;
};

void writeFile(const std::string &path, const std::string &content);
std::string readFile(const std::string &path);

constexpr const char *kUser = "Grace Hopper";
constexpr const char *kPassword = "correct horse";
// The fewest iterations a new ID file may have.
constexpr uint32_t kTestIterations = kMinIdIterations;

// A directory with tesra.ini (Directory=data, KeyFilename=user.id), an ID
// file, the data directory and database main.tdb; TESRA_INI points at the
// ini. The runtime is left down; start() brings it up with the identity.
class StoreFixture : public ::testing::Test {
protected:
    StoreFixture();
    // The store's clock stands at g_now from clockStart on, main.tdb is made by it.
    explicit StoreFixture(std::optional<StampValue> clockStart);
    ~StoreFixture() override;

    void writeIni(const std::string &extraLines = "");
    // storeInit and storeSwitchIdentity, expecting success.
    void start();
    StoreHandle openMain();

    TemporaryDirectory directory_;
    std::string iniPath_;
    std::string idPath_;
    std::string dataDirectory_;
    std::string databasePath_;

private:
    ScopedEnvironment ini_;
    ScopedEnvironment noFaults_;
    ScopedEnvironment noClockOffset_;
};

struct ReportedMatch {
    ChangeMatch match;
    std::string title;
};

// Runs storeSearch collecting every match.
struct SearchResult {
    StoreStatus status;
    StoreTimestamp until;
    std::vector<ReportedMatch> matches;
};
SearchResult searchAll(StoreHandle database, const StoreTimestamp &since, uint16_t classMask = 0xFFFF);

StoreTimestamp beginning();

// The store's clock while a FixedClockFixture runs; tests move it by hand.
extern StampValue g_now;

// A store whose clock stands at g_now, which starts at the given time.
class FixedClockFixture : public StoreFixture {
protected:
    explicit FixedClockFixture(StampValue start);
    ~FixedClockFixture() override;
};

// A fixed-clock store, started, with main.tdb open as handle_ and open for
// writing through the library's own Database as writer_.
class OpenDatabaseFixture : public FixedClockFixture {
protected:
    explicit OpenDatabaseFixture(StampValue start) : FixedClockFixture(start) {}
    void SetUp() override;

    StoreHandle handle_ = 0;
    std::unique_ptr<Database> writer_;
};

}  // namespace tesra::testing
