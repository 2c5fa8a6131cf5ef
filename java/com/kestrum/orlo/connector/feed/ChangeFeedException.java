package com.kestrum.orlo.connector.feed;

import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * A failure of the store, a result of it the feed cannot read, or a checkpoint the feed refuses; nothing
 * was delivered or committed.
 */
public final class ChangeFeedException extends Exception {
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
        int status = statusIn(failure.getMessage());
        return new ChangeFeedException(failure.getMessage(), failure, status,
                                       options.transientStatuses().contains(status), database);
    }

    /**
     * The store's status number, read from the native message "Native call NAME failed with error: code N,
     * 'TEXT'".
     *
     * @return N, or 0 (the store's success status) when the message does not name a status
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
