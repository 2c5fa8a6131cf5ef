/* Status codes returned by the local store library (libntesra).
 * Usable from C and C++. The texts are in status_text.cpp and are loaded
 * with storeLoadStatusText. */
#ifndef TESRA_STATUS_CODES_H
#define TESRA_STATUS_CODES_H

enum TesraStatusCode {
    TESRA_OK = 0x0000,

    /* runtime and configuration */
    TESRA_ERR_NOT_STARTED = 0x0101,      /* storeInit not called, or storeTerm called */
    TESRA_ERR_INI_UNREADABLE = 0x0102,   /* tesra.ini missing or unreadable */
    TESRA_ERR_NULL_ARGUMENT = 0x0103,    /* a required pointer argument is null */
    TESRA_ERR_INTERNAL = 0x0104,         /* unexpected failure inside the library */
    TESRA_ERR_INVALID_ARGUMENT = 0x0105, /* an argument has a value out of its range */
    TESRA_ERR_FILE_IO = 0x0106,          /* a file could not be written */
    TESRA_ERR_BAD_FAULT_SETTING = 0x0107,/* TESRA_FAULTS has a malformed entry */
    TESRA_ERR_BAD_CLOCK_OFFSET = 0x0108, /* TESRA_CLOCK_OFFSET is not a whole number */
    TESRA_ERR_BAD_SETTING = 0x0109,      /* a tesra.ini value out of its range (LockTimeout) */

    /* identity */
    TESRA_ERR_ID_FILE_MISSING = 0x0110,
    TESRA_ERR_ID_FILE_DAMAGED = 0x0111,  /* unreadable, wrong format or inconsistent */
    TESRA_ERR_WRONG_PASSWORD = 0x0112,
    TESRA_ERR_NO_IDENTITY = 0x0113,      /* no storeSwitchIdentity yet */
    TESRA_ERR_ACCESS_DENIED = 0x0114,    /* the user is not on the database's access list */
    TESRA_ERR_ID_FILE_OLD_FORMAT = 0x0115, /* written by an older tesra-admin; make it again */

    /* paths and databases */
    TESRA_ERR_PATH_TOO_LONG = 0x0120,
    TESRA_ERR_PATH_NOT_ALLOWED = 0x0121, /* absolute, empty or containing ".." */
    TESRA_ERR_UNKNOWN_SERVER = 0x0122,   /* no Server.<name> line in tesra.ini */
    TESRA_ERR_NO_DATA_DIRECTORY = 0x0123,/* no Directory line in tesra.ini */
    TESRA_ERR_NO_SUCH_DATABASE = 0x0124,
    TESRA_ERR_NOT_A_DATABASE = 0x0125,   /* the file is not a database of this store */
    TESRA_ERR_FILE_EXISTS = 0x0126,     /* refusing to replace a file */
    TESRA_ERR_DATABASE_IO = 0x0127,      /* the database engine reported an error */
    TESRA_ERR_BAD_HANDLE = 0x0128,       /* zero, unknown or closed handle */
    TESRA_ERR_TOO_MANY_OPEN = 0x0129,
    TESRA_ERR_NO_SUCH_RECORD = 0x012A,
    TESRA_ERR_RECORD_DELETED = 0x012B,
    TESRA_ERR_RECORD_IDS_EXHAUSTED = 0x012C,
    TESRA_ERR_DATABASE_REPLACED = 0x012D, /* the path now names another file than the open one */
    TESRA_ERR_UNSAFE_FOLDER = 0x012E,    /* a folder of the path can be changed by other users */
    TESRA_ERR_DATABASE_EXCHANGED = 0x012F, /* the two connections of an open reached different files */

    /* timestamps and texts */
    TESRA_ERR_TEXT_EMPTY = 0x0130,
    TESRA_ERR_TEXT_MALFORMED = 0x0131,
    TESRA_ERR_DATE_IMPOSSIBLE = 0x0132,
    TESRA_ERR_TIME_IMPOSSIBLE = 0x0133,
    TESRA_ERR_STAMP_INVALID = 0x0134,
    TESRA_ERR_FIELDS_INVALID = 0x0135,
    TESRA_ERR_TEXT_BUFFER_TOO_SMALL = 0x0136,

    /* search */
    TESRA_ERR_BAD_FORMULA = 0x0140,
    TESRA_ERR_RESYNCHRONISE = 0x0141,    /* since is before the purge cutoff, or after every until */

    /* writes, disks and files */
    TESRA_ERR_STAMPS_EXHAUSTED = 0x0160, /* no timestamp left for a write */
    TESRA_ERR_READ_ONLY = 0x0161,        /* the file system or file is read-only */
    TESRA_ERR_TOO_MANY_FILES = 0x0162,   /* the process or system has too many open files */
    TESRA_ERR_DISK_FULL = 0x0163,
    TESRA_ERR_CLOCK_AT_END = 0x0164,     /* the clock is at or past 9999-12-31 23:59:59.99 */

    /* the database stayed locked past the busy timeout; its text is the
     * longest of all: exactly 199 characters */
    TESRA_ERR_DATABASE_LOCKED = 0x0150,
    /* a search read a file that is not a whole database: a copy or restore is
     * still being written in place of the open one; try again */
    TESRA_ERR_DATABASE_BEING_WRITTEN = 0x0151,
    TESRA_STATUS_LONGEST_TEXT = TESRA_ERR_DATABASE_LOCKED
};

enum { TESRA_LONGEST_STATUS_TEXT_LENGTH = 199 };

#endif
