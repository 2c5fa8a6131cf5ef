// A scripted stand-in for the store library: each operation records what it
// was called with in a call log and answers what the test scripted.
#ifndef VRXCHDET_STORE_DOUBLE_H
#define VRXCHDET_STORE_DOUBLE_H

#include "store/store_client.h"

#ifdef __cplusplus
extern "C" {
#endif

// Forgets the script and the log: every operation succeeds, "KeyFilename" is
// "/ids/user.id", open gives handle 7, status texts are "status text N".
STORE_API void storeDoubleReset(void);

// The status that one of storeInit, storeSwitchIdentity, storeOpenDatabase,
// storeTextToStamp or storeSearch answers from now on.
STORE_API void storeDoubleSetStatus(const char *operation, StoreStatus status);

// A configuration value; a null value leaves the name unset.
STORE_API void storeDoubleSetConfig(const char *name, const char *value);

// The text storeLoadStatusText gives for every code; null gives no text at all.
STORE_API void storeDoubleSetStatusText(const char *text);

STORE_API void storeDoubleSetOpenHandle(StoreHandle handle);

// What storeTextToStamp answers for any text it reads.
STORE_API void storeDoubleSetParsedStamp(StoreTimestamp stamp);

// What a search hands back as its until time, with the date and time text and
// the time of day in hundredths that the store gives for it.
STORE_API void storeDoubleSetUntil(StoreTimestamp until, const char *text, uint32_t ticks);

// A match that every search reports, in the order added, before answering its status.
STORE_API void storeDoubleAddMatch(const ChangeMatch *match);

// One line per call, "operation(arguments)\n", in calling order.
STORE_API const char *storeDoubleCallLog(void);

#ifdef __cplusplus
}
#endif

#endif
