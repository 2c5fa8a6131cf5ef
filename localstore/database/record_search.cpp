#include <algorithm>
#include <cstring>

#include "database/change_match_layout.h"
#include "database/database.h"
#include "environment/store_clock.h"
#include "status/status_codes.h"

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

StoreStatus Database::search(const SearchRequest &request, StampValue &until) {
    std::lock_guard<std::recursive_mutex> lock(mutex_);
    // The write lock orders this search against every writer: writes stamped
    // before it are below the until time, writes after it at or above.
    WriteTransaction transaction(*connection_);
    const DatabaseState state = readState();
    if (!request.fromBeginning && request.since < state.purgeCutoff) return TESRA_ERR_RESYNCHRONISE;
    const StampValue newUntil =
        std::min(kLatestStamp, std::max({clockNow(), state.lastWrite + 1, state.lastUntil}));

    SqliteStatement rows(*connection_,
                         "SELECT record_id, unid_w0, unid_w1, unid_w2, unid_w3, record_class, modified, deleted, "
                         "title FROM records WHERE modified >= ?1 AND modified < ?2 AND (record_class & ?3) != 0 "
                         "ORDER BY modified, write_seq");
    rows.bind(1, request.fromBeginning ? 0 : request.since).bind(2, newUntil).bind(3, request.classMask);

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

    SqliteStatement(*connection_, "UPDATE store_meta SET last_until = ?1 WHERE id = 1").bind(1, newUntil).run();
    transaction.commit();
    until = newUntil;
    return TESRA_OK;
}

}  // namespace tesra
