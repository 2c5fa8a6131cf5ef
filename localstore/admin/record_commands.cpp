// add, change, delete, list, info and purge: reading and writing the records of a database.
#include <cstdio>
#include <functional>
#include <iostream>
#include <random>
#include <set>

#include "admin/command.h"
#include "admin/output_text.h"
#include "environment/store_clock.h"
#include "admin/progress.h"
#include "status/status_codes.h"
#include "status/store_error.h"

namespace tesra::admin {
namespace {

constexpr uint64_t kMaxRecordsAtOnce = 100000000;

const char *const kAllOrNothingHelp =
    "Each record is a write of its own with its own stamp, and all are made in one\n"
    "transaction: when a record is missing or deleted, none is changed; a record id\n"
    "given twice is refused before anything is done.\n";

const char *const kWriteLineHelp =
    "Each write prints a line: OPERATION RECORD_ID YYYY-MM-DD HH:MM:SS.hh DAY HUNDREDTHS,\n"
    "the time the write was stamped with, then that stamp's two words in decimal; with\n"
    "--json, an object with operation, record_id, modified, day and hundredths.\n";

std::string hex(uint32_t value, int digits) {
    char text[12];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

uint16_t parseClass(const std::string &text) {
    const bool isHex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    if (!isHex) return static_cast<uint16_t>(parseNumber(text, "--class", 1, 0xFFFF));
    const std::string digits = text.substr(2);
    if (digits.empty() || digits.size() > 4 || digits.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos ||
        std::stoul(digits, nullptr, 16) == 0) {
        throw UsageError("--class must be a non-zero 16-bit number");
    }
    return static_cast<uint16_t>(std::stoul(digits, nullptr, 16));
}

void printWrites(const char *operation, const std::vector<RecordWrite> &writes, bool json) {
    for (const RecordWrite &write : writes) std::cout << (json ? writeJson(operation, write) : writeLine(operation, write) + "\n");
}

int runAdd(const Arguments &arguments) {
    const auto count = arguments.number("count", 1, kMaxRecordsAtOnce).value_or(1);
    const uint16_t recordClass =
        arguments.option("class") ? parseClass(*arguments.option("class")) : uint16_t{kClassDocument};
    auto database = openNamedDatabase(arguments);
    Progress progress("add", "records", count, arguments.has("progress"));
    const auto writes = database->addRecords(count, recordClass, arguments.option("title").value_or("Document"),
                                             [&](size_t done) { progress.update(done); });
    progress.finish(count);
    printWrites("add", writes, arguments.has("json"));
    return 0;
}

// change and delete: listed record ids, or --random N present records; all
// in one transaction, so that one missing or deleted record changes nothing.
int modifyRecords(const Arguments &arguments, const char *operation,
                  const std::function<std::vector<RecordWrite>(Database &, const std::vector<uint32_t> &,
                                                               const std::function<void(size_t)> &)> &modify) {
    std::vector<uint32_t> ids;
    const auto randomCount = arguments.number("random", 1, kMaxRecordsAtOnce);
    if (randomCount && arguments.operands().size() != 1) throw UsageError("give record ids or --random, not both");
    if (!randomCount && arguments.operands().size() < 2) throw UsageError("expected record ids or --random N");
    if (arguments.option("seed") && !randomCount) throw UsageError("--seed goes with --random");
    std::set<uint32_t> seen;
    for (size_t i = 1; i < arguments.operands().size(); ++i) {
        ids.push_back(parseRecordId(arguments.operands()[i]));
        if (!seen.insert(ids.back()).second) {
            throw UsageError("record " + recordIdText(ids.back()) + " is given twice; nothing was changed");
        }
    }
    const auto seed = arguments.number("seed", 0, UINT64_MAX);

    auto database = openNamedDatabase(arguments);
    if (randomCount) {
        std::mt19937_64 random(seed.value_or(std::random_device{}()));
        ids = database->pickPresentRecords(*randomCount, random);
    }
    Progress progress(operation, "records", ids.size(), arguments.has("progress"));
    std::vector<RecordWrite> writes;
    try {
        writes = modify(*database, ids, [&](size_t done) { progress.update(done); });
    } catch (const StoreError &error) {
        const std::string unchanged = ids.size() > 1 ? "; none of the records was changed" : "";
        if (error.status() == TESRA_ERR_NO_SUCH_RECORD) {
            throw StoreError(error.status(), std::string(error.what()) + unchanged + "; tesra-admin list " +
                                                 arguments.operands().front() + " --deleted shows the records");
        }
        if (error.status() == TESRA_ERR_RECORD_DELETED) throw StoreError(error.status(), error.what() + unchanged);
        throw;
    }
    progress.finish(ids.size());
    printWrites(operation, writes, arguments.has("json"));
    return 0;
}

int runList(const Arguments &arguments) {
    auto database = openNamedDatabase(arguments);
    const bool json = arguments.has("json");
    database->listRecords(arguments.has("deleted"), [json](const RecordRow &row) {
        // The universal identifier as change entries write it: word 1 before word 0 of each stamp.
        const std::string universalId = hex(row.universalId[1], 8) + hex(row.universalId[0], 8) +
                                        hex(row.universalId[3], 8) + hex(row.universalId[2], 8);
        if (json) {
            std::cout << JsonObject()
                             .text("record_id", recordIdText(row.recordId))
                             .text("universal_id", universalId)
                             .text("class", hex(row.recordClass, 4))
                             .text("modified", isoText(row.modified))
                             .boolean("deleted", row.deleted)
                             .text("title", row.title)
                             .line();
            return;
        }
        std::cout << recordIdText(row.recordId) << " " << universalId << " " << hex(row.recordClass, 4) << " "
                  << isoText(row.modified) << " " << (row.deleted ? "deleted" : "present");
        if (!row.title.empty()) std::cout << " " << printableText(row.title);
        std::cout << "\n";
    });
    return 0;
}

int runInfo(const Arguments &arguments) {
    auto database = openNamedDatabase(arguments);
    const DatabaseState state = database->state();
    auto stampOrNever = [](StampValue value) { return value == 0 ? std::string("never") : isoText(value); };
    if (arguments.has("json")) {
        auto stampOrNull = [](JsonObject &object, const char *name, StampValue value) -> JsonObject & {
            return value == 0 ? object.null(name) : object.text(name, isoText(value));
        };
        JsonObject object;
        object.text("file", database->path());
        stampOrNull(object, "last_until", state.lastUntil);
        stampOrNull(object, "last_write", state.lastWrite);
        object.number("writes", state.writeSequence);
        stampOrNull(object, "purged_before", state.purgeCutoff);
        object.number("lock_timeout_ms", loadConfiguration(arguments).lockTimeout());
        stampOrNull(object, "created", state.created);
        std::cout << object.line();
        return 0;
    }
    // A database made before creation times were kept has none.
    const std::string created = state.created == 0 ? std::string("not recorded") : isoText(state.created);
    std::cout << "file          " << database->path() << "\nlast until    " << stampOrNever(state.lastUntil)
              << "\nlast write    " << stampOrNever(state.lastWrite) << "\nwrites        " << state.writeSequence
              << "\npurged before " << stampOrNever(state.purgeCutoff) << "\ncreated       " << created << "\n";
    return 0;
}

int runPurge(const Arguments &arguments) {
    const std::string before = arguments.required("before");
    StampValue cutoff = 0;
    if (!parseIsoStamp(before.c_str(), cutoff)) throw UsageError("--before must be \"YYYY-MM-DD HH:MM:SS\", not '" + before + "'");
    // A cut-off in the future would make every later poll a full listing.
    const StampValue now = clockNow();
    if (cutoff > now) {
        throw UsageError("--before " + isoText(cutoff) + " is later than the store's clock (" + isoText(now) +
                         "); nothing was purged");
    }
    auto database = openNamedDatabase(arguments);
    const int64_t removed = database->purgeDeletedBefore(cutoff);
    if (arguments.has("json")) {
        std::cout << JsonObject().number("removed", removed).text("before", isoText(cutoff)).line();
    } else {
        std::cout << "purged " << removed << " deletion records before " << isoText(cutoff) << "\n";
    }
    return 0;
}

std::vector<Option> modifyOptions() {
    return {{"random", "N", "pick N present records at random instead of listing RECORD_IDs"},
            {"seed", "S", "seed of the random choice, to repeat it (decimal)"},
            kIniOption,
            kProgressOption,
            kJsonOption};
}

}  // namespace

Command addCommand() {
    return {"add",
            {"DB [--count N] [--class C] [--title T] [--ini PATH] [--json]"},
            "Adds records to database DB, in one transaction.",
            "one database name DB",
            1,
            1,
            {{"count", "N", "how many records to add (default 1)"},
             {"class", "C", "the record class, decimal or 0x hexadecimal (default 1, a document)"},
             {"title", "T", "the records' title (default Document)"},
             kIniOption,
             kProgressOption,
             kJsonOption},
            std::string(kWriteLineHelp) + kDatabaseHelp,
            runAdd};
}

namespace {

// change and delete: the same operands and options, one write per record.
using ModifyAll = std::vector<RecordWrite> (*)(Database &, const std::vector<uint32_t> &,
                                             const std::function<void(size_t)> &);

Command modifyCommand(const char *name, const char *summary, ModifyAll write) {
    return {name,
            {"DB RECORD_ID... [--ini PATH] [--json]", "DB --random N [--seed S] [--ini PATH] [--json]"},
            summary,
            "DB and the RECORD_IDs",
            1,
            kAnyNumber,
            modifyOptions(),
            std::string(kWriteLineHelp) + kAllOrNothingHelp + kRecordIdHelp + kDatabaseHelp,
            [name, write](const Arguments &arguments) { return modifyRecords(arguments, name, write); }};
}

}  // namespace

Command changeCommand() {
    return modifyCommand("change", "Changes present records of database DB, all in one transaction.",
                         [](Database &database, const std::vector<uint32_t> &ids,
                            const std::function<void(size_t)> &progress) { return database.changeRecords(ids, progress); });
}

Command deleteCommand() {
    return modifyCommand("delete",
                         "Deletes present records of database DB, all in one transaction; a deletion record stays.",
                         [](Database &database, const std::vector<uint32_t> &ids,
                            const std::function<void(size_t)> &progress) { return database.deleteRecords(ids, progress); });
}

Command listCommand() {
    return {"list",
            {"DB [--deleted] [--ini PATH] [--json]"},
            "Lists the present records of database DB.",
            "one database name DB",
            1,
            1,
            {{"deleted", "", "list deletion records too"}, kIniOption, kJsonOption},
            std::string("One line per record: RECORD_ID, universal id (32 hexadecimal digits), class,\n"
                        "modification time (UTC), present or deleted, title (its control characters and\n"
                        "backslashes escaped as \\n, \\t, \\r, \\xHH and \\\\). With --json, one object per\n"
                        "record: record_id, universal_id, class, modified, deleted (true or false), title.\n") +
                kDatabaseHelp,
            runList};
}

Command infoCommand() {
    return {"info",
            {"DB [--ini PATH] [--json]"},
            "Shows the file of database DB, its last search, write and purge times and its creation time.",
            "one database name DB",
            1,
            1,
            {kIniOption, kJsonOption},
            std::string("With --json: one object with file, last_until, last_write, writes, purged_before\n"
                        "(times as \"YYYY-MM-DD HH:MM:SS.hh\", null for never), lock_timeout_ms and created\n"
                        "(null for a database made before creation times were kept).\n") +
                kDatabaseHelp,
            runInfo};
}

Command purgeCommand() {
    return {"purge",
            {"DB --before \"YYYY-MM-DD HH:MM:SS\" [--ini PATH] [--json]"},
            "Removes the deletion records of database DB older than a time.",
            "one database name DB",
            1,
            1,
            {{"before", "TIME", "the cut-off in UTC, \"YYYY-MM-DD HH:MM:SS\" (required)"}, kIniOption, kJsonOption},
            std::string("Searches since a time before the cut-off are then told to start again from the\n"
                        "beginning. A cut-off later than the store's clock is refused. It prints how many\n"
                        "deletion records it removed (with --json: removed and before).\n") +
                kDatabaseHelp,
            runPurge};
}

}  // namespace tesra::admin
