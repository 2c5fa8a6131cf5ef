// Loads vrxchdet.dll as a JVM on Windows would, next to the scripted store
// standing in for nTESRA.dll, and drives its three exports through a
// hand-written JNI environment: open, a query reporting a present and a
// deleted record, close, and an open that fails. Each call must keep to the
// JVM's calling convention (export_call.h), use JNI by the rules, write the
// trace byte for byte and make the store calls in order. Built for 32-bit and
// for 64-bit Windows alike.
//
// usage: bridge_dll_test TRACE_FILE, with standard output sent to TRACE_FILE.
#include <windows.h>

#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <initializer_list>
#include <string>
#include <vector>

#include "checks.h"
#include "fake_jni.h"
#include "export_call.h"
#include "store_double.h"
#include "trace_file.h"

namespace {

#define CONNECTOR "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_"

static_assert(sizeof(jint) == 4 && sizeof(jlong) == 8, "jint is 32 bits and jlong 64 on every Windows");

const std::string initLine = CONNECTOR "initTesra()\n";
const std::string queryLine = CONNECTOR "getModifiedTesra()\n";
const std::string termLine = CONNECTOR "termTesra()\n";

struct BridgeExports {
    const void *initTesra;
    const void *getModifiedTesra;
    const void *termTesra;
};

// The double's script and log, from the nTESRA.dll the bridge loaded.
struct StoreDouble {
    decltype(&storeDoubleReset) reset;
    decltype(&storeDoubleSetStatus) setStatus;
    decltype(&storeDoubleSetParsedStamp) setParsedStamp;
    decltype(&storeDoubleSetUntil) setUntil;
    decltype(&storeDoubleAddMatch) addMatch;
    decltype(&storeDoubleCallLog) callLog;
};

StoreDouble store;

const void *exportOf(HMODULE module, const char *moduleName, const std::string &name)
{
    FARPROC function = GetProcAddress(module, name.c_str());
    if (function == nullptr) {
        abortChecks(std::string(moduleName) + " has no export " + name);
    }
    return reinterpret_cast<const void *>(function);
}

template <typename Function> void lookUp(Function *function, HMODULE module, const char *name)
{
    *function = reinterpret_cast<Function>(exportOf(module, "nTESRA.dll", name));
}

BridgeExports loadBridge()
{
    HMODULE bridge = LoadLibraryA("vrxchdet.dll");
    if (bridge == nullptr) {
        abortChecks("LoadLibrary(vrxchdet.dll) failed with error " + std::to_string(GetLastError()));
    }
    HMODULE storeModule = GetModuleHandleA("nTESRA.dll");
    if (storeModule == nullptr) {
        abortChecks("loading vrxchdet.dll did not load nTESRA.dll");
    }
    lookUp(&store.reset, storeModule, "storeDoubleReset");
    lookUp(&store.setStatus, storeModule, "storeDoubleSetStatus");
    lookUp(&store.setParsedStamp, storeModule, "storeDoubleSetParsedStamp");
    lookUp(&store.setUntil, storeModule, "storeDoubleSetUntil");
    lookUp(&store.addMatch, storeModule, "storeDoubleAddMatch");
    lookUp(&store.callLog, storeModule, "storeDoubleCallLog");
    return {exportOf(bridge, "vrxchdet.dll", exportName(CONNECTOR "initTesra", 5)),
            exportOf(bridge, "vrxchdet.dll", exportName(CONNECTOR "getModifiedTesra", 4)),
            exportOf(bridge, "vrxchdet.dll", exportName(CONNECTOR "termTesra", 2))};
}

uintptr_t argument(const void *pointer) { return reinterpret_cast<uintptr_t>(pointer); }

struct BridgeCall {
    uintptr_t result;
    std::string trace;
    FakeException exception;
    std::string log; // the store calls made during this call
};

// Calls one export and checks what every call must do, whatever it is for.
BridgeCall runCall(const std::string &name, const void *function, std::initializer_list<uintptr_t> arguments)
{
    startTrace();
    BridgeCall result;
    result.result = callExport(name, function, arguments);
    result.trace = takeTrace();
    result.exception = takeFakeException();
    result.log = store.callLog();
    checkEqual(name + ": JNI used by its rules", takeJniMisuse(), "");
    checkEqual(name + ": string characters released", unreleasedStringChars(), 0);
    return result;
}

ChangeMatch makeMatch(uint32_t recordId, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint8_t flags)
{
    ChangeMatch match;
    memset(&match, 0x5A, sizeof match);
    match.recordId = recordId;
    match.universalFirst = {{w0, w1}};
    match.universalSecond = {{w2, w3}};
    match.matchFlags = flags;
    return match;
}

void checkOpen(const BridgeExports &bridge, jobject connector)
{
    store.reset();
    BridgeCall open = runCall("open", bridge.initTesra,
                              {argument(fakeJniEnv()), argument(connector), argument(fakeString("north")),
                               argument(fakeString("sales.tdb")), argument(fakeString("secret"))});
    checkTrue("open: throws nothing", !open.exception.thrown);
    checkEqual("open: trace", open.trace, initLine + "remoteDbName: north!!sales.tdb\nEnd of " + initLine);
    checkEqual("open: store calls", open.log,
               "storeInit(0, null)\n"
               "storeReadConfig(KeyFilename, 256)\n"
               "storeBuildNetPath(null, north, sales.tdb)\n"
               "storeSwitchIdentity(/ids/user.id, secret, null, 256, 0, null)\n"
               "storeOpenDatabase(north!!sales.tdb)\n");
}

void checkQuery(const BridgeExports &bridge, jobject connector)
{
    store.reset();
    store.setParsedStamp({{3600000, 738000}});
    store.setUntil({{4500037, 738001}}, "2024-05-06 12:30:00", 4500037);
    ChangeMatch present = makeMatch(255, 1, 2, 3, 4, 0x01);
    ChangeMatch deleted = makeMatch(0x10, 0xABCDEF, 0, 0xFFFFFFFF, 0x1234, 0xFE);
    store.addMatch(&present);
    store.addMatch(&deleted);
    jobject endText = fakeStringBuffer("before|");

    BridgeCall query = runCall("query", bridge.getModifiedTesra,
                               {argument(fakeJniEnv()), argument(connector),
                                argument(fakeString("2024-05-06 12:00:00.450")), argument(endText)});
    checkTrue("query: throws nothing", !query.exception.thrown);
    std::vector<std::string> entries;
    checkTrue("query: returns a Vector", fakeVectorEntries(reinterpret_cast<jobject>(query.result), &entries));
    std::string joined;
    for (const std::string &entry : entries) {
        joined += entry + "\n";
    }
    checkEqual("query: entries", joined,
               "00000002000000010000000400000003:FF:NOR\n"
               "0000000000ABCDEF00001234FFFFFFFF:10:DEL\n");
    checkEqual("query: end text appended", fakeStringBufferText(endText), "before|2024-05-06 12:30:00.370");
    checkEqual("query: trace", query.trace,
               queryLine + "strTimeSince: 2024-05-06 12:00:00\n"
                           "Since time hundredthsOfSec: 45\n"
                           "returnData: 00000002000000010000000400000003:FF:NOR\n"
                           "returnData: 0000000000ABCDEF00001234FFFFFFFF:10:DEL\n"
                           "strEndDate: 2024-05-06 12:30:00.370\n"
                           "End of " + queryLine);
    checkEqual("query: store calls, searching the open database 7", query.log,
               "storeReadRegionalSettings(140)\n"
               "storeTextToStamp(flags=019C date=- time=: rest=kept, null, \"2024-05-06 12:00:00\", 80)\n"
               "storeStampToFields(3600000/738000)\n"
               "storeFieldsToStamp(hundredths=45)\n"
               "storeSearch(7, 0, null, 0001, 7FFF, 3600045/738000)\n"
               "storeStampToText(flags=019C, null, 4500037/738001, 80)\n"
               "storeStampTicks(4500037/738001)\n");
}

void checkClose(const BridgeExports &bridge, jobject connector, const std::string &expectedLog)
{
    store.reset();
    BridgeCall close = runCall("close", bridge.termTesra, {argument(fakeJniEnv()), argument(connector)});
    checkTrue("close: throws nothing", !close.exception.thrown);
    checkEqual("close: trace", close.trace, termLine + "End of " + termLine);
    checkEqual("close: store calls", close.log, expectedLog);
}

void checkFailingOpen(const BridgeExports &bridge, jobject connector)
{
    store.reset();
    store.setStatus("storeOpenDatabase", 0x0103);
    BridgeCall open = runCall("failing open", bridge.initTesra,
                              {argument(fakeJniEnv()), argument(connector), argument(nullptr),
                               argument(fakeString("missing.tdb")), argument(fakeString("pw"))});
    const std::string message = "Native call QRVDbOpen failed with error: code 259, 'status text 259'";
    checkTrue("failing open: throws", open.exception.thrown);
    checkEqual("failing open: exception class", open.exception.className, "java/lang/Exception");
    checkEqual("failing open: exception message", open.exception.message, message);
    checkEqual("failing open: trace", open.trace, initLine + "remoteDbName: missing.tdb\nError: " + message + "\n");
    checkEqual("failing open: store calls, shutting down after loading the status text", open.log,
               "storeInit(0, null)\n"
               "storeReadConfig(KeyFilename, 256)\n"
               "storeBuildNetPath(null, null, missing.tdb)\n"
               "storeSwitchIdentity(/ids/user.id, pw, null, 256, 0, null)\n"
               "storeOpenDatabase(missing.tdb)\n"
               "storeLoadStatusText(null, 259, 200)\n"
               "storeTerm()\n");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s TRACE_FILE (with standard output sent to TRACE_FILE)\n", argv[0]);
        return 2;
    }
    useTraceFile(argv[1]);
    BridgeExports bridge = loadBridge();
    jobject connector = fakeObject("com/kestrum/orlo/connector/VarnexChangeDetectionConnector");

    checkOpen(bridge, connector);
    checkQuery(bridge, connector);
    checkClose(bridge, connector, "storeCloseDatabase(7)\nstoreTerm()\n");
    checkFailingOpen(bridge, connector);
    // The failed open left no database open: nothing to close.
    checkClose(bridge, connector, "");
    return finishChecks();
}
