#include "database/database.h"
#include "status/status_codes.h"
#include "store_fixture.h"

namespace tesra::testing {
namespace {

class FaultInjectionTest : public StoreFixture {};

TEST_F(FaultInjectionTest, EnvironmentFaultsFailTheirOperationOnly) {
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeInit=0x0777");
        EXPECT_EQ(storeInit(0, nullptr), 0x0777);
    }
    ASSERT_EQ(storeInit(0, nullptr), TESRA_OK);
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeSwitchIdentity=291, storeOpenDatabase=0x0103");
        EXPECT_EQ(storeSwitchIdentity(idPath_.c_str(), kPassword, nullptr, 0, 0, nullptr), 291);
        StoreHandle handle = 5;
        EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), 0x0103);
        EXPECT_EQ(handle, 0u);
    }
    ASSERT_EQ(storeSwitchIdentity(idPath_.c_str(), kPassword, nullptr, 0, 0, nullptr), TESRA_OK);
    EXPECT_NE(openMain(), 0u) << "the fault is read at each call, so it is gone";
}

TEST_F(FaultInjectionTest, TextToStampFaultLeavesThePointerWhereItWas) {
    ScopedEnvironment faults("TESRA_FAULTS", "storeTextToStamp=0x0131");
    const char *text = "2024-01-01 10:00:00";
    const char *pointer = text;
    StoreTimestamp stamp{{1, 2}};
    EXPECT_EQ(storeTextToStamp(nullptr, nullptr, &pointer, 80, &stamp), 0x0131);
    EXPECT_EQ(pointer, text);
    EXPECT_EQ(stamp.word[0], 1u);
}

TEST_F(FaultInjectionTest, IniFaultLinesAreIgnored) {
    writeIni("Fault.storeOpenDatabase = 0x0200\nFault.storeSearch=0x0201\n");
    start();
    const StoreHandle handle = openMain();
    EXPECT_NE(handle, 0u);
    EXPECT_EQ(searchAll(handle, beginning()).status, TESRA_OK);
}

TEST_F(FaultInjectionTest, MalformedTestSettingsFailWithTheirOwnStatus) {
    for (const char *setting : {"storeOpenDatabase=banana", "storeOpenDatabase=0", "storeOpenDatabasex=5",
                                "storeOpenDatabase", "storeInit=0x0777@2", "storeSearch=0x0141@", "storeSearch=0x10000"}) {
        ScopedEnvironment faults("TESRA_FAULTS", setting);
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_BAD_FAULT_SETTING) << setting;
    }
    for (const char *offset : {"1h", " 12", "99999999999999999999"}) {
        ScopedEnvironment clock("TESRA_CLOCK_OFFSET", offset);
        EXPECT_EQ(storeInit(0, nullptr), TESRA_ERR_BAD_CLOCK_OFFSET) << offset;
    }
    start();
    ScopedEnvironment faults("TESRA_FAULTS", "storeSearch=0x0141,storeOpenDatabase=x");
    StoreHandle handle = 0;
    EXPECT_EQ(storeOpenDatabase("main.tdb", &handle), TESRA_ERR_BAD_FAULT_SETTING) << "a setting changed while up";
}

TEST_F(FaultInjectionTest, ActiveFaultsAreAnnouncedOnceOnStandardError) {
    ScopedEnvironment faults("TESRA_FAULTS", " storeSearch = 321@2 ,storeInit=0x0777");
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(storeInit(0, nullptr), 0x0777);
    EXPECT_EQ(storeInit(0, nullptr), 0x0777);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tesra: fault injection active: storeInit=0x0777, storeSearch=0x0141@2\n");
}

TEST_F(FaultInjectionTest, SearchFaultAfterMatchesReportsThoseFirst) {
    start();
    auto database = Database::open(databasePath_);
    database->addRecords(5, kClassDocument, "x");
    const StoreHandle handle = openMain();
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeSearch=0x0250@3");
        const SearchResult result = searchAll(handle, beginning());
        EXPECT_EQ(result.status, 0x0250);
        EXPECT_EQ(result.matches.size(), 3u);
    }
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeSearch=0x0250@9");
        const SearchResult result = searchAll(handle, beginning());
        EXPECT_EQ(result.status, 0x0250) << "fails after all matches when there are fewer";
        EXPECT_EQ(result.matches.size(), 5u);
    }
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeSearch=0x0251");
        const SearchResult result = searchAll(handle, beginning());
        EXPECT_EQ(result.status, 0x0251);
        EXPECT_TRUE(result.matches.empty());
    }
    EXPECT_EQ(searchAll(handle, beginning()).matches.size(), 5u);
}

TEST_F(FaultInjectionTest, FailedSearchHandsOutNoUntilTimeAndARetryLosesNothing) {
    start();
    const StoreHandle handle = openMain();
    auto writer = Database::open(databasePath_);
    writer->addRecord(kClassDocument, "before");
    StoreTimestamp since = beginning();
    StoreTimestamp until{{123, 456}};
    {
        ScopedEnvironment faults("TESRA_FAULTS", "storeSearch=0x0250@0");
        EXPECT_EQ(storeSearch(handle, 0, nullptr, 0, 0xFFFF, &since,
                              [](void *, const ChangeMatch *, void *) -> StoreStatus { return 0; }, nullptr, &until),
                  0x0250);
    }
    EXPECT_EQ(until.word[0], 123u);
    // The failed search may have raised the floor for later stamps; a retry
    // from the same since still sees the earlier write and the later one.
    writer->addRecord(kClassDocument, "after");
    const SearchResult retry = searchAll(handle, since);
    ASSERT_EQ(retry.status, TESRA_OK);
    ASSERT_EQ(retry.matches.size(), 2u);
    EXPECT_EQ(retry.matches[1].title, "after");
}

}  // namespace
}  // namespace tesra::testing
