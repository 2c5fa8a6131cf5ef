#ifndef VRXCHDET_TESTS_QUERY_SUPPORT_H
#define VRXCHDET_TESTS_QUERY_SUPPORT_H

#include <string>
#include <vector>

#include "jvm_support.h"
#include "store/store_client.h"

struct QueryResult {
    bool returnedNull = false;
    std::vector<std::string> entries;
    std::string endText;
    std::string trace;
    JavaException exception;
};

struct InitResult {
    std::string trace;
    JavaException exception;
};

// Calls initTesra with Java strings of the texts (null for a null text).
InitResult runInit(const char *server, const char *database, const char *password);

// Calls getModifiedTesra with a StringBuffer holding initialEndText.
QueryResult runQuery(const char *since, const char *initialEndText = "");

// The same with Java strings the caller made, e.g. of UTF-16 code units.
InitResult runInitWith(jstring server, jstring database, jstring password);
QueryResult runQueryWith(jstring since, const char *initialEndText = "");

// Leaves the handle slot empty, so that searches are given handle 0.
void closeAnyOpenDatabase();

ChangeMatch makeMatch(uint32_t recordId, uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3, uint8_t flags);

#endif
