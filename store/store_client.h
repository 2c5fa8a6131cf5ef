// The store client library as the bridge sees it: status, timestamp, the
// records exchanged with the library, and the operations the bridge calls.
// The library is closed; only the bytes named here are read or written by the
// bridge, the rest of each record belongs to the library.
#ifndef VRXCHDET_STORE_CLIENT_H
#define VRXCHDET_STORE_CLIENT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#  if defined(STORE_LIBRARY_BUILD)
#    define STORE_API __declspec(dllexport)
#  else
#    define STORE_API __declspec(dllimport)
#  endif
#else
#  define STORE_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef uint16_t StoreStatus;
typedef uint32_t StoreHandle;

enum { STORE_STATUS_CODE_MASK = 0x3FFF };

/* Sizes of the store's text limits. */
enum {
    STORE_PATH_SIZE = 256,        /* paths, terminator included */
    STORE_STATUS_TEXT_SIZE = 200, /* status texts, terminator included */
    STORE_STAMP_TEXT_MAX = 80     /* timestamp texts, terminator excluded */
};

typedef struct StoreTimestamp {
    uint32_t word[2];
} StoreTimestamp;

typedef struct RegionalSettings {
    uint16_t flags;
    uint8_t libraryBytes0[31];
    char dateSeparator[2];
    uint8_t libraryBytes1[3];
    char timeSeparator[2];
    uint8_t libraryBytes2[100];
} RegionalSettings;

typedef struct TimeFields {
    int32_t libraryWords0[7];
    int32_t hundredths; /* 0 to 99 */
    int32_t libraryWords1[2];
    StoreTimestamp stamp;
} TimeFields;

typedef struct ChangeMatch {
    uint8_t libraryBytes0[16];
    uint32_t recordId;
    StoreTimestamp universalFirst;
    StoreTimestamp universalSecond;
    uint8_t libraryBytes1[14];
    uint8_t matchFlags; /* bit 0 set: the record is present; clear: deleted */
    uint8_t libraryBytes2[5];
} ChangeMatch;

enum { CHANGE_MATCH_PRESENT = 0x01 };

typedef StoreStatus (*StoreSearchCallback)(void *context, const ChangeMatch *match, void *summary);

STORE_API StoreStatus storeInit(int argumentCount, char **arguments);
STORE_API void storeTerm(void);
STORE_API int storeReadConfig(const char *name, char *value, uint16_t valueSize);
STORE_API StoreStatus storeBuildNetPath(const char *port, const char *server, const char *fileName,
                                        char *path /* STORE_PATH_SIZE bytes */);
STORE_API StoreStatus storeSwitchIdentity(const char *idFilePath, const char *password, char *userName,
                                          uint16_t userNameSize, uint32_t flags, void *reserved);
STORE_API StoreStatus storeOpenDatabase(const char *path, StoreHandle *handle);
STORE_API StoreStatus storeCloseDatabase(StoreHandle handle);
STORE_API uint16_t storeLoadStatusText(void *module, uint16_t code, char *text, uint16_t textSize);

STORE_API void storeReadRegionalSettings(RegionalSettings *settings, uint16_t settingsSize);
STORE_API StoreStatus storeTextToStamp(const RegionalSettings *settings, const void *textFormat, const char **text,
                                       uint16_t maxLength, StoreTimestamp *stamp);
STORE_API StoreStatus storeStampToText(const RegionalSettings *settings, const void *textFormat,
                                       const StoreTimestamp *stamp, char *text, uint16_t maxLength,
                                       uint16_t *length);
STORE_API StoreStatus storeStampToFields(TimeFields *fields);
STORE_API StoreStatus storeFieldsToStamp(TimeFields *fields);
STORE_API uint32_t storeStampTicks(const StoreTimestamp *stamp);

STORE_API StoreStatus storeSearch(StoreHandle database, StoreHandle formula, const char *viewTitle,
                                  uint32_t searchFlags, uint16_t classMask, const StoreTimestamp *since,
                                  StoreSearchCallback callback, void *context, StoreTimestamp *until);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#  define STORE_STATIC_ASSERT static_assert
#else
#  define STORE_STATIC_ASSERT _Static_assert
#endif

STORE_STATIC_ASSERT(sizeof(StoreTimestamp) == 8, "StoreTimestamp is 8 bytes");
STORE_STATIC_ASSERT(sizeof(RegionalSettings) == 140, "RegionalSettings is 140 bytes");
STORE_STATIC_ASSERT(offsetof(RegionalSettings, flags) == 0, "flags at 0");
STORE_STATIC_ASSERT(offsetof(RegionalSettings, dateSeparator) == 33, "date separator at 33");
STORE_STATIC_ASSERT(offsetof(RegionalSettings, timeSeparator) == 38, "time separator at 38");
STORE_STATIC_ASSERT(sizeof(TimeFields) == 48, "TimeFields is 48 bytes");
STORE_STATIC_ASSERT(offsetof(TimeFields, hundredths) == 28, "hundredths at 28");
STORE_STATIC_ASSERT(offsetof(TimeFields, stamp) == 40, "timestamp at 40");
STORE_STATIC_ASSERT(sizeof(ChangeMatch) == 56, "ChangeMatch is 56 bytes");
STORE_STATIC_ASSERT(offsetof(ChangeMatch, recordId) == 16, "record identifier at 16");
STORE_STATIC_ASSERT(offsetof(ChangeMatch, universalFirst) == 20, "first universal stamp at 20");
STORE_STATIC_ASSERT(offsetof(ChangeMatch, universalSecond) == 28, "second universal stamp at 28");
STORE_STATIC_ASSERT(offsetof(ChangeMatch, matchFlags) == 50, "match flags at 50");

#endif
