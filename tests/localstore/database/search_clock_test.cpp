#include <atomic>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>

#include "database/change_match_layout.h"
#include "database/database.h"
#include "database/sqlite_handle.h"
#include "environment/store_clock.h"
#include "status/status_codes.h"
#include "status/store_error.h"
#include "store_fixture.h"
#include "time/calendar.h"

namespace tesra::testing {
namespace {


constexpr StampValue kStart = 739325 * kHundredthsPerDay;  // 2025-03-15 00:00:00.00

class SearchClockTest : public OpenDatabaseFixture {
protected:
    SearchClockTest() : OpenDatabaseFixture(kStart) {}
};

TEST_F(SearchClockTest, WritesAfterABackwardStepLandAtOrAfterTheLastUntil) {
    writer_->addRecord(kClassDocument, "");
    g_now = kStart + 1000;
    const SearchResult poll = searchAll(handle_, beginning());
    ASSERT_EQ(poll.status, TESRA_OK);
    EXPECT_EQ(stampValueOf(poll.until), kStart + 1000);

    g_now = kStart + 10;  // the clock steps back
    const RecordWrite write = writer_->addRecord(kClassDocument, "");
    EXPECT_EQ(write.stamp, stampValueOf(poll.until));

    const SearchResult next = searchAll(handle_, poll.until);
    ASSERT_EQ(next.status, TESRA_OK);
    ASSERT_EQ(next.matches.size(), 1u);
    EXPECT_EQ(next.matches[0].match.recordId, write.recordId);
    EXPECT_GT(stampValueOf(next.until), stampValueOf(poll.until)) << "until never goes backwards";
}

TEST_F(SearchClockTest, ClockOffsetVariableIsReadAtEachCall) {
    const RecordWrite before = writer_->addRecord(kClassDocument, "");
    {
        ScopedEnvironment offset("TESRA_CLOCK_OFFSET", "360000");  // one hour ahead
        const SearchResult poll = searchAll(handle_, beginning());
        EXPECT_EQ(stampValueOf(poll.until), kStart + 360000);
    }
    ScopedEnvironment offset("TESRA_CLOCK_OFFSET", "-360000");
    const RecordWrite after = writer_->addRecord(kClassDocument, "");
    EXPECT_EQ(before.stamp, kStart);
    EXPECT_EQ(after.stamp, kStart + 360000) << "held at the last until despite the clock an hour behind";
}

// A clock at the end records nothing; times a clock far ahead left behind
// are moved back by repairTimes, and checkpoints from before resynchronise.
TEST_F(SearchClockTest, AClockAtTheEndRecordsNothingAndRepairMovesTimesBack) {
    g_now = kHighestUntil - 1;
    const RecordWrite last = writer_->addRecord(kClassDocument, "last");
    EXPECT_EQ(last.stamp, kHighestUntil - 1);
    const SearchResult ahead = searchAll(handle_, beginning());
    ASSERT_EQ(ahead.matches.size(), 1u);
    EXPECT_EQ(stampValueOf(ahead.until), kHighestUntil) << "no until at the last timestamp";

    g_now = kLatestStamp;  // where the clock stays for any later time
    const DatabaseState before = writer_->state();
    EXPECT_EQ(statusOf([&] { writer_->addRecords(2, kClassDocument, ""); }), TESRA_ERR_CLOCK_AT_END);
    EXPECT_EQ(searchAll(handle_, ahead.until).status, TESRA_ERR_CLOCK_AT_END);
    EXPECT_EQ(writer_->state().lastUntil, before.lastUntil) << "a refused poll records nothing";
    EXPECT_EQ(writer_->state().writeSequence, before.writeSequence) << "a refused write changes nothing";

    g_now = kStart;  // a correct clock, after the damage
    EXPECT_EQ(statusOf([&] { writer_->changeRecord(last.recordId); }), TESRA_ERR_STAMPS_EXHAUSTED);
    // a record stamped at the last moment by an older library still shows, once
    SqliteConnection(databasePath_, SQLITE_OPEN_READWRITE)
        .execute(("UPDATE records SET modified = " + std::to_string(kLatestStamp)).c_str());
    const SearchResult again = searchAll(handle_, beginning());
    ASSERT_EQ(again.matches.size(), 1u);
    EXPECT_TRUE(searchAll(handle_, again.until).matches.empty());

    const TimesAhead found = writer_->timesAhead();
    EXPECT_TRUE(found.records == 1 && found.lastUntil && found.lastWrite && !found.purgeCutoff);
    EXPECT_EQ(found.latest, kLatestStamp);
    const TimesAhead moved = writer_->repairTimes();
    EXPECT_EQ(moved.records, 1);
    EXPECT_FALSE(writer_->timesAhead().any());
    const DatabaseState repaired = writer_->state();
    EXPECT_TRUE(repaired.lastUntil == kStart && repaired.lastWrite == kStart);
    EXPECT_EQ(writer_->addRecord(kClassDocument, "").stamp, kStart) << "writes are stamped by the clock again";
    EXPECT_EQ(searchAll(handle_, again.until).status, TESRA_ERR_RESYNCHRONISE)
        << "a checkpoint from before the repair would skip the writes since";
    const SearchResult all = searchAll(handle_, beginning());
    ASSERT_EQ(all.matches.size(), 2u);
    ChangeMatchLayout moved0;
    std::memcpy(&moved0, &all.matches[0].match, sizeof moved0);
    EXPECT_EQ(stampValueOf(moved0.modified), kStart);
}

// A purge made with a clock ahead leaves a cut-off that would refuse every
// checkpoint the correct clock hands out, and a database made with it a
// creation time every until is held at; the repair moves both back.
TEST_F(SearchClockTest, RepairMovesAPurgeCutOffAndACreationTimeAheadBack) {
    g_now = kStart + kHundredthsPerDay;  // a day ahead
    writer_->deleteRecord(writer_->addRecord(kClassDocument, "").recordId);
    writer_->purgeDeletedBefore(g_now + 1);
    SqliteConnection(databasePath_, SQLITE_OPEN_READWRITE)
        .execute(("UPDATE store_meta SET created = " + std::to_string(g_now)).c_str());

    g_now = kStart;
    const TimesAhead found = writer_->timesAhead();
    EXPECT_TRUE(found.purgeCutoff && found.created);
    const TimesAhead moved = writer_->repairTimes();
    EXPECT_TRUE(moved.purgeCutoff && moved.created);
    EXPECT_EQ(writer_->state().purgeCutoff, kStart);
    EXPECT_EQ(writer_->state().created, kStart);
    EXPECT_FALSE(writer_->timesAhead().any());
    const SearchResult full = searchAll(handle_, beginning());
    ASSERT_EQ(full.status, TESRA_OK);
    EXPECT_EQ(stampValueOf(full.until), kStart + 1) << "untils follow the clock again";
    EXPECT_EQ(searchAll(handle_, full.until).status, TESRA_OK) << "a checkpoint after the repair";
}

// A consumer's checkpoint from a database deleted and made anew under the
// same name (or restored) says nothing about the new one's records: its next
// poll is refused, so that it lists everything again. The new database's own
// checkpoints are never taken for old ones, even with the clock set back.
TEST_F(SearchClockTest, ACheckpointFromBeforeTheDatabaseWasMadeAsksForAFullListing) {
    writer_->addRecord(kClassDocument, "old");
    const SearchResult old = searchAll(handle_, beginning());
    ASSERT_EQ(old.status, TESRA_OK);

    auto closeAll = [&] {
        ASSERT_EQ(storeCloseDatabase(handle_), TESRA_OK);
        writer_.reset();
    };
    auto openAll = [&] {
        writer_ = Database::open(databasePath_);
        handle_ = openMain();
    };
    closeAll();
    g_now = kStart + 6000;
    ASSERT_EQ(std::remove(databasePath_.c_str()), 0);
    Database::create(databasePath_, {kUser});
    openAll();
    EXPECT_EQ(writer_->state().created, kStart + 6000);

    ScopedEnvironment setBack("TESRA_CLOCK_OFFSET", "-3000");  // the clock steps back below the creation
    writer_->addRecord(kClassDocument, "new");
    const SearchResult refused = searchAll(handle_, old.until);
    EXPECT_EQ(refused.status, TESRA_ERR_RESYNCHRONISE);
    EXPECT_TRUE(refused.matches.empty());
    EXPECT_EQ(searchAll(handle_, stampOf(kEarliestStamp)).matches.size(), 1u) << "0001-01-01 is everything too";
    const SearchResult full = searchAll(handle_, beginning());
    ASSERT_EQ(full.status, TESRA_OK);
    ASSERT_EQ(full.matches.size(), 1u);
    EXPECT_EQ(full.matches[0].title, "new");
    EXPECT_GE(stampValueOf(full.until), kStart + 6000) << "no until before the creation";
    const RecordWrite next = writer_->addRecord(kClassDocument, "next");
    const SearchResult followed = searchAll(handle_, full.until);
    ASSERT_EQ(followed.status, TESRA_OK) << "the new database's own checkpoint";
    ASSERT_EQ(followed.matches.size(), 1u);
    EXPECT_EQ(followed.matches[0].match.recordId, next.recordId);

    // A database made before creation times were kept has none, and gets
    // none at its open: every checkpoint goes on working.
    closeAll();
    SqliteConnection(databasePath_, SQLITE_OPEN_READWRITE).execute("ALTER TABLE store_meta DROP COLUMN created");
    openAll();
    const SearchResult unchecked = searchAll(handle_, old.until);
    EXPECT_EQ(unchecked.status, TESRA_OK);
    EXPECT_EQ(unchecked.matches.size(), 2u);
    EXPECT_EQ(writer_->state().created, 0);
    EXPECT_FALSE(writer_->repairTimes().created);
    SqliteConnection upgraded(databasePath_, SQLITE_OPEN_READONLY);
    EXPECT_FALSE(SqliteStatement(upgraded, "SELECT 1 FROM pragma_table_info('store_meta') WHERE name = 'created'").step());
}

// A poll's callback runs without the write lock: a writer in another
// connection goes ahead at once and its writes come in the next poll.
TEST_F(SearchClockTest, WritesDuringAPollDoNotWaitForItAndComeInTheNextPoll) {
    writer_->addRecords(3, kClassDocument, "");
    struct Poll {
        Database *writer;
        std::vector<uint32_t> reported;
        std::string writeError;
    } poll{writer_.get(), {}, {}};
    auto duringPoll = [](void *context, const ChangeMatch *match, void *) -> StoreStatus {
        auto &poll = *static_cast<Poll *>(context);
        poll.reported.push_back(match->recordId);
        if (poll.reported.size() == 1) {
            try {
                poll.writer->changeRecord(3);
                poll.writer->addRecord(kClassDocument, "");
            } catch (const StoreError &error) {
                poll.writeError = error.what();
            }
        }
        return 0;
    };
    StoreTimestamp since = beginning(), until{};
    ASSERT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, &since, duringPoll, &poll, &until), TESRA_OK);
    EXPECT_EQ(poll.writeError, "");
    EXPECT_EQ(poll.reported, (std::vector<uint32_t>{1, 2, 3}));
    const SearchResult next = searchAll(handle_, until);
    ASSERT_EQ(next.matches.size(), 2u);
    EXPECT_EQ(next.matches[0].match.recordId, 3u);
    EXPECT_EQ(next.matches[1].match.recordId, 4u);
}

// Every poll must report exactly the records written since the previous poll.
TEST_F(SearchClockTest, ConsecutivePollsMissNothingAndRepeatNothingWhileTheClockJumps) {
    std::mt19937_64 random(20240229);
    std::set<uint32_t> present;
    std::set<uint32_t> writtenSincePoll;
    StoreTimestamp since = beginning();
    for (int step = 0; step < 400; ++step) {
        g_now = std::max<StampValue>(kEarliestStamp, g_now + std::uniform_int_distribution<int>(-300, 400)(random));
        const int choice = std::uniform_int_distribution<int>(0, 9)(random);
        if (choice < 4 || present.empty()) {
            const uint32_t id = writer_->addRecord(kClassDocument, "").recordId;
            present.insert(id);
            writtenSincePoll.insert(id);
        } else if (choice < 6) {
            const uint32_t id = *std::next(present.begin(), random() % present.size());
            writer_->changeRecord(id);
            writtenSincePoll.insert(id);
        } else if (choice < 8) {
            const uint32_t id = *std::next(present.begin(), random() % present.size());
            writer_->deleteRecord(id);
            present.erase(id);
            writtenSincePoll.insert(id);
        } else {
            const SearchResult poll = searchAll(handle_, since);
            ASSERT_EQ(poll.status, TESRA_OK);
            std::set<uint32_t> reported;
            for (const auto &reportedMatch : poll.matches) {
                const uint32_t id = reportedMatch.match.recordId;
                ASSERT_TRUE(reported.insert(id).second) << "record " << id << " reported twice at step " << step;
                EXPECT_EQ((reportedMatch.match.matchFlags & CHANGE_MATCH_PRESENT) != 0, present.count(id) == 1);
            }
            ASSERT_EQ(reported, writtenSincePoll) << "at step " << step;
            writtenSincePoll.clear();
            since = poll.until;
        }
    }
}

// The admin command churns in another process while this one polls; the log
// of committed writes must agree with what the polls reported, window by window.
TEST_F(SearchClockTest, PollsAgreeWithAWriterInAnotherProcess) {
    setClockSource(nullptr);
    const std::string log = directory_ / "churn.log";
    const std::string command = std::string(TESRA_ADMIN_PATH) + " churn main.tdb --rate 400 --seconds 2 --seed 7 --log " +
                                log + " >/dev/null";
    std::thread churn([&] { EXPECT_EQ(std::system(command.c_str()), 0); });

    struct Window {
        StampValue since, until;
        std::map<uint32_t, ChangeMatchLayout> reported;
    };
    std::vector<Window> windows;
    StoreTimestamp since = beginning();
    auto poll = [&] {
        const SearchResult result = searchAll(handle_, since);
        ASSERT_EQ(result.status, TESRA_OK);
        Window window{stampValueOf(since), stampValueOf(result.until), {}};
        for (const auto &reported : result.matches) {
            ChangeMatchLayout layout;
            std::memcpy(&layout, &reported.match, sizeof layout);
            ASSERT_TRUE(window.reported.emplace(layout.recordId, layout).second) << "reported twice";
        }
        windows.push_back(window);
        since = result.until;
    };
    for (int i = 0; i < 40; ++i) {
        poll();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    churn.join();
    poll();

    // the latest logged write of each record within each window
    std::vector<std::map<uint32_t, std::pair<std::string, StampValue>>> expected(windows.size());
    std::ifstream lines(log);
    std::string operation, id, date, time;
    uint32_t word1 = 0, word0 = 0;
    size_t logged = 0;
    while (lines >> operation >> id >> date >> time >> word1 >> word0) {
        ++logged;
        const StampValue stamp = stampValueOf(StoreTimestamp{{word0, word1}});
        size_t w = 0;
        while (w < windows.size() && !(stamp >= windows[w].since && stamp < windows[w].until)) ++w;
        ASSERT_LT(w, windows.size()) << "write " << operation << " " << id << " falls in no window";
        expected[w][static_cast<uint32_t>(std::stoul(id, nullptr, 16))] = {operation, stamp};
    }
    // churn may fall short of its rate on a loaded machine; what it logged must still agree
    EXPECT_GT(logged, 400u);
    size_t nonEmptyWindows = 0;
    for (size_t w = 0; w < windows.size(); ++w) {
        ASSERT_EQ(windows[w].reported.size(), expected[w].size()) << "window " << w;
        nonEmptyWindows += expected[w].empty() ? 0 : 1;
        for (const auto &[recordId, write] : expected[w]) {
            const auto found = windows[w].reported.find(recordId);
            ASSERT_NE(found, windows[w].reported.end()) << "record " << recordId << " missed in window " << w;
            EXPECT_EQ(stampValueOf(found->second.modified), write.second);
            EXPECT_EQ(found->second.matchFlags == 0, write.first == "delete");
        }
    }
    EXPECT_GT(nonEmptyWindows, 5u) << "polls and writes should interleave";
}

// Polls at once after each other, under a steady writer in another process:
// each poll's until stays within a few hundredths of the clock, where polls
// more often than a hundred a second used to pull it ever further ahead.
TEST_F(SearchClockTest, PollsInATightLoopKeepTheirUntilsNearTheClock) {
    setClockSource(nullptr);
    const std::string command = std::string(TESRA_ADMIN_PATH) + " churn main.tdb --rate 1000 --seconds 2 --seed 3 >/dev/null";
    std::atomic<bool> writing{true};
    std::thread churn([&] {
        EXPECT_EQ(std::system(command.c_str()), 0);
        writing = false;
    });
    StoreTimestamp since = beginning();
    StampValue mostAhead = 0;
    int polls = 0;
    while (writing) {
        const SearchResult result = searchAll(handle_, since);
        ASSERT_EQ(result.status, TESRA_OK);
        mostAhead = std::max(mostAhead, stampValueOf(result.until) - clockNowBeforeEnd());
        since = result.until;
        ++polls;
    }
    churn.join();
    EXPECT_GT(polls, 20);
    EXPECT_LE(mostAhead, 3) << "hundredths an until lay ahead of the clock, in " << polls << " polls";
}

}  // namespace
}  // namespace tesra::testing
