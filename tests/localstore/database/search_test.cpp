#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "database/change_match_layout.h"
#include "database/database.h"
#include "environment/store_clock.h"
#include "status/status_codes.h"
#include "store_fixture.h"
#include "time/calendar.h"

namespace tesra::testing {
namespace {


// 2025-03-15 12:00:00.00
constexpr StampValue kNoon = 739325 * kHundredthsPerDay + 12 * 360000;

class SearchTest : public OpenDatabaseFixture {
protected:
    SearchTest() : OpenDatabaseFixture(kNoon) {}

    std::map<uint32_t, RecordRow> rows() {
        std::map<uint32_t, RecordRow> all;
        writer_->listRecords(true, [&](const RecordRow &row) { all[row.recordId] = row; });
        return all;
    }
};

std::vector<uint32_t> idsOf(const SearchResult &result) {
    std::vector<uint32_t> ids;
    for (const auto &reported : result.matches) ids.push_back(reported.match.recordId);
    return ids;
}

TEST_F(SearchTest, ReportsInModificationOrderWithPresentAndDeletedFlags) {
    const uint32_t first = writer_->addRecord(kClassDocument, "first").recordId;
    const uint32_t second = writer_->addRecord(kClassDocument, "second").recordId;
    const uint32_t form = writer_->addRecord(kClassForm, "a form").recordId;
    g_now += 100;
    writer_->changeRecord(first);
    writer_->deleteRecord(second);

    const SearchResult all = searchAll(handle_, beginning());
    ASSERT_EQ(all.status, TESRA_OK);
    EXPECT_EQ(idsOf(all), (std::vector<uint32_t>{form, first, second}));
    EXPECT_EQ(all.matches[0].match.matchFlags, CHANGE_MATCH_PRESENT);
    EXPECT_EQ(all.matches[1].match.matchFlags, CHANGE_MATCH_PRESENT);
    EXPECT_EQ(all.matches[2].match.matchFlags, 0);
    EXPECT_EQ(all.matches[0].title, "a form");
    EXPECT_EQ(all.matches[2].title, "");
    EXPECT_EQ(stampValueOf(all.until), kNoon + 101) << "just above the last write";

    const SearchResult documents = searchAll(handle_, beginning(), kClassDocument);
    EXPECT_EQ(idsOf(documents), (std::vector<uint32_t>{first, second}));
    EXPECT_TRUE(searchAll(handle_, beginning(), kClassView).matches.empty());
    EXPECT_TRUE(searchAll(handle_, beginning(), 0).matches.empty());
}

TEST_F(SearchTest, SinceIsInclusiveAndUntilExclusive) {
    const uint32_t early = writer_->addRecord(kClassDocument, "").recordId;
    g_now += 50;
    const uint32_t late = writer_->addRecord(kClassDocument, "").recordId;

    EXPECT_EQ(idsOf(searchAll(handle_, stampOf(kNoon))), (std::vector<uint32_t>{early, late}));
    EXPECT_EQ(idsOf(searchAll(handle_, stampOf(kNoon + 1))), (std::vector<uint32_t>{late}));
    EXPECT_EQ(idsOf(searchAll(handle_, stampOf(kNoon + 50))), (std::vector<uint32_t>{late}));
    const SearchResult after = searchAll(handle_, stampOf(kNoon + 51));
    EXPECT_TRUE(after.matches.empty());

    // a write stamped exactly at the until time belongs to the next poll
    const uint32_t next = writer_->addRecord(kClassDocument, "").recordId;
    EXPECT_EQ(writer_->state().lastWrite, stampValueOf(after.until));
    EXPECT_EQ(idsOf(searchAll(handle_, after.until)), (std::vector<uint32_t>{next}));
}

TEST_F(SearchTest, AFileReplacedAtTheDatabasesPathFailsTheSearchWithItsOwnStatus) {
    const std::string path = writer_->path();
    ASSERT_EQ(searchAll(handle_, beginning()).status, TESRA_OK);
    Database::create(path + ".restored", {});
    ASSERT_EQ(std::rename((path + ".restored").c_str(), path.c_str()), 0);
    EXPECT_EQ(searchAll(handle_, beginning()).status, TESRA_ERR_DATABASE_REPLACED);
}

// A copy written into the database's own file keeps its device and inode:
// a byte copy as cp makes it, SQLite's backup functions as its .restore uses
// them, an older copy and another store's database are each told by the
// identity the search's snapshot reads. A poll while the copy is still being
// written fails with a status to try again, and reads no half database.
TEST_F(SearchTest, ADatabaseRestoredInItsOwnFileIsNoticedAndAPartialCopyIsRetried) {
    const std::string older = directory_ / "older.tdb";
    const std::string other = directory_ / "other.tdb";
    writer_->addRecords(2, kClassDocument, "kept");
    ASSERT_EQ(searchAll(handle_, beginning()).status, TESRA_OK);
    writeFile(older, readFile(databasePath_));  // the file holds every write once a poll is over
    Database::create(other, {kUser});
    Database::open(other)->addRecords(5, kClassDocument, "theirs");
    g_now += 100;
    writer_->addRecords(3, kClassDocument, "after the copy");
    const SearchResult seen = searchAll(handle_, beginning());
    ASSERT_EQ(seen.matches.size(), 5u);
    const std::string newer = readFile(databasePath_);
    const auto reopened = [&] {
        EXPECT_EQ(storeCloseDatabase(handle_), TESRA_OK);
        handle_ = openMain();
        return searchAll(handle_, beginning());
    };

    // cp of the older copy: first its first page alone, then all of it
    const std::string olderBytes = readFile(older);
    writeFile(databasePath_, olderBytes.substr(0, 4096));
    EXPECT_EQ(searchAll(handle_, seen.until).status, TESRA_ERR_DATABASE_BEING_WRITTEN);
    writeFile(databasePath_, "");
    EXPECT_EQ(searchAll(handle_, seen.until).status, TESRA_ERR_DATABASE_BEING_WRITTEN);
    writeFile(databasePath_, olderBytes);
    const SearchResult restored = searchAll(handle_, seen.until);
    EXPECT_EQ(restored.status, TESRA_ERR_DATABASE_REPLACED);
    EXPECT_TRUE(restored.matches.empty());
    EXPECT_EQ(searchAll(handle_, beginning()).status, TESRA_ERR_DATABASE_REPLACED) << "until it is opened again";
    EXPECT_EQ(reopened().matches.size(), 2u) << "the older copy's records";

    // another store's database copied in
    writeFile(databasePath_, readFile(other));
    EXPECT_EQ(searchAll(handle_, beginning()).status, TESRA_ERR_DATABASE_REPLACED);
    EXPECT_EQ(reopened().matches.size(), 5u);

    // SQLite's backup functions writing the older copy through a connection
    writeFile(databasePath_, newer);
    ASSERT_EQ(reopened().matches.size(), 5u);
    const auto restoreThroughSqlite = [&] {
        SqliteConnection source(older, SQLITE_OPEN_READONLY);
        SqliteConnection target(databasePath_, SQLITE_OPEN_READWRITE);
        sqlite3_backup *backup = sqlite3_backup_init(target.get(), "main", source.get(), "main");
        ASSERT_NE(backup, nullptr) << sqlite3_errmsg(target.get());
        EXPECT_EQ(sqlite3_backup_step(backup, -1), SQLITE_DONE);
        EXPECT_EQ(sqlite3_backup_finish(backup), SQLITE_OK);
    };
    restoreThroughSqlite();
    EXPECT_EQ(searchAll(handle_, beginning()).status, TESRA_ERR_DATABASE_REPLACED);
    EXPECT_EQ(reopened().matches.size(), 2u);

    // an older copy that has had as many writes since as this handle saw:
    // the last until went back, and a window from the handle's until would
    // skip the writes made to the copy before it
    writeFile(databasePath_, newer);
    const SearchResult before = reopened();
    ASSERT_EQ(before.matches.size(), 5u);
    restoreThroughSqlite();
    Database::open(databasePath_)->addRecords(4, kClassDocument, "made to the restored copy");
    EXPECT_EQ(searchAll(handle_, before.until).status, TESRA_ERR_RESYNCHRONISE);
    const SearchResult listed = searchAll(handle_, beginning());
    ASSERT_EQ(listed.status, TESRA_OK);
    EXPECT_EQ(listed.matches.size(), 6u);
    EXPECT_EQ(searchAll(handle_, listed.until).status, TESRA_OK) << "the full listing's until is a checkpoint again";

    // a newer copy of this database, written elsewhere and copied back: the
    // same history, read whole, the poll's own write included
    const std::string away = directory_ / "away.tdb";
    const SearchResult last = reopened();
    writeFile(away, readFile(databasePath_));
    Database::open(away)->addRecords(2, kClassDocument, "written away");
    const int64_t writesAway = Database::open(away)->state().writeSequence;
    writeFile(databasePath_, readFile(away));
    const SearchResult back = searchAll(handle_, last.until);
    ASSERT_EQ(back.status, TESRA_OK);
    EXPECT_EQ(back.matches.size(), 2u);
    EXPECT_EQ(Database::open(databasePath_)->state().writeSequence, writesAway)
        << "the poll's last until written over the copy's writes";
}

TEST_F(SearchTest, MatchCarriesTheUniversalIdentifierAndZeroesUnusedBytes) {
    const RecordWrite write = writer_->addRecord(kClassForm, "");
    g_now += 7;
    writer_->deleteRecord(write.recordId);
    const RecordRow row = rows().at(write.recordId);

    const SearchResult result = searchAll(handle_, beginning());
    ASSERT_EQ(result.matches.size(), 1u);
    const ChangeMatch &match = result.matches[0].match;
    EXPECT_EQ(match.universalFirst.word[0], row.universalId[0]);
    EXPECT_EQ(match.universalFirst.word[1], row.universalId[1]);
    EXPECT_EQ(match.universalSecond.word[0], row.universalId[2]);
    EXPECT_EQ(match.universalSecond.word[1], row.universalId[3]);
    EXPECT_EQ(stampValueOf(match.universalFirst), write.stamp) << "first stamp is the creation time";

    ChangeMatchLayout layout;
    std::memcpy(&layout, &match, sizeof layout);
    EXPECT_EQ(stampValueOf(layout.modified), kNoon + 7) << "deletion time";
    EXPECT_EQ(layout.recordClass, kClassForm);
    for (uint8_t byte : layout.unused0) EXPECT_EQ(byte, 0);
    for (uint8_t byte : layout.unused1) EXPECT_EQ(byte, 0);
    for (uint8_t byte : layout.unused2) EXPECT_EQ(byte, 0);
}

TEST_F(SearchTest, UniversalIdentifiersAreUniqueAndRecordIdsAscendNeverReused) {
    writer_->addRecords(20, kClassDocument, "");
    writer_->deleteRecord(20);
    writer_->purgeDeletedBefore(kNoon + 1);
    const uint32_t after = writer_->addRecord(kClassDocument, "").recordId;
    EXPECT_EQ(after, 21u) << "the purged id 20 must not come back";

    std::set<std::vector<uint32_t>> identifiers;
    for (const auto &[id, row] : rows()) {
        identifiers.insert({row.universalId[0], row.universalId[1], row.universalId[2], row.universalId[3]});
    }
    EXPECT_EQ(identifiers.size(), 20u);
}

TEST_F(SearchTest, CallbackStatusStopsTheSearch) {
    writer_->addRecords(5, kClassDocument, "");
    int calls = 0;
    const StoreTimestamp since = beginning();
    StoreTimestamp until{{9, 9}};
    const StoreStatus status = storeSearch(
        handle_, 0, nullptr, 0, 0xFFFF, &since,
        [](void *context, const ChangeMatch *, void *) -> StoreStatus {
            return ++*static_cast<int *>(context) == 2 ? 0x0999 : 0;
        },
        &calls, &until);
    EXPECT_EQ(status, 0x0999);
    EXPECT_EQ(calls, 2);
    EXPECT_EQ(until.word[0], 9u) << "no until time from a stopped search";
}

TEST_F(SearchTest, RefusesBadArguments) {
    const StoreTimestamp since = beginning();
    StoreTimestamp until;
    auto noop = [](void *, const ChangeMatch *, void *) -> StoreStatus { return 0; };
    EXPECT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, nullptr, noop, nullptr, &until), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, &since, nullptr, nullptr, &until), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, &since, noop, nullptr, nullptr), TESRA_ERR_NULL_ARGUMENT);
    EXPECT_EQ(storeSearch(handle_, 7, nullptr, 0, 0xFFFF, &since, noop, nullptr, &until), TESRA_ERR_BAD_FORMULA);
    const StoreTimestamp badSince{{8640000, 739325}};
    EXPECT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, &badSince, noop, nullptr, &until), TESRA_ERR_STAMP_INVALID);
    storeTerm();
    EXPECT_EQ(storeSearch(handle_, 0, nullptr, 0, 0xFFFF, &since, noop, nullptr, &until), TESRA_ERR_NOT_STARTED);
}

TEST_F(SearchTest, CallbackMayCloseTheDatabaseItIsSearching) {
    writer_->addRecords(3, kClassDocument, "");
    struct Context {
        StoreHandle handle;
        int calls;
    } context{handle_, 0};
    const StoreTimestamp since = beginning();
    StoreTimestamp until;
    const StoreStatus status = storeSearch(
        handle_, 0, nullptr, 0, 0xFFFF, &since,
        [](void *raw, const ChangeMatch *, void *) -> StoreStatus {
            auto *c = static_cast<Context *>(raw);
            if (c->calls++ == 0) storeCloseDatabase(c->handle);
            return 0;
        },
        &context, &until);
    EXPECT_EQ(status, TESRA_OK);
    EXPECT_EQ(context.calls, 3);
    EXPECT_EQ(storeCloseDatabase(handle_), TESRA_ERR_BAD_HANDLE);
}

}  // namespace
}  // namespace tesra::testing
