package com.kestrum.orlo.connector.feed;

import java.nio.file.Paths;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * A failure of the store, a result of it the feed cannot read, or a checkpoint the feed refuses or cannot
 * write; nothing was delivered or committed.
 *
 * <p>{@link #status()} is the store's status for a store failure, and one of the feed's own statuses
 * (0x4000 and above, beyond the store's 14-bit range) for the others, so that a consumer can tell them
 * apart without reading the message.
 */
public final class ChangeFeedException extends Exception {
    /** The checkpoint is refused: of another server or database, malformed, in the future, or in use. */
    public static final int CHECKPOINT_REFUSED = 0x4001;
    /**
     * Another feed opened on the same checkpoint since this one did and took it over; the commit is
     * refused inside the consumer's transaction, which must roll back.
     */
    public static final int CHECKPOINT_TAKEN_OVER = 0x4002;
    /** The checkpoint cannot be read or written (a disk or database failure; the cause tells). */
    public static final int CHECKPOINT_FAILED = 0x4003;
    /** The store reported an entry that is not a change entry. */
    public static final int MALFORMED_ENTRY = 0x4004;
    /**
     * The child process of an isolated feed ({@link Isolation#childProcess()}) ended during a call (a
     * crash of the native side, a kill), ran past the poll timeout and was ended, or could not start.
     * Transient, but for a child whose native library does not load (or that speaks another framing): the
     * message then gives the child's own. Otherwise it gives the exit status or signal and the last lines
     * the child wrote on its standard error.
     */
    public static final int CHILD_PROCESS_FAILED = 0x4005;
    /**
     * The local store's status for a configuration file (tesra.ini) it cannot read; the message names the
     * file.
     */
    public static final int CONFIGURATION_UNREADABLE = 0x0102;
    /** The local store's status for a configuration value out of its range ({@code LockTimeout}). */
    public static final int CONFIGURATION_INVALID = 0x0109;
    /** The local store's status for an ID file (the configuration's {@code KeyFilename}) that is missing. */
    public static final int ID_FILE_MISSING = 0x0110;
    /** The local store's status for an ID file that cannot be read, is of the wrong format or inconsistent. */
    public static final int ID_FILE_DAMAGED = 0x0111;
    /** The local store's status for a password that does not open the ID file. */
    public static final int WRONG_PASSWORD = 0x0112;
    /** The local store's status for a user who is not on the database's access list. */
    public static final int ACCESS_DENIED = 0x0114;
    /** The local store's status for an ID file written by an older version of its admin command. */
    public static final int ID_FILE_OLD_FORMAT = 0x0115;
    /** The local store's status for a server its configuration does not name. */
    public static final int UNKNOWN_SERVER = 0x0122;
    /** The local store's status for a configuration without the folder of its databases. */
    public static final int NO_DATA_DIRECTORY = 0x0123;
    /** The local store's status for a database that does not exist. */
    public static final int NO_SUCH_DATABASE = 0x0124;
    private static final long serialVersionUID = 1L;
    // The shape of every store failure the native library reports.
    private static final Pattern NATIVE_STATUS = Pattern.compile("^Native call \\S+ failed with error: code (\\d+),");

    /** The store's status number, 0 when the message names none. */
    private final int status;
    /** Whether the status is one the feed retries. */
    private final boolean transientFailure;
    /** The database the feed follows, null when not known. */
    private final String database;

    ChangeFeedException(String message, Throwable cause) {
        this(message, cause, statusIn(message), false, null);
    }

    /** One of the feed's own failures on the given database. */
    ChangeFeedException(String message, Throwable cause, int status, String database) {
        this(message, cause, status, false, database);
    }

    /**
     * A failure as a feed reports it, for a consumer's tests.
     *
     * @param message          what failed
     * @param cause            the underlying failure, or null
     * @param status           the store's status number, 0 for none
     * @param transientFailure whether trying again later may succeed
     * @param database         the database the feed follows, or null
     */
    public ChangeFeedException(String message, Throwable cause, int status, boolean transientFailure,
                               String database) {
        super(message, cause);
        this.status = status;
        this.transientFailure = transientFailure;
        this.database = database;
    }

    /** The failure of a native call on the feed's database, with its status, transient or not. */
    static ChangeFeedException ofNative(Exception failure, String database, ChangeFeedOptions options) {
        return ofNative(failure, database, options, System.getenv("TESRA_INI"));
    }

    /** The same, for a store that reads the configuration file the given TESRA_INI value names. */
    static ChangeFeedException ofNative(Exception failure, String database, ChangeFeedOptions options,
                                        String tesraIni) {
        if (failure instanceof ChangeFeedException) {
            return ((ChangeFeedException) failure).on(database);
        }
        int status = statusIn(failure.getMessage());
        String message = failure.getMessage();
        if (status == CONFIGURATION_UNREADABLE) {
            message += "; " + configurationFile(tesraIni);
        }
        return new ChangeFeedException(message, failure, status, options.transientStatuses().contains(status), database);
    }

    /** Which configuration file the store library read: the one TESRA_INI names, else ./tesra.ini. */
    static String configurationFile(String variable) {
        if (variable != null && !variable.isEmpty()) {
            return "the store's configuration file is " + variable + " (named by TESRA_INI)";
        }
        return "the store's configuration file is " + Paths.get("tesra.ini").toAbsolutePath()
               + " (TESRA_INI is not set, so tesra.ini in the working folder)";
    }

    /** This failure again, naming the database, for a failure raised where the database was not known. */
    ChangeFeedException on(String database) {
        if (this.database != null) {
            return this;
        }
        ChangeFeedException named = new ChangeFeedException(super.getMessage(), getCause(), status, transientFailure,
                                                            database);
        named.setStackTrace(getStackTrace());
        return named;
    }

    /**
     * The store's status number, read from the native message "Native call NAME failed with error: code N,
     * 'TEXT'", or one of the feed's own statuses ({@link #CHECKPOINT_REFUSED}, {@link #CHECKPOINT_TAKEN_OVER},
     * {@link #CHECKPOINT_FAILED}, {@link #MALFORMED_ENTRY}).
     *
     * @return the status, or 0 (the store's success status) when none applies
     */
    public int status() {
        return status;
    }

    /**
     * The status as the store's documentation lists it.
     *
     * @return {@code 0x} and four upper-case hexadecimal digits, for example {@code 0x0150}
     */
    public String statusHex() {
        return String.format("0x%04X", status);
    }

    /**
     * Whether the status is one of {@link ChangeFeedOptions#transientStatuses()}: a later poll may
     * succeed without anyone doing anything.
     *
     * @return true for a transient failure
     */
    public boolean isTransient() {
        return transientFailure;
    }

    /**
     * The database the feed follows.
     *
     * @return its name as given to {@link ChangeFeed#open}, with its server; null when not known
     */
    public String database() {
        return database;
    }

    @Override
    public String getMessage() {
        String message = super.getMessage();
        if (database == null && status == 0) {
            return message;
        }
        return message + " [" + (database == null ? "" : database + ", ") + "status " + statusHex()
               + (transientFailure ? ", transient" : "") + "]";
    }

    private static int statusIn(String message) {
        if (message == null) {
            return 0;
        }
        Matcher code = NATIVE_STATUS.matcher(message);
        return code.find() && code.group(1).length() <= 9 ? Integer.parseInt(code.group(1)) : 0;
    }
}
