#ifndef VRXCHDET_TESTS_SCRIPTED_QUERY_TEST_H
#define VRXCHDET_TESTS_SCRIPTED_QUERY_TEST_H

#include <gtest/gtest.h>

#include "query_support.h"
#include "store_double.h"

// Queries against the scripted store with no database open: every text parses
// to a fixed time, and searches end at 2024-05-06 12:30:00 and 37 hundredths.
class ScriptedQueryTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        closeAnyOpenDatabase();
        storeDoubleReset();
        storeDoubleSetParsedStamp({{3600000, 738000}});
        storeDoubleSetUntil({{4500037, 738001}}, "2024-05-06 12:30:00", 4500037);
    }
};

#endif
