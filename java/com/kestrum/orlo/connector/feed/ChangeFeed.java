package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.IOException;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/**
 * Follows the changes of one database of the store, batch by batch, keeping its place in a checkpoint
 * file.
 *
 * <pre>{@code
 * try (ChangeFeed feed = ChangeFeed.open(null, "main.tdb", password, Path.of("main.checkpoint"))) {
 *     while (running) {
 *         ChangeBatch batch = feed.poll();
 *         if (batch.resync()) {
 *             view.clear();
 *         }
 *         for (Change change : batch.changes()) {
 *             view.apply(change);
 *         }
 *         view.save();
 *         feed.commit(batch);
 *         Thread.sleep(1000);
 *     }
 * }
 * }</pre>
 *
 * <h2>At least once</h2>
 * Every change reaches the consumer at least once, and may reach it twice. {@link #poll()} always
 * starts from the end text of the last committed batch, which {@link #commit} writes to the checkpoint
 * file and {@link #open} reads from it. A batch that was polled but not committed (the consumer failed
 * while handling it, or the process stopped between handling it and the commit) is delivered again by
 * the next poll, in this process or after a restart, with the same changes or more: a record changed
 * again in the meantime is listed once, in its latest state. Nothing is lost, but the consumer sees
 * again the changes it had handled before the stop.
 *
 * <p>So a consumer commits a batch only once its changes are handled and stored, and handles changes
 * idempotently: a change is a record's state (present, or deleted) under its universal identifier, not
 * a difference to the state before. Applying it again, keyed by universal identifier (set the record
 * present in its current state, or remove it), leaves the consumer's view as it was.
 *
 * <h2>History purged</h2>
 * When the store reports that the history since the committed end text was purged (one of
 * {@link ChangeFeedOptions#resyncStatuses()}), the poll lists every record from the beginning instead
 * and marks its batch {@link ChangeBatch#resync()}: the consumer rebuilds its view from it, as records
 * deleted in the meantime are not listed.
 *
 * <h2>Failures</h2>
 * A failure with one of {@link ChangeFeedOptions#transientStatuses()} is tried again after a pause that
 * doubles each time, up to {@link ChangeFeedOptions#retries()} times. Any other failure, or the last
 * one, is thrown as a {@link ChangeFeedException}; the feed stays open and the next poll starts from the
 * last commit again.
 *
 * <h2>Threads</h2>
 * The native library serves one database per process, and opening or closing it must not overlap any
 * other call into it. So only one feed is open at a time, and {@link #open}, {@link #poll},
 * {@link #commit} and {@link #close} may be called from any thread: they take turns, one call at a time
 * across the process, retries and their pauses included.
 */
public final class ChangeFeed implements AutoCloseable {
    // Guards every call into the native library, and openDatabase.
    private static final Object NATIVE_CALLS = new Object();
    private static String openDatabase;

    private final VarnexChangeDetectionConnector connector;
    private final String database;
    private final Checkpoint checkpoint;
    private final ChangeFeedOptions options;
    private String committedUntil;
    private ChangeBatch lastPolled;
    private boolean closed;

    private ChangeFeed(VarnexChangeDetectionConnector connector, String database, Checkpoint checkpoint,
                       String committedUntil, ChangeFeedOptions options) {
        this.connector = connector;
        this.database = database;
        this.checkpoint = checkpoint;
        this.committedUntil = committedUntil;
        this.options = options;
    }

    /**
     * Opens the database with {@link ChangeFeedOptions#defaults()}.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the file keeping the end text of the last committed batch; it need not exist yet,
     *                   but its folder must
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database
     * @throws IOException           when the checkpoint cannot be read
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint)
            throws ChangeFeedException, IOException {
        return open(server, database, password, checkpoint, ChangeFeedOptions.defaults());
    }

    /**
     * Opens the database.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the file keeping the end text of the last committed batch; it need not exist yet,
     *                   but its folder must
     * @param options    the statuses meaning a purged history and a transient failure, and the retries
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database
     * @throws IOException           when the checkpoint cannot be read
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint,
                                  ChangeFeedOptions options) throws ChangeFeedException, IOException {
        return open(new VarnexChangeDetectionConnector(), server, database, password, checkpoint, options);
    }

    static ChangeFeed open(VarnexChangeDetectionConnector connector, String server, String database,
                           String password, Path checkpoint, ChangeFeedOptions options)
            throws ChangeFeedException, IOException {
        Objects.requireNonNull(database, "database");
        Objects.requireNonNull(password, "password");
        Objects.requireNonNull(options, "options");
        String name = server == null || server.isEmpty() ? database : database + " on server " + server;
        synchronized (NATIVE_CALLS) {
            if (openDatabase != null) {
                throw new IllegalStateException("A change feed is open on " + openDatabase
                                                + " already; close it before opening " + name);
            }
            Checkpoint file = new Checkpoint(Objects.requireNonNull(checkpoint, "checkpoint"));
            String committedUntil = file.read();
            try {
                connector.initTesra(server, database, password);
            } catch (Exception failure) {
                throw ChangeFeedException.ofNative(failure);
            }
            openDatabase = name;
            return new ChangeFeed(connector, name, file, committedUntil, options);
        }
    }

    /**
     * The end text the next poll starts from.
     *
     * @return the end text of the last committed batch, or null when none was committed yet
     */
    public String committedUntil() {
        synchronized (NATIVE_CALLS) {
            return committedUntil;
        }
    }

    /**
     * Asks the store for the changes since the last committed batch.
     *
     * @return the changes; a full listing marked {@link ChangeBatch#resync()} when the store's history since
     *         the last commit was purged
     * @throws ChangeFeedException   when the store fails, after the retries for a transient failure, or
     *                               reports an entry that is not a change entry
     * @throws InterruptedException  when interrupted while pausing before a retry
     * @throws IllegalStateException when the feed is closed
     */
    public ChangeBatch poll() throws ChangeFeedException, InterruptedException {
        synchronized (NATIVE_CALLS) {
            requireOpen();
            ChangeBatch batch;
            try {
                batch = query(committedUntil, false);
            } catch (ChangeFeedException failure) {
                if (committedUntil == null || !options.resyncStatuses().contains(failure.status())) {
                    throw failure;
                }
                batch = query(null, true);
            }
            lastPolled = batch;
            return batch;
        }
    }

    /**
     * Records that the batch's changes are handled: the next poll, in this process or after a restart,
     * starts at its end. The checkpoint file is replaced atomically and flushed to disk before this
     * returns.
     *
     * @param batch the batch the last poll returned
     * @throws IOException              when the checkpoint cannot be written; the last commit stays in force
     * @throws IllegalArgumentException when the batch is not the one the last poll returned
     * @throws IllegalStateException    when the feed is closed
     */
    public void commit(ChangeBatch batch) throws IOException {
        Objects.requireNonNull(batch, "batch");
        synchronized (NATIVE_CALLS) {
            requireOpen();
            if (batch != lastPolled) {
                throw new IllegalArgumentException("Only the batch the last poll returned can be committed, not " + batch);
            }
            checkpoint.write(batch.until());
            committedUntil = batch.until();
        }
    }

    /** Closes the database and shuts the store runtime down; a second close does nothing. */
    @Override
    public void close() {
        synchronized (NATIVE_CALLS) {
            if (closed) {
                return;
            }
            closed = true;
            lastPolled = null;
            connector.termTesra();
            openDatabase = null;
        }
    }

    private void requireOpen() {
        if (closed) {
            throw new IllegalStateException("The change feed on " + database + " is closed");
        }
    }

    private ChangeBatch query(String since, boolean resync) throws ChangeFeedException, InterruptedException {
        for (int retry = 1; ; ++retry) {
            StringBuffer endText = new StringBuffer();
            List<String> entries;
            try {
                entries = connector.getModifiedTesra(since, endText);
            } catch (Exception failure) {
                ChangeFeedException error = ChangeFeedException.ofNative(failure);
                if (retry > options.retries() || !options.transientStatuses().contains(error.status())) {
                    throw error;
                }
                Thread.sleep(options.backoffBefore(retry).toMillis());
                continue;
            }
            return new ChangeBatch(changesIn(entries), since, endText.toString(), resync);
        }
    }

    private static List<Change> changesIn(List<String> entries) throws ChangeFeedException {
        List<Change> changes = new ArrayList<>(entries.size());
        for (String entry : entries) {
            try {
                changes.add(Change.parse(entry));
            } catch (IllegalArgumentException | NullPointerException malformed) {
                throw new ChangeFeedException("The store reported a malformed change entry: " + malformed.getMessage(),
                                              malformed);
            }
        }
        return changes;
    }
}
