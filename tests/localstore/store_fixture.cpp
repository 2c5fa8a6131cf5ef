#include "store_fixture.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "database/change_match_layout.h"
#include "database/database.h"
#include "environment/store_clock.h"
#include "identity/id_file.h"
#include "runtime/runtime.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::testing {

TemporaryDirectory::TemporaryDirectory() {
    std::string pattern = (std::filesystem::temp_directory_path() / "localstore-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

ScopedEnvironment::ScopedEnvironment(const char *name, const std::optional<std::string> &value) : name_(name) {
    if (const char *old = std::getenv(name)) previous_ = old;
    if (value) {
        ::setenv(name, value->c_str(), 1);
    } else {
        ::unsetenv(name);
    }
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_) {
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    } else {
        ::unsetenv(name_.c_str());
    }
}

void writeFile(const std::string &path, const std::string &content) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
    if (!file) throw std::runtime_error("cannot write " + path);
}

std::string readFile(const std::string &path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

StampValue g_now = 0;

static StampValue fixedClock() { return g_now; }

StoreFixture::StoreFixture() : StoreFixture(std::nullopt) {}

StoreFixture::StoreFixture(std::optional<StampValue> clockStart)
    : iniPath_(directory_ / "tesra.ini"),
      idPath_(directory_ / "user.id"),
      dataDirectory_(directory_ / "data"),
      databasePath_(directory_ / "data/main.tdb"),
      ini_("TESRA_INI", iniPath_),
      noFaults_("TESRA_FAULTS", std::nullopt),
      noClockOffset_("TESRA_CLOCK_OFFSET", std::nullopt) {
    if (clockStart) {
        g_now = *clockStart;
        setClockSource(fixedClock);
    }
    std::filesystem::create_directory(dataDirectory_);
    createIdFile(idPath_, kUser, kPassword, kTestIterations);
    Database::create(databasePath_, {kUser});
    writeIni();
}

// Down whatever number of storeInit calls the test made, for the next test.
StoreFixture::~StoreFixture() {
    while (runtime().isUp()) storeTerm();
}

void StoreFixture::writeIni(const std::string &extraLines) {
    writeFile(iniPath_, "KeyFilename=" + idPath_ + "\nDirectory=data\n" + extraLines);
}

void StoreFixture::start() {
    ASSERT_EQ(storeInit(0, nullptr), 0);
    ASSERT_EQ(storeSwitchIdentity(idPath_.c_str(), kPassword, nullptr, 0, 0, nullptr), 0);
}

StoreHandle StoreFixture::openMain() {
    StoreHandle handle = 0;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), 0);
    return handle;
}

namespace {

StoreStatus collect(void *context, const ChangeMatch *match, void *summary) {
    auto *matches = static_cast<std::vector<ReportedMatch> *>(context);
    matches->push_back({*match, static_cast<SearchSummary *>(summary)->title});
    return 0;
}

}  // namespace

SearchResult searchAll(StoreHandle database, const StoreTimestamp &since, uint16_t classMask) {
    SearchResult result{};
    result.status = storeSearch(database, 0, nullptr, 0, classMask, &since, collect, &result.matches, &result.until);
    return result;
}

StoreTimestamp beginning() { return StoreTimestamp{{0, 0}}; }

FixedClockFixture::FixedClockFixture(StampValue start) : StoreFixture(start) {}

FixedClockFixture::~FixedClockFixture() { setClockSource(nullptr); }

void OpenDatabaseFixture::SetUp() {
    start();
    handle_ = openMain();
    writer_ = Database::open(databasePath_);
}

StoreStatus statusOf(const std::function<void()> &action) {
    try {
        action();
        return TESRA_OK;
    } catch (const StoreError &error) {
        return error.status();
    }
}

}  // namespace tesra::testing
