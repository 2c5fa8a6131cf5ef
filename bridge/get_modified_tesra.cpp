#include "bridge/database_handle.h"
#include "bridge/failure.h"
#include "bridge/trace.h"
#include "changes/end_text.h"
#include "changes/search_context.h"
#include "changes/since_text.h"
#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"

enum { SEARCH_FLAGS = 0x0001, ALL_RECORD_CLASSES = 0x7FFF };

static jobject newVector(JNIEnv *env, jclass *vectorClass)
{
    *vectorClass = env->FindClass("java/util/Vector");
    if (*vectorClass == nullptr) {
        return nullptr;
    }
    jmethodID constructor = env->GetMethodID(*vectorClass, "<init>", "()V");
    if (constructor == nullptr) {
        return nullptr;
    }
    return env->NewObject(*vectorClass, constructor);
}

// Returns false with a Java exception pending when the append did not happen.
static bool appendEndText(JNIEnv *env, jobject endText, const char *text)
{
    jstring endString = env->NewStringUTF(text);
    if (endString == nullptr) {
        return false;
    }
    jclass bufferClass = env->FindClass("java/lang/StringBuffer");
    if (bufferClass == nullptr) {
        return false;
    }
    jmethodID append = env->GetMethodID(bufferClass, "append", "(Ljava/lang/String;)Ljava/lang/StringBuffer;");
    if (append == nullptr) {
        return false;
    }
    jobject sameBuffer = env->CallObjectMethod(endText, append, endString);
    if (env->ExceptionCheck()) {
        return false;
    }
    env->DeleteLocalRef(sameBuffer);
    return true;
}

JNIEXPORT jobject JNICALL Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra(
    JNIEnv *env, jobject, jstring since, jobject endText)
{
    traceText(TRACE_ENTRY_LINE("getModifiedTesra"));

    if (endText == nullptr) {
        reportFailure(env, "The endText StringBuffer passed to getModifiedTesra is null.");
        return nullptr;
    }
    jclass vectorClass;
    jobject result = newVector(env, &vectorClass);
    if (result == nullptr) {
        return nullptr;
    }

    RegionalSettings settings;
    StoreTimestamp sinceStamp = {{0, 0}};
    if (!parseSinceText(env, since, &settings, &sinceStamp)) {
        return result;
    }

    jmethodID addEntry = env->GetMethodID(vectorClass, "add", "(Ljava/lang/Object;)Z");
    if (addEntry == nullptr) {
        return result;
    }
    SearchContext context = {env, result, addEntry};
    StoreTimestamp until = {{0, 0}};
    StoreStatus status = storeSearch(openDatabaseHandle, 0, nullptr, SEARCH_FLAGS, ALL_RECORD_CLASSES, &sinceStamp,
                                     onChangeMatch, &context, &until);
    if (env->ExceptionCheck()) {
        return result; // raised while adding an entry; it reaches the caller as it is
    }
    if (status != 0) {
        char message[FAILURE_MESSAGE_SIZE];
        composeFailure("QRVSearch", status, message, sizeof message);
        reportFailure(env, message);
        return result;
    }

    char endTextValue[END_TEXT_SIZE];
    formatEndText(&settings, &until, endTextValue);
    if (!appendEndText(env, endText, endTextValue)) {
        return result;
    }

    traceText(TRACE_END_LINE("getModifiedTesra"));
    return result;
}
