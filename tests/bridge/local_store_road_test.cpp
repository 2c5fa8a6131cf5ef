// The bridge against the local store library, on real databases made with
// tesra-admin: open, query, close, and the failures a user meets.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"
#include "query_support.h"
#include "store_setup.h"

namespace {

const std::string initLine = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra()\n";
const std::string initEndLine = "End of " + initLine;

using LocalStoreRoad = LocalStoreTest;

TEST_F(LocalStoreRoad, OpensQueriesAndClosesARealDatabase)
{
    InitResult opened = runInit(nullptr, "main.tdb", store.password().c_str());
    EXPECT_FALSE(opened.exception.thrown) << opened.exception.message;
    EXPECT_EQ(opened.trace, initLine + "remoteDbName: main.tdb\n" + initEndLine);

    QueryResult all = runQuery(nullptr);
    ASSERT_FALSE(all.exception.thrown) << all.exception.message;
    ASSERT_EQ(all.entries, store.listedEntries());
    EXPECT_EQ(all.entries.size(), 3u);
}

TEST_F(LocalStoreRoad, FailuresCarryTheStoreTexts)
{
    InitResult wrongPassword = runInit(nullptr, "main.tdb", "not the password");
    EXPECT_EQ(wrongPassword.exception.className, "java.lang.Exception");
    EXPECT_EQ(wrongPassword.exception.message,
              "Native call KeyringSelectUser failed with error: code 274, '" + statusText(0x0112) + "'");

    InitResult missing = runInit(nullptr, "absent.tdb", store.password().c_str());
    EXPECT_EQ(missing.exception.message,
              "Native call QRVDbOpen failed with error: code 292, '" + statusText(0x0124) + "'");

    store.admin("revoke main.tdb 'Test User'");
    InitResult notOnTheList = runInit(nullptr, "main.tdb", store.password().c_str());
    EXPECT_EQ(notOnTheList.exception.message,
              "Native call QRVDbOpen failed with error: code 276, '" + statusText(0x0114) + "'");

    InitResult unknownServer = runInit("nowhere", "main.tdb", store.password().c_str());
    EXPECT_EQ(unknownServer.trace.rfind(initLine + "remoteDbName: nowhere!!main.tdb\nError: ", 0), 0u);
    EXPECT_NE(unknownServer.exception.message.find("QRVDbOpen"), std::string::npos);

    setenv("TESRA_FAULTS", "storeInit=0xC150", 1);
    InitResult longest = runInit(nullptr, "main.tdb", store.password().c_str());
    EXPECT_EQ(longest.exception.message.size(), 262u);
    EXPECT_EQ(longest.trace, initLine + "Error: " + longest.exception.message + "\n");
}

TEST_F(LocalStoreRoad, UnsetKeyFilenameGivesTheFixedMessage)
{
    store.rewriteIni("Directory=data\n");
    InitResult result = runInit(nullptr, "main.tdb", store.password().c_str());
    EXPECT_EQ(result.exception.message,
              "Could not determine the path to the id file. Verify the KeyFilename item in the tesra.ini file.");
}

TEST_F(LocalStoreRoad, EachPollReportsWhatChangedSinceThePrevious)
{
    open();
    QueryResult first = runQuery(nullptr);
    ASSERT_FALSE(first.exception.thrown);
    QueryResult quiet = runQuery(first.endText.c_str());
    EXPECT_TRUE(quiet.entries.empty());

    store.admin("change main.tdb 3");
    store.admin("delete main.tdb 1");
    store.admin("add main.tdb");
    QueryResult second = runQuery(quiet.endText.c_str(), "previous:");
    ASSERT_FALSE(second.exception.thrown) << second.exception.message;
    ASSERT_EQ(second.entries.size(), 3u);
    std::vector<std::string> listed = store.listedEntries();
    EXPECT_EQ(second.entries[0], listed[2]);
    EXPECT_EQ(second.entries[1], listed[0]);
    EXPECT_EQ(second.entries[1].substr(second.entries[1].size() - 4), ":DEL");
    EXPECT_EQ(second.entries[2], listed[3]);
    EXPECT_EQ(second.endText.rfind("previous:", 0), 0u);
    EXPECT_TRUE(runQuery(second.endText.substr(9).c_str()).entries.empty());
}

TEST_F(LocalStoreRoad, FailedSearchesKeepWhatWasAdded)
{
    QueryResult beforeOpen = runQuery(nullptr, "kept");
    EXPECT_EQ(beforeOpen.exception.message,
              "Native call QRVSearch failed with error: code 257, '" + statusText(0x0101) + "'");
    EXPECT_TRUE(beforeOpen.entries.empty());

    open();
    setenv("TESRA_FAULTS", "storeSearch=0x0141@2", 1);
    QueryResult failing = runQuery(nullptr, "kept");
    std::vector<std::string> listed = store.listedEntries();
    EXPECT_EQ(failing.entries, std::vector<std::string>(listed.begin(), listed.begin() + 2));
    EXPECT_EQ(failing.exception.message,
              "Native call QRVSearch failed with error: code 321, '" + statusText(0x0141) + "'");
    EXPECT_EQ(failing.endText, "kept");

    unsetenv("TESRA_FAULTS");
    QueryResult impossible = runQuery("2024-02-30 10:00:00.000", "kept");
    EXPECT_EQ(impossible.exception.message.rfind("Native call ParseStampText failed with error: code ", 0), 0u);
    EXPECT_TRUE(impossible.entries.empty());
    EXPECT_EQ(impossible.endText, "kept");
}

TEST_F(LocalStoreRoad, HundredThousandRecordsRaiseNoJniWarning)
{
    store.admin("add main.tdb --count 100000");
    open();
    QueryResult all = runQuery(nullptr);
    ASSERT_FALSE(all.exception.thrown) << all.exception.message;
    EXPECT_EQ(all.entries.size(), 100003u);
    EXPECT_EQ(all.trace.find("WARNING"), std::string::npos);
    EXPECT_EQ(all.trace.find("local refs"), std::string::npos);
}

} // namespace
