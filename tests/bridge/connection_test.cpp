// initTesra and termTesra against the scripted store: trace lines, thrown
// messages, the order and arguments of the store calls, and the handle slot.
#include <gtest/gtest.h>

#include <string>

#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"
#include "store_double.h"
#include "query_support.h"

namespace {

const std::string initLine = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra()\n";
const std::string initEndLine = "End of " + initLine;
const std::string termLine = "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra()\n";
const std::string termEndLine = "End of " + termLine;
const std::string keyFilenameMessage =
    "Could not determine the path to the id file. Verify the KeyFilename item in the tesra.ini file.";

struct CallResult {
    std::string trace;
    JavaException exception;
    std::string log;
};

CallResult callInit(const char *server, const char *database, const char *password)
{
    InitResult init = runInit(server, database, password);
    return CallResult{init.trace, init.exception, storeDoubleCallLog()};
}

CallResult callTerm()
{
    JNIEnv *env = jvmEnv();
    StdoutCapture capture;
    Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra(env, nullptr);
    CallResult result;
    result.trace = capture.finish();
    result.exception = takeJavaException(env);
    result.log = storeDoubleCallLog();
    return result;
}

// A failed initTesra: the lines traced before the failure, then the "Error: "
// line, and the same message thrown as a java.lang.Exception.
void expectThrown(const CallResult &result, const std::string &tracedBefore, const std::string &message)
{
    EXPECT_EQ(result.trace, initLine + tracedBefore + "Error: " + message + "\n");
    EXPECT_EQ(result.exception.className, "java.lang.Exception");
    EXPECT_EQ(result.exception.message, message);
}

// The handle slot shows in the handle that the next search is given.
std::string handleSearchedNext()
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    storeDoubleReset();
    storeDoubleSetStatus("storeSearch", 0x0201);
    StdoutCapture capture;
    Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra(env, nullptr, nullptr,
                                                                                     newStringBuffer(env, ""));
    capture.finish();
    takeJavaException(env);
    std::string log = storeDoubleCallLog();
    size_t start = log.find("storeSearch(");
    return start == std::string::npos ? "no search" : log.substr(start + 12, log.find(',', start) - start - 12);
}

class Connection : public ::testing::Test {
protected:
    void SetUp() override
    {
        callTerm(); // leaves no database open from an earlier test
        storeDoubleReset();
    }
};

TEST_F(Connection, OpensLocalDatabaseWithTheCallsInOrder)
{
    CallResult result = callInit(nullptr, "sales.tdb", "secret");

    EXPECT_FALSE(result.exception.thrown);
    EXPECT_EQ(result.trace, initLine + "remoteDbName: sales.tdb\n" + initEndLine);
    EXPECT_EQ(result.log, "storeInit(0, null)\n"
                          "storeReadConfig(KeyFilename, 256)\n"
                          "storeBuildNetPath(null, null, sales.tdb)\n"
                          "storeSwitchIdentity(/ids/user.id, secret, null, 256, 0, null)\n"
                          "storeOpenDatabase(sales.tdb)\n");
    EXPECT_EQ(handleSearchedNext(), "7");
}

TEST_F(Connection, PassesServerNamesIncludingTheEmptyOne)
{
    EXPECT_EQ(callInit("north", "sales.tdb", "pw").trace, initLine + "remoteDbName: north!!sales.tdb\n" + initEndLine);
    callTerm();
    storeDoubleReset();
    CallResult empty = callInit("", "sales.tdb", "pw");
    EXPECT_NE(empty.log.find("storeBuildNetPath(null, , sales.tdb)"), std::string::npos) << empty.log;
}

TEST_F(Connection, StoreInitFailureLeavesRuntimeAndSlotAlone)
{
    storeDoubleSetOpenHandle(42);
    callInit(nullptr, "a.tdb", "pw");
    storeDoubleReset();
    // The top two bits select no text: the text of the low 14 bits is loaded,
    // the whole status is printed.
    storeDoubleSetStatus("storeInit", 0xC105);
    CallResult result = callInit(nullptr, "a.tdb", "pw");

    std::string message = "Native call TesraInitExtended failed with error: code 49413, 'status text 261'";
    expectThrown(result, "", message);
    EXPECT_EQ(result.log, "storeInit(0, null)\nstoreLoadStatusText(null, 261, 200)\n");
    EXPECT_EQ(handleSearchedNext(), "42");
}

TEST_F(Connection, UnsetKeyFilenameShutsDownAndClearsTheSlot)
{
    callInit(nullptr, "a.tdb", "pw");
    storeDoubleReset();
    storeDoubleSetConfig("KeyFilename", nullptr);
    CallResult result = callInit(nullptr, "a.tdb", "pw");

    expectThrown(result, "", keyFilenameMessage);
    EXPECT_EQ(result.log, "storeInit(0, null)\nstoreReadConfig(KeyFilename, 256)\nstoreTerm()\n");
    EXPECT_EQ(handleSearchedNext(), "0");
}

TEST_F(Connection, WrongPasswordComposesItsMessageAfterTheDatabaseLine)
{
    callInit(nullptr, "a.tdb", "pw");
    storeDoubleReset();
    storeDoubleSetStatus("storeSwitchIdentity", 0x0104);
    CallResult result = callInit(nullptr, "sales.tdb", "wrong");

    std::string message = "Native call KeyringSelectUser failed with error: code 260, 'status text 260'";
    expectThrown(result, "remoteDbName: sales.tdb\n", message);
    // The text is loaded while the runtime is still up.
    EXPECT_NE(result.log.find("storeSwitchIdentity(/ids/user.id, wrong, null, 256, 0, null)\n"
                              "storeLoadStatusText(null, 260, 200)\n"
                              "storeTerm()\n"),
              std::string::npos)
        << result.log;
    EXPECT_EQ(result.log.find("storeOpenDatabase"), std::string::npos);
    EXPECT_EQ(handleSearchedNext(), "0");
}

TEST_F(Connection, OpenFailureComposesQrvDbOpen)
{
    storeDoubleSetStatus("storeOpenDatabase", 0x0103);
    CallResult result = callInit(nullptr, "missing.tdb", "pw");

    std::string message = "Native call QRVDbOpen failed with error: code 259, 'status text 259'";
    expectThrown(result, "remoteDbName: missing.tdb\n", message);
    EXPECT_TRUE(result.log.find("storeOpenDatabase(missing.tdb)\nstoreLoadStatusText(null, 259, 200)\nstoreTerm()\n") !=
                std::string::npos)
        << result.log;
    EXPECT_EQ(handleSearchedNext(), "0");
}

TEST_F(Connection, LongestStatusTextStillGivesOneWholeLine)
{
    std::string text(199, 'x');
    storeDoubleSetStatusText(text.c_str());
    storeDoubleSetStatus("storeInit", 0xFFFF);
    CallResult result = callInit(nullptr, "a.tdb", "pw");

    std::string message = "Native call TesraInitExtended failed with error: code 65535, '" + text + "'";
    EXPECT_EQ(message.size(), 262u);
    expectThrown(result, "", message);
}

TEST_F(Connection, MissingStatusTextGivesEmptyQuotes)
{
    storeDoubleSetStatusText(nullptr);
    storeDoubleSetStatus("storeInit", 0x0101);
    EXPECT_EQ(callInit(nullptr, "a.tdb", "pw").exception.message,
              "Native call TesraInitExtended failed with error: code 257, ''");
}

TEST_F(Connection, NullDatabaseOrPasswordThrowsAndShutsDown)
{
    for (int nullArgument = 0; nullArgument < 2; ++nullArgument) {
        callInit(nullptr, "a.tdb", "pw");
        storeDoubleReset();
        CallResult result = nullArgument == 0 ? callInit(nullptr, nullptr, "pw") : callInit("srv", "a.tdb", nullptr);

        EXPECT_NE(result.exception.message.find(nullArgument == 0 ? "database" : "password"), std::string::npos);
        expectThrown(result, "", result.exception.message);
        EXPECT_EQ(result.log, "storeInit(0, null)\nstoreReadConfig(KeyFilename, 256)\nstoreTerm()\n");
        EXPECT_EQ(handleSearchedNext(), "0");
    }
}

TEST_F(Connection, TermClosesOnceAndOnlyAnOpenDatabase)
{
    CallResult idle = callTerm();
    EXPECT_EQ(idle.trace, termLine + termEndLine);
    EXPECT_EQ(idle.log, "");

    callInit(nullptr, "a.tdb", "pw");
    storeDoubleReset();
    CallResult open = callTerm();
    EXPECT_EQ(open.trace, termLine + termEndLine);
    EXPECT_EQ(open.log, "storeCloseDatabase(7)\nstoreTerm()\n");
    EXPECT_FALSE(open.exception.thrown);

    storeDoubleReset();
    CallResult again = callTerm();
    EXPECT_EQ(again.trace, termLine + termEndLine);
    EXPECT_EQ(again.log, "");
}

TEST_F(Connection, OpenAfterCloseRunsAsFromIdle)
{
    callInit(nullptr, "a.tdb", "pw");
    callTerm();
    storeDoubleReset();
    storeDoubleSetOpenHandle(9);
    CallResult reopened = callInit(nullptr, "b.tdb", "pw");
    EXPECT_FALSE(reopened.exception.thrown);
    EXPECT_EQ(reopened.trace, initLine + "remoteDbName: b.tdb\n" + initEndLine);
    EXPECT_EQ(handleSearchedNext(), "9");
}

} // namespace
