#ifndef VRXCHDET_SEARCH_CONTEXT_H
#define VRXCHDET_SEARCH_CONTEXT_H

#include <jni.h>

#include "store/store_client.h"

typedef struct SearchContext {
    JNIEnv *env;
    jobject result;     // java.util.Vector
    jmethodID addEntry; // Vector.add(Object)
} SearchContext;

// Returned to the store to stop a search once a Java exception is pending.
enum { SEARCH_STOPPED_BY_JAVA_EXCEPTION = 1 };

// Adds the change entry of one reported record to the context's Vector.
StoreStatus onChangeMatch(void *context, const ChangeMatch *match, void *summary);

#endif
