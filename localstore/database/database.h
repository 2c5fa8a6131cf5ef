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
};

struct SearchRequest {
    uint16_t classMask;
    StampValue since;
    bool fromBeginning;  // a full listing: allowed whatever the purge cutoff
    StoreSearchCallback callback;
    void *context;
    std::optional<InjectedFault> fault;
};

// One database file of the store. Every write is stamped under the database's
// write lock with a time never below the last until time handed out and
// below kLatestStamp, the highest until time there is.
class Database {
public:
    // Creates an empty database (mode 0600) whose access list holds the
    // granted users; refuses to replace an existing file. Throws StoreError.
    static void create(const std::string &path, const std::vector<std::string> &grantedUsers);
    // Throws StoreError: TESRA_ERR_NO_SUCH_DATABASE, TESRA_ERR_NOT_A_DATABASE, ...
    static std::unique_ptr<Database> open(const std::string &path);

    // Writes throw StoreError TESRA_ERR_STAMPS_EXHAUSTED, changing nothing,
    // when the write could only be stamped at or after kLatestStamp.
    RecordWrite addRecord(uint16_t recordClass, const std::string &title);
    RecordWrite changeRecord(uint32_t recordId, const std::optional<std::string> &title = std::nullopt);
    RecordWrite deleteRecord(uint32_t recordId);
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

    // Reports matching records to the callback in modification order and sets
    // until on success. Returns a status.
    StoreStatus search(const SearchRequest &request, StampValue &until);

    const std::string &path() const { return path_; }

    // The user names that may open the database, sorted; nothing for a
    // database made before access lists, which any identity may open.
    std::optional<std::vector<std::string>> accessList();
    bool admits(const std::string &userName);
    // Adds the user; on a database without an access list, creates it.
    void grantAccess(const std::string &userName);
    // Returns whether the user was on the list.
    bool revokeAccess(const std::string &userName);

private:
    Database(const std::string &path, std::unique_ptr<SqliteConnection> connection,
             std::unique_ptr<SqliteConnection> searchConnection);
    DatabaseState readState();
    // The stamp of the next write and its sequence number; call inside a write transaction.
    std::pair<StampValue, int64_t> nextWrite(const DatabaseState &state);
    void recordWrite(StampValue stamp, int64_t sequence);
    bool isPresent(uint32_t recordId);
    RecordWrite insertRecord(uint16_t recordClass, const std::string &title);
    bool hasAccessList();
    // Whether the path still names the file opened, which a restore or a
    // re-creation replaces under the open connections.
    bool stillAtPath() const;

    std::string path_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    std::unique_ptr<SqliteConnection> connection_;  // writes, and reads outside a search
    std::recursive_mutex mutex_;                    // guards connection_
    std::unique_ptr<SqliteConnection> searchConnection_;  // a search's rows, from a snapshot
    std::mutex searchMutex_;                              // guards searchConnection_
};

}  // namespace tesra
