#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>

#include "database/sqlite_handle.h"
#include "status/status_codes.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

class ConfigTest : public StoreFixture {};

std::string readConfig(const char *name, uint16_t size = 256, int *found = nullptr) {
    std::string buffer(size + 8, '#');
    const int result = storeReadConfig(name, buffer.data(), size);
    if (found != nullptr) *found = result;
    return result ? std::string(buffer.c_str()) : std::string("<unset>");
}

TEST_F(ConfigTest, ReadsNamesCaseInsensitivelyTrimmingSpacesAndSkippingComments) {
    writeIni(
        "  Colour  =  dark blue  \n"
        "# Hidden=1\n"
        "; Also.Hidden=2\n"
        "\n"
        "Empty=\n"
        "no equals sign here\n"
        "Repeated=first\r\n"
        "Repeated=second\r\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(readConfig("colour"), "dark blue");
    EXPECT_EQ(readConfig("COLOUR"), "dark blue");
    EXPECT_EQ(readConfig("Hidden"), "<unset>");
    EXPECT_EQ(readConfig("Also.Hidden"), "<unset>");
    EXPECT_EQ(readConfig("Repeated"), "second");
    EXPECT_EQ(readConfig("Directory"), "data");

    int found = 0;
    EXPECT_EQ(readConfig("Empty", 16, &found), "");
    EXPECT_NE(found, 0) << "a set but empty value counts as set";
    EXPECT_EQ(readConfig("Missing", 16, &found), "<unset>");
    EXPECT_EQ(found, 0);
}

// A value cut to its buffer would be another value (for KeyFilename, another
// file): a value that does not fit with its terminator reads as not set.
TEST_F(ConfigTest, ValuesThatDoNotFitTheBufferReadAsNotSet) {
    const std::string keyFile = "/" + std::string(254, 'k');
    writeIni("Long=abcdefghij\nKeyFilename=" + keyFile + "\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);

    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(storeReadConfig("Long", buffer, 10), 0);
    EXPECT_EQ(buffer[0], '\0');
    EXPECT_EQ(buffer[1], '#') << "wrote past the terminator";
    EXPECT_NE(storeReadConfig("Long", buffer, 11), 0);
    EXPECT_STREQ(buffer, "abcdefghij");

    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(storeReadConfig("Long", buffer, 0), 0);
    EXPECT_EQ(buffer[0], '#') << "valueSize 0 must write nothing";

    int found = 0;
    EXPECT_EQ(readConfig("KeyFilename", STORE_PATH_SIZE, &found), keyFile);
    writeIni("KeyFilename=" + keyFile + "x\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(readConfig("KeyFilename", STORE_PATH_SIZE, &found), "<unset>");
    EXPECT_EQ(found, 0);
}

TEST_F(ConfigTest, NothingIsSetWhileTheRuntimeIsDown) {
    int found = 1;
    readConfig("Directory", 16, &found);
    EXPECT_EQ(found, 0);
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    storeTerm();
    readConfig("Directory", 16, &found);
    EXPECT_EQ(found, 0);
    storeTerm();  // harmless while down
}

TEST_F(ConfigTest, FallsBackToTheIniInTheCurrentDirectory) {
    ScopedEnvironment noIni("TESRA_INI", std::nullopt);
    const auto previous = std::filesystem::current_path();
    TemporaryDirectory elsewhere;
    writeFile(elsewhere / "tesra.ini", "Where=current directory\n");
    std::filesystem::current_path(elsewhere.path());
    const StoreStatus status = storeInit(0, nullptr);
    const std::string where = readConfig("Where");
    std::filesystem::current_path(previous);
    EXPECT_EQ(status, TESRA_OK);
    EXPECT_EQ(where, "current directory");
}

TEST_F(ConfigTest, FailsWhenTheIniCannotBeRead) {
    {
        ScopedEnvironment missing("TESRA_INI", directory_ / "nowhere.ini");
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    }
    {
        ScopedEnvironment aDirectory("TESRA_INI", directory_.path());
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE);
    }
    StoreHandle handle = 7;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_ERR_NOT_STARTED);
    EXPECT_EQ(handle, 0u);
}

// A FIFO in place of tesra.ini or the ID file used to block initTesra for good.
TEST_F(ConfigTest, RefusesNonRegularAndOversizedFilesWithoutBlocking) {
    const std::string fifo = directory_ / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    auto returnsInTime = [&](auto call) {
        auto result = std::async(std::launch::async, call);
        if (result.wait_for(std::chrono::seconds(5)) == std::future_status::ready) return result.get();
        ADD_FAILURE() << "blocked on the FIFO";
        ::close(::open(fifo.c_str(), O_WRONLY | O_NONBLOCK));  // lets the blocked reader go
        return result.get();
    };
    {
        ScopedEnvironment iniIsAFifo("TESRA_INI", fifo);
        EXPECT_EQ(returnsInTime([] { return storeInit(0, nullptr); }), TESRA_ERR_INI_UNREADABLE);
    }
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(returnsInTime([&] { return storeSwitchIdentity(fifo.c_str(), kPassword, nullptr, 0, 0, nullptr); }),
              TESRA_ERR_ID_FILE_DAMAGED);

    writeIni("Padding=" + std::string(1024 * 1024, 'p') + "\n");
    EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_INI_UNREADABLE) << "over 1 MiB";
    writeIni("Padding=" + std::string(1000 * 1024, 'p') + "\n");
    EXPECT_EQ(storeInit(0, nullptr), TESRA_OK);
}

// Two users of the library in one process (two class loaders, each with its
// bridge): each storeInit counts one, and the storeTerm of the first leaves
// the second's databases open; the last shuts down.
TEST_F(ConfigTest, InitsNestAndOnlyTheLastTermShutsDown) {
    start();
    const StoreHandle first = openMain();
    writeIni("Added=later\n");
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    EXPECT_EQ(readConfig("Added"), "later") << "a second storeInit re-reads the configuration";
    writeIni("LockTimeout=soon\n");
    EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_BAD_SETTING);
    EXPECT_EQ(readConfig("Added"), "later") << "a failed storeInit keeps the configuration, and counts no user";
    StoreHandle second = 0;
    ASSERT_EQ(storeOpenDatabase("main.tdb", &second), TESRA_OK);
    EXPECT_EQ(storeCloseDatabase(first), TESRA_OK);
    storeTerm();  // the first user is done
    EXPECT_EQ(searchAll(second, beginning()).status, TESRA_OK) << "the second user's database is still open";
    EXPECT_EQ(readConfig("Added"), "later");

    storeTerm();  // the last user: down, and what it left open is closed
    EXPECT_EQ(searchAll(second, beginning()).status, TESRA_ERR_NOT_STARTED);
    EXPECT_EQ(readConfig("Added"), "<unset>");
    storeTerm();  // harmless while down, and no debt for the next storeInit
    writeIni();
    start();
    EXPECT_EQ(searchAll(second, beginning()).status, TESRA_ERR_BAD_HANDLE) << "closed by the last storeTerm";
    StoreHandle again = 0;
    ASSERT_EQ(storeOpenDatabase("main.tdb", &again), TESRA_OK);
    storeTerm();
    EXPECT_EQ(storeCloseDatabase(again), TESRA_ERR_NOT_STARTED) << "one storeTerm for one storeInit";
}

// LockTimeout sets how long a call waits for another connection's write
// lock: with 0 a poll fails at once instead of after the default 10 s.
TEST_F(ConfigTest, LockTimeoutSetsTheWaitForAnotherWritersLock) {
    for (const char *bad : {"LockTimeout=soon\n", "LockTimeout=-1\n", "LockTimeout=3600001\n"}) {
        writeIni(bad);
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_BAD_SETTING) << bad;
    }
    // the ends of the range are settings too
    EXPECT_EQ(IniConfig::parse("LockTimeout=3600000\n", directory_.path()).lockTimeout(), 3600000);
    writeIni("LockTimeout=3600000\n");
    EXPECT_EQ(storeInit(0, nullptr), TESRA_OK);
    writeIni("LockTimeout=0\n");
    start();
    StoreHandle handle = openMain();
    SqliteConnection other(databasePath_, SQLITE_OPEN_READWRITE);
    WriteTransaction held(other);
    auto poll = std::async(std::launch::async, [&] { return searchAll(handle, beginning()).status; });
    ASSERT_EQ(poll.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "waited 5 s for a poll that should not wait for the lock at all";
    EXPECT_EQ(poll.get(), TESRA_ERR_DATABASE_LOCKED);
}

}  // namespace
}  // namespace tesra::testing
