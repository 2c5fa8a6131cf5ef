#include "query_support.h"

#include <string.h>

#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"

InitResult runInit(const char *server, const char *database, const char *password)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    return runInitWith(javaString(env, server), javaString(env, database), javaString(env, password));
}

InitResult runInitWith(jstring server, jstring database, jstring password)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    StdoutCapture capture;
    Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra(env, nullptr, server, database, password);
    InitResult result;
    result.trace = capture.finish();
    result.exception = takeJavaException(env);
    return result;
}

QueryResult runQuery(const char *since, const char *initialEndText)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    return runQueryWith(javaString(env, since), initialEndText);
}

QueryResult runQueryWith(jstring since, const char *initialEndText)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    jobject endText = newStringBuffer(env, initialEndText);
    QueryResult result;
    StdoutCapture capture;
    jobject entries =
        Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_getModifiedTesra(env, nullptr, since, endText);
    result.trace = capture.finish();
    result.exception = takeJavaException(env);
    result.returnedNull = entries == nullptr;
    result.entries = vectorEntries(env, entries);
    result.endText = stringBufferText(env, endText);
    return result;
}

void closeAnyOpenDatabase()
{
    StdoutCapture capture;
    Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_termTesra(jvmEnv(), nullptr);
}

ChangeMatch makeMatch(uint32_t recordId, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint8_t flags)
{
    ChangeMatch match;
    memset(&match, 0x5A, sizeof match); // the library's own bytes are not read
    match.recordId = recordId;
    match.universalFirst.word[0] = w0;
    match.universalFirst.word[1] = w1;
    match.universalSecond.word[0] = w2;
    match.universalSecond.word[1] = w3;
    match.matchFlags = flags;
    return match;
}
