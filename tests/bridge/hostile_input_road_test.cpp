// The bridge against the local store on names, passwords and since texts no
// caller should send, and on the longest status text: each ends in a clear
// Java exception or a correct result, and every trace line stays whole.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "query_support.h"
#include "store_setup.h"
#include "trace_lines.h"

using namespace std::string_literals;

namespace {

const std::string initLine = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra()\n";

class HostileRoad : public LocalStoreTest {
protected:
    // A failed open leaves the store down and the slot empty: the next open works.
    void expectOpenStillWorks()
    {
        open();
        closeAnyOpenDatabase();
    }
};

void expectWholeLines(const std::string &trace)
{
    EXPECT_EQ(malformedTraceLines(trace), std::vector<std::string>{});
}

void expectOpenFailure(const InitResult &result, const std::string &tracedPath)
{
    EXPECT_EQ(result.exception.className, "java.lang.Exception");
    EXPECT_EQ(result.exception.message.rfind("Native call QRVDbOpen failed with error: code ", 0), 0u)
        << result.exception.message;
    EXPECT_EQ(result.trace, initLine + "remoteDbName: " + tracedPath + "\nError: " + result.exception.message + "\n");
    expectWholeLines(result.trace);
}

// The store leaves the path empty when server!!file would not fit in its 256
// bytes; the bridge then traces and opens the empty path, which fails as too long.
TEST_F(HostileRoad, NamesLongerThanThePathBufferFailToOpen)
{
    struct Case {
        std::string server; // empty: a local database
        std::string database;
        std::string tracedPath;
    } cases[] = {
        {"", std::string(255, 'd'), std::string(255, 'd')},
        {"", std::string(256, 'd'), ""},
        {"", std::string(5000, 'd'), ""},
        {std::string(300, 's'), "main.tdb", ""},
        {std::string(200, 's'), std::string(60, 'd'), ""},
        {std::string(200, 's'), std::string(53, 'd'), std::string(200, 's') + "!!" + std::string(53, 'd')},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::to_string(c.server.size()) + " + " + std::to_string(c.database.size()));
        InitResult result =
            runInit(c.server.empty() ? nullptr : c.server.c_str(), c.database.c_str(), store.password().c_str());
        expectOpenFailure(result, c.tracedPath);
        if (c.tracedPath.empty()) {
            EXPECT_EQ(result.exception.message.rfind("Native call QRVDbOpen failed with error: code 288, ", 0), 0u)
                << result.exception.message;
        }
        expectOpenStillWorks();
    }
}

TEST_F(HostileRoad, ModifiedUtf8InNamesAndPasswords)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    jstring password = javaString(env, store.password().c_str());

    InitResult database = runInitWith(nullptr, javaStringOfUnits(env, u"main.tdb\u0000"s), password);
    expectOpenFailure(database, "main.tdb\xC0\x80");

    InitResult server = runInitWith(javaStringOfUnits(env, u"\u00FCber\U0001F600"s), javaString(env, "main.tdb"),
                                    password);
    expectOpenFailure(server, "\xC3\xBC" "ber\xF0\x9F\x98\x80!!main.tdb");

    InitResult wrongPassword = runInitWith(nullptr, javaString(env, "main.tdb"),
                                           javaStringOfUnits(env, u"open sesame\u0000"s));
    EXPECT_EQ(wrongPassword.exception.message.rfind("Native call KeyringSelectUser failed with error: code 274, ", 0),
              0u)
        << wrongPassword.exception.message;
    expectWholeLines(wrongPassword.trace);
    expectOpenStillWorks();
}

// tesra-admin writes names and passwords in standard UTF-8; the virtual
// machine hands U+1F600 out as two 3-byte surrogates. Both are the same text.
TEST_F(HostileRoad, CharactersOutsideTheBasicPlaneMatchWhatTesraAdminWrote)
{
    SampleStore unicode(1, "sesame \xF0\x9F\x98\x80");
    unicode.admin("create-db '\xF0\x9F\x98\x80.tdb'");
    unicode.rewriteIni(unicode.ini() + "Server.\xF0\x9F\x98\x80=data\n");
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    jstring password = javaStringOfUnits(env, u"sesame \U0001F600"s);
    struct Case {
        jstring server;
        jstring database;
        std::string tracedPath;
    } cases[] = {
        {nullptr, javaStringOfUnits(env, u"\U0001F600.tdb"s), "\xF0\x9F\x98\x80.tdb"},
        {javaStringOfUnits(env, u"\U0001F600"s), javaString(env, "main.tdb"), "\xF0\x9F\x98\x80!!main.tdb"},
    };
    for (const Case &c : cases) {
        InitResult result = runInitWith(c.server, c.database, password);
        EXPECT_FALSE(result.exception.thrown) << result.exception.message;
        EXPECT_NE(result.trace.find("remoteDbName: " + c.tracedPath + "\n"), std::string::npos) << result.trace;
        closeAnyOpenDatabase();
    }
}

// What the real store makes of since texts: a date and time part of 80
// characters is read whole, one of 81 is cut and refused; blanks, signs and
// other characters among the digits are refused, except as noted.
TEST_F(HostileRoad, SinceTextsEndInAnExceptionOrTheRightRecords)
{
    // The since texts are of 2024-05-06: a database made later would answer them with a full listing.
    store.remakeDatabaseAt(1714521600); // 2024-05-01 00:00:00 UTC
    store.admin("add main.tdb --count 3");
    open();
    std::vector<std::string> all = runQuery("2024-05-06 12:00:00.000").entries;
    ASSERT_EQ(all.size(), 3u);
    JNIEnv *env = jvmEnv();
    LocalFrame frame;

    struct Case {
        jstring since;
        bool accepted;
    } cases[] = {
        {javaString(env, (std::string(61, ' ') + "2024-05-06 12:00:00.000").c_str()), true},
        {javaString(env, (std::string(62, ' ') + "2024-05-06 12:00:00.000").c_str()), false},
        {javaString(env, "2024-05-06 12:00:00.+45"), true},
        {javaString(env, "2024-05-06 +2:00:00.000"), false},
        {javaString(env, "2024-05-06 1 2:00:00.000"), false},
        {javaString(env, "+2024-05-06 12:00:00.000"), false},
        {javaString(env, "2024-05-06  12:00:00.000"), true},
        {javaString(env, ""), false},
        {javaString(env, "1"), false},
        {javaString(env, "12:0"), false},
        {javaString(env, "1.23"), false},
        {javaString(env, std::string(4000, '2').c_str()), false},
        {javaStringOfUnits(env, u"2024-05-06\u000012:00:00.000"s), false},
        {javaStringOfUnits(env, u"\u00A02024-05-06 12:00:00.000"s), false},
        // The last character's three bytes stand in for the milliseconds and read as none.
        {javaStringOfUnits(env, u"2024-05-06 12:00:00.\u65E5"s), true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(nativeString(env, c.since));
        QueryResult result = runQueryWith(c.since, "kept");
        expectWholeLines(result.trace);
        if (c.accepted) {
            EXPECT_FALSE(result.exception.thrown) << result.exception.message;
            EXPECT_EQ(result.entries, all);
            EXPECT_EQ(result.endText.rfind("kept", 0), 0u);
            EXPECT_EQ(result.endText.size(), 4u + 23u);
        } else {
            EXPECT_EQ(result.exception.className, "java.lang.Exception");
            EXPECT_EQ(result.exception.message.rfind("Native call ParseStampText failed with error: code ", 0), 0u)
                << result.exception.message;
            EXPECT_TRUE(result.entries.empty());
            EXPECT_EQ(result.endText, "kept");
        }
    }
}

// The store's longest status text, 199 characters, in the message of every
// operation that can fail with it (storeInit is covered by the road test).
TEST_F(HostileRoad, LongestStatusTextReachesEveryMessageWhole)
{
    const std::string longest = statusText(0x0150);
    ASSERT_EQ(longest.size(), 199u);
    auto expectedMessage = [&](const std::string &name) {
        return "Native call " + name + " failed with error: code 49488, '" + longest + "'";
    };

    for (const char *fault : {"storeSwitchIdentity=0xC150", "storeOpenDatabase=0xC150"}) {
        setenv("TESRA_FAULTS", fault, 1);
        InitResult result = runInit(nullptr, "main.tdb", store.password().c_str());
        std::string name = std::string(fault).rfind("storeSwitch", 0) == 0 ? "KeyringSelectUser" : "QRVDbOpen";
        EXPECT_EQ(result.exception.message, expectedMessage(name));
        EXPECT_NE(result.trace.find("\nError: " + expectedMessage(name) + "\n"), std::string::npos);
        expectWholeLines(result.trace);
    }

    unsetenv("TESRA_FAULTS");
    open();
    setenv("TESRA_FAULTS", "storeTextToStamp=0xC150", 1);
    QueryResult parse = runQuery("2024-05-06 12:00:00.000", "kept");
    EXPECT_EQ(parse.exception.message, expectedMessage("ParseStampText"));
    expectWholeLines(parse.trace);

    setenv("TESRA_FAULTS", "storeSearch=0xC150@2", 1);
    QueryResult search = runQuery(nullptr, "kept");
    EXPECT_EQ(search.exception.message, expectedMessage("QRVSearch"));
    EXPECT_EQ(search.entries.size(), 2u);
    EXPECT_EQ(search.endText, "kept");
    expectWholeLines(search.trace);
}

} // namespace
