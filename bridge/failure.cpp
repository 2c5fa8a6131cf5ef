#include "bridge/failure.h"

#include <stdio.h>

void composeFailure(const char *operationName, StoreStatus status, char *message, size_t messageSize)
{
    // Stays empty when the library has no text to give, e.g. when its runtime never came up.
    char statusText[STORE_STATUS_TEXT_SIZE] = "";
    storeLoadStatusText(nullptr, (uint16_t)(status & STORE_STATUS_CODE_MASK), statusText, sizeof statusText);
    statusText[sizeof statusText - 1] = '\0';
    snprintf(message, messageSize, "Native call %s failed with error: code %d, '%s'", operationName, status,
             statusText);
}

void reportFailure(JNIEnv *env, const char *message)
{
    printf("Error: %s\n", message);
    jclass exceptionClass = env->FindClass("java/lang/Exception");
    if (exceptionClass == nullptr) {
        return; // the lookup left its own error pending for the caller
    }
    env->ThrowNew(exceptionClass, message);
    env->DeleteLocalRef(exceptionClass);
}
