#include "status/status_text.h"

#include <cstdio>
#include <string_view>

#include "status/status_codes.h"
#include "store_client.h"

namespace tesra {
namespace {

struct StatusEntry {
    uint16_t code;
    std::string_view text;
};

constexpr StatusEntry kStatusTexts[] = {
    {TESRA_OK, "No error"},
    {TESRA_ERR_NOT_STARTED, "The store runtime is not started (call storeInit first)"},
    {TESRA_ERR_INI_UNREADABLE, "The configuration file tesra.ini could not be read"},
    {TESRA_ERR_NULL_ARGUMENT, "A required argument is missing (null pointer)"},
    {TESRA_ERR_INTERNAL, "An unexpected error occurred inside the store library"},
    {TESRA_ERR_INVALID_ARGUMENT, "An argument has a value outside its allowed range"},
    {TESRA_ERR_FILE_IO, "A file could not be written"},
    {TESRA_ERR_BAD_FAULT_SETTING,
     "The TESRA_FAULTS variable has a malformed entry (expected operation=status or storeSearch=status@matches)"},
    {TESRA_ERR_BAD_CLOCK_OFFSET, "The TESRA_CLOCK_OFFSET variable is not a whole number of hundredths of a second"},
    {TESRA_ERR_ID_FILE_MISSING, "The ID file does not exist"},
    {TESRA_ERR_ID_FILE_DAMAGED, "The ID file is damaged or cannot be read"},
    {TESRA_ERR_WRONG_PASSWORD, "The password does not match the ID file"},
    {TESRA_ERR_NO_IDENTITY, "No identity has been switched to yet"},
    {TESRA_ERR_ACCESS_DENIED, "The user is not on the access list of the database"},
    {TESRA_ERR_ID_FILE_OLD_FORMAT,
     "The ID file has an older format that does not protect its user name; create it again"},
    {TESRA_ERR_PATH_TOO_LONG, "The path is too long"},
    {TESRA_ERR_PATH_NOT_ALLOWED, "The database path must be relative and stay inside the data directory"},
    {TESRA_ERR_UNKNOWN_SERVER, "The server is not known to this configuration"},
    {TESRA_ERR_NO_DATA_DIRECTORY, "The configuration names no data directory"},
    {TESRA_ERR_NO_SUCH_DATABASE, "The database file does not exist"},
    {TESRA_ERR_NOT_A_DATABASE, "The file is not a database of this store"},
    {TESRA_ERR_FILE_EXISTS, "The file already exists"},
    {TESRA_ERR_DATABASE_IO, "The database could not be read or written"},
    {TESRA_ERR_BAD_HANDLE, "The handle is not that of an open database"},
    {TESRA_ERR_TOO_MANY_OPEN, "Too many databases are open"},
    {TESRA_ERR_NO_SUCH_RECORD, "The record does not exist"},
    {TESRA_ERR_RECORD_DELETED, "The record has been deleted"},
    {TESRA_ERR_RECORD_IDS_EXHAUSTED, "The database has used up all record identifiers"},
    {TESRA_ERR_DATABASE_REPLACED, "The file at the database's path is no longer the database that is open"},
    {TESRA_ERR_UNSAFE_FOLDER,
     "A folder on the database's path can be changed by other users; it must belong to you or root and "
     "not be writable by group or others"},
    {TESRA_ERR_DATABASE_EXCHANGED, "The database file was exchanged while it was being opened; open it again"},
    {TESRA_ERR_TEXT_EMPTY, "The date and time text is empty"},
    {TESRA_ERR_TEXT_MALFORMED, "The date and time text is not in the expected layout"},
    {TESRA_ERR_DATE_IMPOSSIBLE, "The date does not exist"},
    {TESRA_ERR_TIME_IMPOSSIBLE, "The time of day does not exist"},
    {TESRA_ERR_STAMP_INVALID, "The timestamp is out of range"},
    {TESRA_ERR_FIELDS_INVALID, "The date and time fields do not form a valid time"},
    {TESRA_ERR_TEXT_BUFFER_TOO_SMALL, "The text does not fit in the space given"},
    {TESRA_ERR_BAD_FORMULA, "The selection formula handle is not valid"},
    {TESRA_ERR_RESYNCHRONISE,
     "Changes since the requested time can no longer be told (deletion records purged, or times moved back by "
     "repair-times); resynchronise from the beginning"},
    {TESRA_ERR_STAMPS_EXHAUSTED,
     "The store's clock is at the last timestamp (9999-12-31 23:59:59.99); no later write can be stamped"},
    {TESRA_ERR_READ_ONLY, "The file system or file is read-only"},
    {TESRA_ERR_TOO_MANY_FILES, "Too many files are open in this process or system"},
    {TESRA_ERR_DISK_FULL, "The disk is full"},
    {TESRA_ERR_CLOCK_AT_END,
     "This machine's clock (with TESRA_CLOCK_OFFSET) is at or past 9999-12-31 23:59:59.99; nothing was recorded"},
    {TESRA_ERR_DATABASE_BEING_WRITTEN,
     "The database file is not a whole database just now (a copy or restore is still being written in its "
     "place); try again; if this lasts, the file is damaged"},
    {TESRA_ERR_DATABASE_LOCKED,
     "The database stayed locked by another process for longer than the busy timeout allows; wait until the "
     "other writer or reader has finished its work, then try the same operation again on this database."},
};

constexpr bool longestTextHasItsLength() {
    for (const auto &entry : kStatusTexts) {
        if (entry.code == TESRA_STATUS_LONGEST_TEXT) return entry.text.size() == TESRA_LONGEST_STATUS_TEXT_LENGTH;
    }
    return false;
}
static_assert(longestTextHasItsLength(), "the longest status text must be exactly 199 characters");
static_assert(TESRA_LONGEST_STATUS_TEXT_LENGTH + 1 == STORE_STATUS_TEXT_SIZE, "longest text fills the buffer");

}  // namespace

std::string statusText(uint16_t status) {
    const uint16_t code = status & STORE_STATUS_CODE_MASK;
    for (const auto &entry : kStatusTexts) {
        if (entry.code == code) return std::string(entry.text);
    }
    char unknown[32];
    std::snprintf(unknown, sizeof unknown, "Unknown status 0x%04X", code);
    return unknown;
}

}  // namespace tesra
