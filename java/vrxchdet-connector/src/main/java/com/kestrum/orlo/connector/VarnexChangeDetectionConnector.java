package com.kestrum.orlo.connector;

import java.util.Vector;

/**
 * Follows the changes of one database of the store through the native library "vrxchdet".
 *
 * <p>Call {@link #initTesra} once, then {@link #getModifiedTesra} as often as needed, each time passing
 * the end text of the previous call as the since text, then {@link #termTesra} once.
 *
 * <p>One process serves one open database. The open database belongs to the process, not to this
 * object: {@code initTesra} on a second connector object takes the process's database over from the
 * first, and a {@code termTesra} on either closes it. {@code initTesra} and {@code termTesra} must not
 * overlap any other call, from any thread.
 *
 * <p>Every call writes its trace lines to the process's standard output. The store's configuration
 * file is found through the environment variable {@code TESRA_INI}, else {@code tesra.ini} in the
 * current directory.
 *
 * <p>The native library "vrxchdet" is loaded with the class, from the first of: the folder named by the
 * system property {@code vrxchdet.library.path} (when it is set, nothing else is tried); a folder of
 * {@code java.library.path} that holds it; the natives inside the connector jar for the running
 * platform, copied into a new folder of this user's folder {@code vrxchdet-USER} of the temporary
 * folder, checked and removed at exit. A temporary folder that another user could change (one that is
 * not this user's or root's, or that others may write without the sticky bit, or one above it) is
 * refused. The store library is loaded from beside the bridge, except on Windows, where
 * {@code nTESRA.dll} must be where Windows looks for a DLL's dependencies. A connector class loaded by
 * a second class loader loads its own copy from the jar.
 */
public class VarnexChangeDetectionConnector {
    /** Why the native library could not be loaded, or null once it is. */
    private static final String LOAD_FAILURE = NativeLibrary.load();

    /**
     * Makes a connector.
     *
     * @throws UnsatisfiedLinkError if the native library could not be loaded with the class; the message
     *     names every place tried and why each failed, and is the same at every attempt
     */
    public VarnexChangeDetectionConnector() {
        if (LOAD_FAILURE != null) {
            throw new UnsatisfiedLinkError(LOAD_FAILURE);
        }
    }

    /**
     * Starts the store runtime, switches to the identity of the ID file named by the store's
     * configuration and opens the database.
     *
     * @param server the server holding the database, or null (or empty) for a local database
     * @param database the database's file name
     * @param password the ID file's password
     * @throws Exception when the runtime cannot start, the ID file or password is refused or the
     *     database cannot be opened; its message is
     *     "Native call NAME failed with error: code N, 'TEXT'", and the runtime is down again
     */
    public native void initTesra(String server, String database, String password) throws Exception;

    /**
     * Returns one entry "UNIVERSALID:RECORDID:NOR" (or ":DEL" for a deleted record) for every record
     * changed since the given time, and appends the time this search ended to {@code endText}, in the
     * same "YYYY-MM-DD HH:MM:SS.mmm" form as {@code since}. A null {@code since} reports every record.
     *
     * @param since the end text of the previous call, or null for every record
     * @param endText receives the end text of this search
     * @return the change entries, in the store's order
     * @throws Exception when no database is open, the since text cannot be read or the search fails;
     *     {@code endText} is then left as it was
     */
    public native Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception;

    /**
     * Closes the database and shuts the store runtime down; does nothing when no database is open.
     * It throws nothing: closing cannot fail in a way the caller could act on.
     */
    public native void termTesra();
}
