// The native side of FloorSearch: a search over the same store, whose callback
// does only what any bridge must do per record to hand an entry to Java; and
// the limit, which also writes the trace lines the bridge writes.
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "com_kestrum_orlo_connector_bench_FloorSearch.h"
#include "store/store_client.h"

namespace {

const char fixedEntry[] = "0123456789ABCDEF0123456789ABCDEF:1F:NOR";
static_assert(sizeof fixedEntry - 1 == 39, "an entry of 39 characters");

enum { SEARCH_FLAGS = 0x0001, ALL_RECORD_CLASSES = 0x7FFF, STOPPED_BY_JAVA_EXCEPTION = 1 };

struct FloorContext {
    JNIEnv *env;
    jobject entries;
    jmethodID add;
};

StoreStatus addFixedEntry(void *context, const ChangeMatch *, void *)
{
    FloorContext *floor = static_cast<FloorContext *>(context);
    JNIEnv *env = floor->env;
    jstring entry = env->NewStringUTF(fixedEntry);
    if (entry == nullptr) {
        return STOPPED_BY_JAVA_EXCEPTION;
    }
    env->CallBooleanMethod(floor->entries, floor->add, entry);
    env->DeleteLocalRef(entry);
    return env->ExceptionCheck() ? STOPPED_BY_JAVA_EXCEPTION : 0;
}

// The limit's entries are its own, written the cheapest way: a table of digit
// pairs, one byte of a word per lookup.
struct HexPairs {
    char pair[256][2];
    constexpr HexPairs() : pair()
    {
        for (int i = 0; i < 256; ++i) {
            pair[i][0] = "0123456789ABCDEF"[i >> 4];
            pair[i][1] = "0123456789ABCDEF"[i & 0xF];
        }
    }
};
constexpr HexPairs hexPairs;

const char returnDataLabel[] = "returnData: ";
enum { LABEL_LENGTH = sizeof returnDataLabel - 1, LINE_SIZE = LABEL_LENGTH + 45 + 1 };

char *writeWord(char *out, uint32_t word)
{
    memcpy(out, hexPairs.pair[word >> 24], 2);
    memcpy(out + 2, hexPairs.pair[(word >> 16) & 0xFF], 2);
    memcpy(out + 4, hexPairs.pair[(word >> 8) & 0xFF], 2);
    memcpy(out + 6, hexPairs.pair[word & 0xFF], 2);
    return out + 8;
}

char *writeNumber(char *out, uint32_t number)
{
    int digits = number == 0 ? 1 : (32 - __builtin_clz(number) + 3) / 4;
    for (int i = digits - 1; i >= 0; --i) {
        out[i] = "0123456789ABCDEF"[number & 0xF];
        number >>= 4;
    }
    return out + digits;
}

StoreStatus addTracedEntry(void *context, const ChangeMatch *match, void *)
{
    FloorContext *floor = static_cast<FloorContext *>(context);
    JNIEnv *env = floor->env;
    char line[LINE_SIZE];
    memcpy(line, returnDataLabel, LABEL_LENGTH);
    char *end = writeWord(line + LABEL_LENGTH, match->universalFirst.word[1]);
    end = writeWord(end, match->universalFirst.word[0]);
    end = writeWord(end, match->universalSecond.word[1]);
    end = writeWord(end, match->universalSecond.word[0]);
    *end++ = ':';
    end = writeNumber(end, match->recordId);
    memcpy(end, (match->matchFlags & CHANGE_MATCH_PRESENT) ? ":NOR\n" : ":DEL\n", 5);
    end += 5;
    // One write per line, as the bridge must, so that lines of several threads stay whole.
    fwrite(line, 1, end - line, stdout);
    end[-1] = '\0';
    jstring entry = env->NewStringUTF(line + LABEL_LENGTH);
    if (entry == nullptr) {
        return STOPPED_BY_JAVA_EXCEPTION;
    }
    env->CallBooleanMethod(floor->entries, floor->add, entry);
    env->DeleteLocalRef(entry);
    return env->ExceptionCheck() ? STOPPED_BY_JAVA_EXCEPTION : 0;
}

#define QUERY_SYMBOL "Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra()\n"

// The end text as the bridge writes it: the store's text of the until time,
// under the bridge's ISO settings, a full stop, its hundredths and a 0.
void traceEndText(const StoreTimestamp *until)
{
    RegionalSettings settings;
    storeReadRegionalSettings(&settings, sizeof settings);
    settings.flags = 0x019C;
    memcpy(settings.dateSeparator, "-", 2);
    memcpy(settings.timeSeparator, ":", 2);
    char line[16 + STORE_STAMP_TEXT_MAX + 8] = "strEndDate: ";
    const size_t label = strlen(line);
    const uint16_t stampTextMax = STORE_STAMP_TEXT_MAX;
    uint16_t length = 0;
    storeStampToText(&settings, nullptr, until, line + label, stampTextMax, &length);
    char *end = line + label + (length < stampTextMax ? length : stampTextMax);
    unsigned hundredths = storeStampTicks(until) % 100u;
    *end++ = '.';
    *end++ = (char)('0' + hundredths / 10);
    *end++ = (char)('0' + hundredths % 10);
    *end++ = '0';
    *end++ = '\n';
    fwrite(line, 1, end - line, stdout);
}

void throwIllegalState(JNIEnv *env, const char *message)
{
    jclass exceptionClass = env->FindClass("java/lang/IllegalStateException");
    if (exceptionClass != nullptr) {
        env->ThrowNew(exceptionClass, message);
    }
}

void throwStoreFailure(JNIEnv *env, const char *operation, StoreStatus status)
{
    char text[STORE_STATUS_TEXT_SIZE] = "";
    storeLoadStatusText(nullptr, status, text, sizeof text);
    char message[64 + STORE_STATUS_TEXT_SIZE];
    snprintf(message, sizeof message, "%s failed: 0x%04X %s", operation, status, text);
    throwIllegalState(env, message);
}

} // namespace

JNIEXPORT jint JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_openDatabase(JNIEnv *env, jclass,
                                                                                      jstring path)
{
    const char *pathChars = env->GetStringUTFChars(path, nullptr);
    if (pathChars == nullptr) {
        return 0;
    }
    StoreHandle handle = 0;
    StoreStatus status = storeOpenDatabase(pathChars, &handle);
    env->ReleaseStringUTFChars(path, pathChars);
    if (status != 0) {
        throwStoreFailure(env, "storeOpenDatabase", status);
    }
    return (jint)handle;
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_closeDatabase(JNIEnv *, jclass,
                                                                                       jint handle)
{
    storeCloseDatabase((StoreHandle)handle);
}

// Searches every record into the vector through the given callback. False when
// the vector's add method cannot be found: an exception is then pending.
static bool searchEverything(JNIEnv *env, jint handle, jobject entries,
                             StoreStatus (*callback)(void *, const ChangeMatch *, void *), StoreStatus &status,
                             StoreTimestamp &until)
{
    jclass vectorClass = env->GetObjectClass(entries);
    jmethodID add = env->GetMethodID(vectorClass, "add", "(Ljava/lang/Object;)Z");
    env->DeleteLocalRef(vectorClass);
    if (add == nullptr) {
        return false;
    }
    FloorContext context = {env, entries, add};
    StoreTimestamp everything = {{0, 0}};
    status = storeSearch((StoreHandle)handle, 0, nullptr, SEARCH_FLAGS, ALL_RECORD_CLASSES, &everything, callback,
                         &context, &until);
    return true;
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_search(JNIEnv *env, jclass, jint handle,
                                                                                jobject entries)
{
    StoreStatus status = 0;
    StoreTimestamp until = {{0, 0}};
    if (searchEverything(env, handle, entries, addFixedEntry, status, until) && status != 0 && !env->ExceptionCheck()) {
        throwStoreFailure(env, "storeSearch", status);
    }
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_searchTracing(JNIEnv *env, jclass,
                                                                                       jint handle, jobject entries)
{
    fputs(QUERY_SYMBOL "strTimeSince: 0001-01-01 00:00:00\nSince time hundredthsOfSec: 0\n", stdout);
    StoreStatus status = 0;
    StoreTimestamp until = {{0, 0}};
    if (!searchEverything(env, handle, entries, addTracedEntry, status, until) || env->ExceptionCheck()) {
        return;
    }
    if (status != 0) {
        throwStoreFailure(env, "storeSearch", status);
        return;
    }
    traceEndText(&until);
    fputs("End of " QUERY_SYMBOL, stdout);
}

JNIEXPORT jint JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_openForWriting(JNIEnv *env, jclass,
                                                                                       jstring path)
{
    const char *pathChars = env->GetStringUTFChars(path, nullptr);
    if (pathChars == nullptr) {
        return -1;
    }
    int descriptor = open(pathChars, O_WRONLY | O_CLOEXEC);
    env->ReleaseStringUTFChars(path, pathChars);
    if (descriptor < 0) {
        throwIllegalState(env, "cannot open a trace target for writing");
    }
    return descriptor;
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_closeDescriptor(JNIEnv *, jclass,
                                                                                         jint descriptor)
{
    close(descriptor);
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_pointStandardOutputAt(JNIEnv *env, jclass,
                                                                                              jint descriptor)
{
    static int savedStandardOutput = -1;
    fflush(stdout);
    if (descriptor >= 0 && savedStandardOutput < 0) {
        savedStandardOutput = dup(STDOUT_FILENO);
        if (savedStandardOutput < 0 || dup2(descriptor, STDOUT_FILENO) < 0) {
            throwIllegalState(env, "cannot point standard output elsewhere");
        }
    } else if (descriptor < 0 && savedStandardOutput >= 0) {
        dup2(savedStandardOutput, STDOUT_FILENO);
        close(savedStandardOutput);
        savedStandardOutput = -1;
    }
}

JNIEXPORT jlong JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_nativeHeapInUse(JNIEnv *, jclass)
{
    struct mallinfo2 info = mallinfo2();
    return (jlong)(info.uordblks + info.hblkhd);
}
