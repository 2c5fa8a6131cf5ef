#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "database/sqlite_handle.h"
#include "environment/faults.h"
#include "environment/ini_config.h"
#include "store_client.h"
#include "time/calendar.h"

namespace tesra {

// Record classes (bits of record_class and of a search's class mask).
enum RecordClass : uint16_t {
    kClassDocument = 0x0001,
    kClassForm = 0x0004,
    kClassView = 0x0008,
    kClassAccessList = 0x0040,
};

constexpr uint32_t kMaxRecordId = 0xFFFFFFFFu;

// The longest file name of a database: 255 bytes less the "-wal" of its log.
constexpr size_t kMaxDatabaseFileName = 251;

// The highest until a poll hands out. It stays below kLatestStamp so that a
// consumer's checkpoint never holds the last timestamp; writes are stamped
// below it so that a poll can still cover them.
constexpr StampValue kHighestUntil = kLatestStamp - 1;

// A record id as the store shows it everywhere: eight hexadecimal digits.
std::string recordIdText(uint32_t recordId);

struct RecordWrite {
    uint32_t recordId;
    StampValue stamp;  // the write's modification time, assigned under the write lock
};

struct RecordRow {
    uint32_t recordId;
    uint32_t universalId[4];  // first stamp word 0, word 1, second stamp word 0, word 1
    uint16_t recordClass;
    StampValue modified;
    int64_t writeSequence;
    bool deleted;
    std::string title;
};

struct DatabaseState {
    StampValue lastUntil;     // the latest until time handed out by a search
    StampValue lastWrite;     // the latest write stamp
    int64_t writeSequence;    // the latest write's sequence number
    StampValue purgeCutoff;   // deletion records before this time may be gone
    StampValue created;       // when the database was made; 0 for one made before databases kept it
};

// What repair-times found ahead of the clock, or moved back to it.
struct TimesAhead {
    StampValue now;           // the time they are moved back to
    int64_t records;          // records modified after now
    bool lastUntil;           // the last until handed out is after now
    bool lastWrite;
    bool purgeCutoff;
    bool created;             // the creation time
    StampValue latest;        // the latest of these times

    bool any() const { return records > 0 || lastUntil || lastWrite || purgeCutoff || created; }
};

// The moments of Database::open at which another process could put a
// different file at the path. Tests put one there through setOpenStageHook.
enum class OpenStage {
    kBeforeConnections,   // the file's identity (device and inode) is taken
    kBetweenConnections,  // the writes' connection is open, the searches' not yet
};
using OpenStageHook = void (*)(OpenStage stage, const std::string &path);
// Tests only: hook is called at each stage of every open; nullptr (the
// default) calls nothing.
void setOpenStageHook(OpenStageHook hook);

struct SearchRequest {
    uint16_t classMask;
    StampValue since;
    bool fromBeginning;  // a full listing: allowed whatever the purge cutoff and the creation time
    StoreSearchCallback callback;
    void *context;
    std::optional<InjectedFault> fault;
    // Checked against the access list in the search's own snapshot, so a
    // revoke takes effect at the next poll of a database already open.
    std::optional<std::string> userName;
};

// One database file of the store. Every write is stamped under the database's
// write lock with a time never below the last until time handed out and
// below kLatestStamp, the highest until time there is.
class Database {
public:
    // Creates an empty database (mode 0600) whose access list holds the
    // granted users, stamped with its creation time by the store's clock;
    // refuses to replace an existing file. Throws StoreError.
    static void create(const std::string &path, const std::vector<std::string> &grantedUsers);
    // Opens the file twice, for writes and for the searches' snapshots, and
    // checks that both reached the same database by its random instance id.
    // lockTimeout: milliseconds a call waits for another connection's lock.
    // Throws StoreError: TESRA_ERR_NO_SUCH_DATABASE, TESRA_ERR_NOT_A_DATABASE,
    // TESRA_ERR_DATABASE_EXCHANGED, ...
    static std::unique_ptr<Database> open(const std::string &path,
                                          int lockTimeout = kDefaultLockTimeoutMilliseconds);

    // Writes throw StoreError, changing nothing: TESRA_ERR_CLOCK_AT_END when
    // this machine's clock is at or past kLatestStamp, TESRA_ERR_STAMPS_EXHAUSTED
    // when the database's last times leave no stamp below kHighestUntil.
    RecordWrite addRecord(uint16_t recordClass, const std::string &title);
    RecordWrite changeRecord(uint32_t recordId, const std::optional<std::string> &title = std::nullopt);
    RecordWrite deleteRecord(uint32_t recordId);
    // Each record its own write, all in one transaction: when one is missing
    // or deleted, none is changed. progress is told the number done so far.
    std::vector<RecordWrite> changeRecords(const std::vector<uint32_t> &recordIds,
                                           const std::function<void(size_t)> &progress = nullptr);
    std::vector<RecordWrite> deleteRecords(const std::vector<uint32_t> &recordIds,
                                           const std::function<void(size_t)> &progress = nullptr);
    // Adds count records in one transaction, each its own write; returns them.
    // progress, if given, is told the number added so far after each record.
    std::vector<RecordWrite> addRecords(size_t count, uint16_t recordClass, const std::string &title,
                                        const std::function<void(size_t)> &progress = nullptr);
    // A present record chosen at random, if any.
    std::optional<uint32_t> pickPresentRecord(std::mt19937_64 &random);
    // Up to count distinct present records chosen at random.
    std::vector<uint32_t> pickPresentRecords(size_t count, std::mt19937_64 &random);
    void listRecords(bool includeDeleted, const std::function<void(const RecordRow &)> &visit);
    // Removes deletion records modified before cutoff; returns how many.
    int64_t purgeDeletedBefore(StampValue cutoff);
    DatabaseState state();
    // The times of the database later than now (the store's clock).
    TimesAhead timesAhead();
    // Moves every time of the database that lies after now back to now, in
    // one transaction: record modification times (their order kept by write
    // sequence), the last until, the last write, the purge cutoff and the
    // creation time.
    // Returns what it moved. Throws StoreError TESRA_ERR_CLOCK_AT_END.
    TimesAhead repairTimes();

    // Reports matching records to the callback in modification order and sets
    // until on success, never before the creation time. Returns a status:
    // TESRA_ERR_RESYNCHRONISE for a since (other than a full listing) before
    // the purge cutoff or the creation time, or after any until it could hand
    // out, or when the last until went back below one this object handed out;
    // TESRA_ERR_DATABASE_REPLACED when the file at the path, or its content, is
    // no longer the database opened (another instance id, or fewer writes than
    // this object has seen: an older copy restored in place);
    // TESRA_ERR_DATABASE_BEING_WRITTEN when the file does not read as a whole
    // database (a copy still being written in place).
    StoreStatus search(const SearchRequest &request, StampValue &until);

    const std::string &path() const { return path_; }

    // The user names that may open the database, sorted; nothing for a
    // database made before access lists, which any identity may open.
    std::optional<std::vector<std::string>> accessList();
    // Read through the searches' connection, the one the polls read from.
    bool admits(const std::string &userName);
    // Adds the user; on a database without an access list, creates it.
    void grantAccess(const std::string &userName);
    // Returns whether the user was on the list.
    bool revokeAccess(const std::string &userName);

private:
    Database(const std::string &path, dev_t device, ino_t inode, std::unique_ptr<SqliteConnection> connection,
             std::unique_ptr<SqliteConnection> searchConnection);
    DatabaseState readState();
    // The stamp of the next write and its sequence number; call inside a write transaction.
    std::pair<StampValue, int64_t> nextWrite(const DatabaseState &state);
    void recordWrite(StampValue stamp, int64_t sequence);
    bool isPresent(uint32_t recordId);
    RecordWrite changeInTransaction(uint32_t recordId, const std::optional<std::string> &title);
    RecordWrite deleteInTransaction(uint32_t recordId);
    std::vector<RecordWrite> writeEach(const std::vector<uint32_t> &recordIds,
                                       const std::function<RecordWrite(uint32_t)> &write,
                                       const std::function<void(size_t)> &progress);
    TimesAhead findTimesAhead(StampValue now);
    RecordWrite insertRecord(uint16_t recordClass, const std::string &title);
    static bool hasAccessList(SqliteConnection &connection);
    static bool admitsThrough(SqliteConnection &connection, const std::string &userName);
    // Whether the path still names the file opened, which a restore or a
    // re-creation replaces under the open connections.
    bool stillAtPath() const;

    StoreStatus searchSnapshot(const SearchRequest &request, StampValue &until);
    // Before a poll: a short wait while the last write lies ahead of the clock.
    void waitForClockToReachLastWrite();
    // The identity the search's snapshot reads against what this object saw:
    // TESRA_OK, or the status of a search of a database restored under it.
    StoreStatus checkIdentity(const SearchRequest &request);

    std::string path_;
    // What tells a database restored in place, where the device and inode stay:
    std::string instanceId_;              // read at the open
    int64_t seenWriteSequence_ = 0;       // the most writes a snapshot of it held; only ever grows
    StampValue handedOutUntil_ = 0;       // the last until this object stored in it
    bool hasCreationTime_ = false;  // a database made before they were kept has no column for it
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::unique_ptr<SqliteConnection> connection_;  // writes, and reads outside a search
    std::recursive_mutex mutex_;                    // guards connection_
    std::unique_ptr<SqliteConnection> searchConnection_;  // a search's rows, from a snapshot
    std::mutex searchMutex_;                              // guards searchConnection_
};

}  // namespace tesra
