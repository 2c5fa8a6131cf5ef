// The change entry of one reported record, and the callback that adds it.
#include <gtest/gtest.h>

#include <stdio.h>

#include <random>
#include <string>

#include "changes/change_entry.h"
#include "changes/search_context.h"
#include "query_support.h"
#include "store_double.h"

namespace {

std::string referenceEntry(const ChangeMatch &m)
{
    char id[33];
    snprintf(id, sizeof id, "%08X%08X%08X%08X", m.universalFirst.word[1], m.universalFirst.word[0],
             m.universalSecond.word[1], m.universalSecond.word[0]);
    char entry[64];
    snprintf(entry, sizeof entry, "%s:%X:%s", id, m.recordId, (m.matchFlags & 1) ? "NOR" : "DEL");
    return entry;
}

std::string formatted(const ChangeMatch &match)
{
    char entry[CHANGE_ENTRY_SIZE + 8];
    memset(entry, '@', sizeof entry);
    size_t length = formatChangeEntry(&match, entry);
    EXPECT_EQ(entry[length], '\0');
    EXPECT_EQ(entry[length + 1], '@') << "wrote past the terminator";
    return std::string(entry, length);
}

TEST(ChangeEntry, MatchesTheFormattedReferenceAtTheEdges)
{
    EXPECT_EQ(formatted(makeMatch(255, 1, 2, 3, 4, 0x01)), "00000002000000010000000400000003:FF:NOR");
    EXPECT_EQ(formatted(makeMatch(0, 0, 0, 0, 0, 0x00)), "00000000000000000000000000000000:0:DEL");
    EXPECT_EQ(formatted(makeMatch(0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFF)),
              std::string(32, 'F') + ":FFFFFFFF:NOR");
    EXPECT_EQ(formatted(makeMatch(0x10000000, 0, 0, 0, 0, 0xFE)).substr(32), ":10000000:DEL");
    EXPECT_EQ(formatted(makeMatch(0x0FFFFFFF, 0, 0, 0, 0, 0x03)).substr(32), ":FFFFFFF:NOR");
}

TEST(ChangeEntry, MatchesTheFormattedReferenceForRandomRecords)
{
    std::mt19937 random(20261208);
    for (int i = 0; i < 20000; ++i) {
        uint32_t id = random() >> (random() % 32);
        ChangeMatch match = makeMatch(id, random(), random() >> (random() % 32), random(), random() >> 20,
                                      (uint8_t)random());
        ASSERT_EQ(formatted(match), referenceEntry(match));
    }
}

TEST(ChangeEntryCallback, StopsTheSearchWhenAddingThrows)
{
    JNIEnv *env = jvmEnv();
    LocalFrame frame;
    jclass collections = env->FindClass("java/util/Collections");
    jmethodID emptyList = env->GetStaticMethodID(collections, "emptyList", "()Ljava/util/List;");
    jobject readOnly = env->CallStaticObjectMethod(collections, emptyList);
    ASSERT_FALSE(env->ExceptionCheck());
    jclass listClass = env->FindClass("java/util/List");
    jmethodID add = env->GetMethodID(listClass, "add", "(Ljava/lang/Object;)Z");
    ASSERT_NE(add, nullptr);

    SearchContext context = {env, readOnly, add};
    ChangeMatch match = makeMatch(1, 1, 2, 3, 4, 1);
    StdoutCapture capture;
    StoreStatus status = onChangeMatch(&context, &match, nullptr);
    std::string trace = capture.finish();
    JavaException exception = takeJavaException(env);

    EXPECT_NE(status, 0);
    EXPECT_EQ(exception.className, "java.lang.UnsupportedOperationException");
    EXPECT_EQ(trace, "returnData: 00000002000000010000000400000003:1:NOR\n");
}

TEST(ChangeEntryCallback, HundredThousandEntriesHoldNoExtraLocalReferences)
{
    storeDoubleReset();
    storeDoubleSetUntil({{1, 1}}, "2024-01-01 00:00:00", 1);
    for (uint32_t id = 1; id <= 100000; ++id) {
        ChangeMatch match = makeMatch(id, id, 0, id * 7, 0, (uint8_t)(id % 10 != 0));
        storeDoubleAddMatch(&match);
    }
    QueryResult result = runQuery(nullptr);
    ASSERT_FALSE(result.exception.thrown);
    ASSERT_EQ(result.entries.size(), 100000u);
    EXPECT_EQ(result.entries[99999], "00000000000186A000000000000AAE60:186A0:DEL");
    EXPECT_EQ(result.trace.find("WARNING"), std::string::npos);
    EXPECT_EQ(result.trace.find("local refs"), std::string::npos);
    storeDoubleReset();
}

} // namespace
