#include <stdio.h>

#include "bridge/database_handle.h"
#include "bridge/failure.h"
#include "bridge/trace.h"
#include "com_kestrum_orlo_connector_VarnexChangeDetectionConnector.h"

static const char missingKeyFilenameMessage[] =
    "Could not determine the path to the id file. Verify the KeyFilename item in the tesra.ini file.";

// Every failure after a successful storeInit leaves the runtime down and the slot empty.
static void shutDownStore()
{
    storeTerm();
    openDatabaseHandle = 0;
}

static void failAfterStoreInit(JNIEnv *env, const char *message)
{
    shutDownStore();
    reportFailure(env, message);
}

static void failStoreOperation(JNIEnv *env, const char *operationName, StoreStatus status)
{
    char message[FAILURE_MESSAGE_SIZE];
    composeFailure(operationName, status, message, sizeof message);
    failAfterStoreInit(env, message);
}

// A null result means the virtual machine has thrown OutOfMemoryError already.
static const char *fetchChars(JNIEnv *env, jstring text)
{
    return env->GetStringUTFChars(text, nullptr);
}

JNIEXPORT void JNICALL Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_initTesra(
    JNIEnv *env, jobject, jstring server, jstring database, jstring password)
{
    traceText(TRACE_ENTRY_LINE("initTesra"));

    StoreStatus status = storeInit(0, nullptr);
    if (status != 0) {
        char message[FAILURE_MESSAGE_SIZE];
        composeFailure("TesraInitExtended", status, message, sizeof message);
        reportFailure(env, message);
        return;
    }

    char idFilePath[STORE_PATH_SIZE];
    if (!storeReadConfig("KeyFilename", idFilePath, sizeof idFilePath)) {
        failAfterStoreInit(env, missingKeyFilenameMessage);
        return;
    }
    idFilePath[sizeof idFilePath - 1] = '\0';
    if (database == nullptr) {
        failAfterStoreInit(env, "The database file name passed to initTesra is null.");
        return;
    }
    if (password == nullptr) {
        failAfterStoreInit(env, "The ID file password passed to initTesra is null.");
        return;
    }

    const char *databaseChars = fetchChars(env, database);
    if (databaseChars == nullptr) {
        shutDownStore();
        return;
    }
    const char *serverChars = nullptr;
    if (server != nullptr) {
        serverChars = fetchChars(env, server);
        if (serverChars == nullptr) {
            env->ReleaseStringUTFChars(database, databaseChars);
            shutDownStore();
            return;
        }
    }
    const char *passwordChars = fetchChars(env, password);
    if (passwordChars == nullptr) {
        if (serverChars != nullptr) {
            env->ReleaseStringUTFChars(server, serverChars);
        }
        env->ReleaseStringUTFChars(database, databaseChars);
        shutDownStore();
        return;
    }

    char databasePath[STORE_PATH_SIZE] = "";
    storeBuildNetPath(nullptr, serverChars, databaseChars, databasePath);
    databasePath[sizeof databasePath - 1] = '\0';
    if (serverChars != nullptr) {
        env->ReleaseStringUTFChars(server, serverChars);
    }
    env->ReleaseStringUTFChars(database, databaseChars);
    printf("remoteDbName: %s\n", databasePath);

    status = storeSwitchIdentity(idFilePath, passwordChars, nullptr, 256, 0, nullptr);
    env->ReleaseStringUTFChars(password, passwordChars);
    if (status != 0) {
        failStoreOperation(env, "KeyringSelectUser", status);
        return;
    }

    status = storeOpenDatabase(databasePath, &openDatabaseHandle);
    if (status != 0) {
        failStoreOperation(env, "QRVDbOpen", status);
        return;
    }

    traceText(TRACE_END_LINE("initTesra"));
}
