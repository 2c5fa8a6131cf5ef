package com.kestrum.orlo.connector;

import java.util.Vector;

/**
 * Follows the changes of one database of the store through the native library "vrxchdet".
 *
 * Call {@link #initTesra} once, then {@link #getModifiedTesra} as often as needed, each time passing
 * the end text of the previous call as the since text, then {@link #termTesra} once. The library
 * serves one open database per process; open and close must not overlap any other call.
 */
public class VarnexChangeDetectionConnector {
    static {
        System.loadLibrary("vrxchdet");
    }

    /** Starts the store runtime, switches to the configured ID file's identity and opens the database. */
    public native void initTesra(String server, String database, String password);

    /**
     * Returns one entry "UNIVERSALID:RECORDID:NOR" (or ":DEL" for a deleted record) for every record
     * changed since the given time, and appends the time this search ended to {@code endText}, in the
     * same "YYYY-MM-DD HH:MM:SS.mmm" form as {@code since}. A null {@code since} reports every record.
     */
    public native Vector<String> getModifiedTesra(String since, StringBuffer endText);

    /** Closes the database and shuts the store runtime down. */
    public native void termTesra();
}
