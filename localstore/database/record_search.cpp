#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "database/change_match_layout.h"
#include "database/database.h"
#include "environment/store_clock.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra {
namespace {

void fillMatch(const SqliteStatement &row, ChangeMatch &match, SearchSummary &summary) {
    ChangeMatchLayout layout{};
    layout.recordId = static_cast<uint32_t>(row.integer(0));
    layout.universalFirst.word[0] = static_cast<uint32_t>(row.integer(1));
    layout.universalFirst.word[1] = static_cast<uint32_t>(row.integer(2));
    layout.universalSecond.word[0] = static_cast<uint32_t>(row.integer(3));
    layout.universalSecond.word[1] = static_cast<uint32_t>(row.integer(4));
    layout.recordClass = static_cast<uint16_t>(row.integer(5));
    layout.modified = stampOf(row.integer(6));
    layout.matchFlags = row.integer(7) == 0 ? CHANGE_MATCH_PRESENT : 0;
    std::memcpy(&match, &layout, sizeof match);

    const std::string title = row.text(8);
    const size_t length = std::min(title.size(), sizeof summary.title - 1);
    std::memcpy(summary.title, title.data(), length);
    summary.title[length] = '\0';
}

}  // namespace

StoreStatus Database::checkIdentity(const SearchRequest &request) {
    // A copy of a database from before instance ids is not the one opened.
    if (!SqliteStatement(*searchConnection_, "SELECT 1 FROM pragma_table_info('store_meta') WHERE name = 'instance_id'")
             .step()) {
        return TESRA_ERR_DATABASE_REPLACED;
    }
    SqliteStatement identity(*searchConnection_,
                             "SELECT coalesce(instance_id, ''), write_seq, last_until FROM store_meta WHERE id = 1");
    if (!identity.step()) return TESRA_ERR_DATABASE_REPLACED;
    // Another store's database copied in.
    if (identity.text(0) != instanceId_) return TESRA_ERR_DATABASE_REPLACED;
    // An older copy of this one: writes this handle has seen are gone. Its
    // records, and what the connections may still hold, are another history.
    if (identity.integer(1) < seenWriteSequence_) return TESRA_ERR_DATABASE_REPLACED;
    // An older copy with as many writes made to it since, or times moved back
    // by repair-times: windows from a since handed out before would skip
    // records. A full listing is right whatever the history.
    if (identity.integer(2) < handedOutUntil_ && !request.fromBeginning) return TESRA_ERR_RESYNCHRONISE;
    seenWriteSequence_ = identity.integer(1);
    return TESRA_OK;
}

StoreStatus Database::search(const SearchRequest &request, StampValue &until) {
    std::lock_guard<std::mutex> searchLock(searchMutex_);
    // The connections keep reading the old, unlinked file after a restore; its windows would never
    // show the writes made to the new one.
    if (!stillAtPath()) return TESRA_ERR_DATABASE_REPLACED;
    // A copy written into the same file (cp, or a restore through another
    // program) leaves the device, the inode and SQLite's log as they were, so
    // pages cached by the connections would still show the database opened.
    // Read every page again; the snapshot then holds what the file holds.
    sqlite3_db_release_memory(connection_->get());
    sqlite3_db_release_memory(searchConnection_->get());
    try {
        const StoreStatus status = searchSnapshot(request, until);
        // Moves what the log holds into the database file, the last until
        // included, once the snapshot is over: readers then read the file
        // itself, as nothing newer is in the log. A copy later written in
        // place of the file is what every connection reads, this one's next
        // search included, instead of lying hidden under pages of the log.
        // Passive: it waits for no one; what another reader still holds
        // stays in the log until the next poll. Only after a search that
        // found its own database: the log of another would overwrite pages
        // of a copy just restored.
        if (status == TESRA_OK) {
            sqlite3_wal_checkpoint_v2(connection_->get(), nullptr, SQLITE_CHECKPOINT_PASSIVE, nullptr, nullptr);
        }
        return status;
    } catch (const StoreError &error) {
        // While a copy is being written the file is short, or partly another
        // database: SQLite finds no database, a damaged one, or tables missing.
        if (error.status() == TESRA_ERR_NOT_A_DATABASE || error.status() == TESRA_ERR_DATABASE_IO) {
            return TESRA_ERR_DATABASE_BEING_WRITTEN;
        }
        throw;
    }
}

// A write in the hundredth of the last until is stamped there, ahead of the
// clock, and the next poll's until goes a hundredth past it: a consumer that
// polls again at once, more often than a hundred times a second under steady
// writes, would pull every later stamp further ahead of the clock, without
// end. So a poll whose until would lie ahead of the clock first waits, two
// hundredths at most, for the clock to reach it. Any failure here is left to
// the search to report.
void Database::waitForClockToReachLastWrite() {
    constexpr StampValue kMostHundredths = 2;
    StampValue ahead = 0;
    try {
        ahead = state().lastWrite + 1 - clockNowBeforeEnd();
    } catch (const StoreError &) {
        return;
    }
    if (ahead > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10 * std::min(ahead, kMostHundredths)));
    }
}

StoreStatus Database::searchSnapshot(const SearchRequest &request, StampValue &until) {
    // Exactly once: the until time is chosen and recorded under the write
    // lock, and the snapshot the rows are read from is taken while that lock
    // is held, so it holds every committed write and nothing else. Each of
    // those writes is stamped at most lastWrite, below until. Every write
    // committed after the lock is released sees last_until and is stamped at
    // or above until: outside this window, in the next one, and invisible to
    // the snapshot even when it changes a record read here. Writers wait only
    // for this short transaction, not for the callback.
    waitForClockToReachLastWrite();
    std::optional<ReadSnapshot> snapshot;
    StampValue newUntil = 0;
    StampValue since = request.fromBeginning ? 0 : request.since;
    {
        std::lock_guard<std::recursive_mutex> lock(mutex_);
        WriteTransaction transaction(*connection_);
        const DatabaseState state = readState();
        snapshot.emplace(*searchConnection_);
        // The database's identity, read in the snapshot the rows come from,
        // before any of its times are taken for this database's.
        if (const StoreStatus identity = checkIdentity(request); identity != TESRA_OK) return identity;
        if (!request.fromBeginning && request.since < state.purgeCutoff) return TESRA_ERR_RESYNCHRONISE;
        // A since before the creation is the checkpoint of a database once at
        // this path, deleted and made anew: its records are not these, and
        // windows from it would never report the old ones gone.
        if (!request.fromBeginning && request.since < state.created) return TESRA_ERR_RESYNCHRONISE;
        // Never before the creation, even with the clock set back since: the
        // next poll from this until must not be taken for an old checkpoint.
        newUntil = std::min(kHighestUntil, std::max({clockNowBeforeEnd(), state.lastWrite + 1, state.lastUntil,
                                                     state.created}));
        // No until handed out was ever later than this one: a since beyond it
        // is a checkpoint from before tesra-admin repair-times moved the
        // times back, whose window would skip the writes since the repair.
        if (!request.fromBeginning && request.since > newUntil) return TESRA_ERR_RESYNCHRONISE;
        // Read in the snapshot the rows come from: a revoke takes effect at
        // the next poll, and it is this file's list that is checked.
        if (request.userName && !admitsThrough(*searchConnection_, *request.userName)) return TESRA_ERR_ACCESS_DENIED;
        SqliteStatement(*connection_, "UPDATE store_meta SET last_until = ?1 WHERE id = 1").bind(1, newUntil).run();
        transaction.commit();
        handedOutUntil_ = newUntil;
    }
    // Writes are stamped below kHighestUntil, but a database written before
    // that rule may hold records at or after it; the window ending there takes them.
    const StampValue end = newUntil == kHighestUntil && since < kHighestUntil ? kLatestStamp + 1 : newUntil;

    SqliteStatement rows(*searchConnection_,
                         "SELECT record_id, unid_w0, unid_w1, unid_w2, unid_w3, record_class, modified, deleted, "
                         "title FROM records WHERE modified >= ?1 AND modified < ?2 AND (record_class & ?3) != 0 "
                         "ORDER BY modified, write_seq");
    rows.bind(1, since).bind(2, end).bind(3, request.classMask);

    const auto &fault = request.fault;
    uint32_t reported = 0;
    ChangeMatch match;
    SearchSummary summary;
    while (rows.step()) {
        if (fault && fault->afterMatches && reported == *fault->afterMatches) return fault->status;
        fillMatch(rows, match, summary);
        const StoreStatus status = request.callback(request.context, &match, &summary);
        if (status != TESRA_OK) return status;
        ++reported;
    }
    if (fault) return fault->status;
    until = newUntil;
    return TESRA_OK;
}

}  // namespace tesra
