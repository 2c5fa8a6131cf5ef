#include "database/database.h"
#include "environment/store_clock.h"
#include "status/status_codes.h"
#include "store_fixture.h"
#include "time/calendar.h"

namespace tesra::testing {
namespace {


constexpr StampValue kStart = 739325 * kHundredthsPerDay;

class PurgeTest : public FixedClockFixture {
protected:
    PurgeTest() : FixedClockFixture(kStart) {}
};

TEST_F(PurgeTest, PurgesOnlyOldDeletionRecordsAndRefusesOlderSinceTimes) {
    start();
    const StoreHandle handle = openMain();
    auto writer = Database::open(databasePath_);
    const uint32_t oldStub = writer->addRecord(kClassDocument, "").recordId;
    const uint32_t oldPresent = writer->addRecord(kClassDocument, "").recordId;
    writer->deleteRecord(oldStub);
    g_now = kStart + 200;
    const uint32_t newStub = writer->addRecord(kClassDocument, "").recordId;
    writer->deleteRecord(newStub);

    EXPECT_EQ(writer->purgeDeletedBefore(kStart + 100), 1);
    EXPECT_EQ(writer->state().purgeCutoff, kStart + 100);

    EXPECT_EQ(searchAll(handle, stampOf(kStart + 99)).status, TESRA_ERR_RESYNCHRONISE);
    EXPECT_TRUE(searchAll(handle, stampOf(kStart + 99)).matches.empty());

    const SearchResult fromCutoff = searchAll(handle, stampOf(kStart + 100));
    ASSERT_EQ(fromCutoff.status, TESRA_OK);
    ASSERT_EQ(fromCutoff.matches.size(), 1u);
    EXPECT_EQ(fromCutoff.matches[0].match.recordId, newStub);

    const SearchResult full = searchAll(handle, beginning());
    ASSERT_EQ(full.status, TESRA_OK) << "a full listing needs no deletion records";
    ASSERT_EQ(full.matches.size(), 2u);
    EXPECT_EQ(full.matches[0].match.recordId, oldPresent);
    EXPECT_EQ(full.matches[1].match.recordId, newStub);
}

TEST_F(PurgeTest, CutoffNeverMovesBackwards) {
    auto writer = Database::open(databasePath_);
    writer->purgeDeletedBefore(kStart + 500);
    writer->purgeDeletedBefore(kStart + 100);
    EXPECT_EQ(writer->state().purgeCutoff, kStart + 500);
}

}  // namespace
}  // namespace tesra::testing
