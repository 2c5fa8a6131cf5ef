#ifndef VRXCHDET_FAILURE_H
#define VRXCHDET_FAILURE_H

#include <jni.h>

#include "store/store_client.h"

// 41 fixed characters, a name of up to 17, a code of up to five digits and a
// status text of up to 199, and the terminator.
enum { FAILURE_MESSAGE_SIZE = 263 };

void composeFailure(const char *operationName, StoreStatus status, char *message, size_t messageSize);

// Traces the message and throws it as a java.lang.Exception. The caller
// returns from its native method straight afterwards.
void reportFailure(JNIEnv *env, const char *message);

#endif
