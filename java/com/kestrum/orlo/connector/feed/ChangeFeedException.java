package com.kestrum.orlo.connector.feed;

import java.util.regex.Matcher;
import java.util.regex.Pattern;

/** A failure of the store, or a result of it the feed cannot read; nothing was delivered or committed. */
public final class ChangeFeedException extends Exception {
    private static final long serialVersionUID = 1L;
    // The shape of every store failure the native library reports.
    private static final Pattern NATIVE_STATUS = Pattern.compile("^Native call \\S+ failed with error: code (\\d+),");

    /** The store's status number, 0 when the message names none. */
    private final int status;

    ChangeFeedException(String message, Throwable cause) {
        super(message, cause);
        this.status = statusIn(message);
    }

    /** The failure of a native call, with its message as the native library gave it. */
    static ChangeFeedException ofNative(Exception failure) {
        return new ChangeFeedException(failure.getMessage(), failure);
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

    private static int statusIn(String message) {
        if (message == null) {
            return 0;
        }
        Matcher code = NATIVE_STATUS.matcher(message);
        return code.find() && code.group(1).length() <= 9 ? Integer.parseInt(code.group(1)) : 0;
    }
}
