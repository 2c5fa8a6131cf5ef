// The native side of FloorSearch: a search over the same store, whose callback
// does only what any bridge must do per record to hand an entry to Java.
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
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

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_bench_FloorSearch_search(JNIEnv *env, jclass, jint handle,
                                                                                jobject entries)
{
    jclass vectorClass = env->GetObjectClass(entries);
    jmethodID add = env->GetMethodID(vectorClass, "add", "(Ljava/lang/Object;)Z");
    env->DeleteLocalRef(vectorClass);
    if (add == nullptr) {
        return;
    }
    FloorContext context = {env, entries, add};
    StoreTimestamp everything = {{0, 0}};
    StoreTimestamp until = {{0, 0}};
    StoreStatus status = storeSearch((StoreHandle)handle, 0, nullptr, SEARCH_FLAGS, ALL_RECORD_CLASSES, &everything,
                                     addFixedEntry, &context, &until);
    if (status != 0 && !env->ExceptionCheck()) {
        throwStoreFailure(env, "storeSearch", status);
    }
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
