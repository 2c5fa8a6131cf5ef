package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.ReentrantLock;

import javax.management.JMException;
import javax.management.ObjectName;
import javax.management.StandardMBean;

/**
 * Follows the changes of one database of the store, batch by batch, keeping its place in a checkpoint:
 * a file, or a row of the consumer's own database.
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
 * <h2>At least once, or exactly once</h2>
 * {@link #poll()} always starts from the end text of the last committed batch, which {@link #commit}
 * writes to the checkpoint and {@link #open} reads from it. A batch that was polled but not committed (the
 * consumer failed while handling it, or the process stopped between handling it and the commit) is
 * delivered again by the next poll, in this process or after a restart, with the same changes or more: a
 * record changed again in the meantime is listed once, in its latest state.
 *
 * <p>With a checkpoint file ({@link FileCheckpointStore}) every change reaches the consumer at least
 * once, and may reach it twice. So a consumer commits a batch only once its changes are handled and
 * stored, and handles changes idempotently: a change is a record's state (present, or deleted) under its
 * universal identifier, not a difference to the state before. Applying it again, keyed by universal
 * identifier, leaves the consumer's view as it was.
 *
 * <p>A consumer that keeps its view in a database keeps the checkpoint there too
 * ({@link JdbcCheckpointStore}): it applies a batch, commits the feed on the same connection, and then
 * commits its transaction. View and checkpoint then move together, and each batch is applied exactly once.
 *
 * <h2>The checkpoint</h2>
 * A checkpoint belongs to one database: {@link #open} refuses one written for another server or database,
 * one of the wrong form, and one whose end lies more than a minute in the future (read in
 * {@link ChangeFeedOptions#storeZone()}), with a {@link ChangeFeedException} naming
 * it. A checkpoint file is held by one feed at a time, through an OS lock: a second process is refused at
 * once. With no committed end text, the feed starts where {@link ChangeFeedOptions#start()} says.
 *
 * <h2>Full listings</h2>
 * The poll lists every record from the beginning and marks its batch {@link ChangeBatch#resync()} when the
 * store reports that the history since the committed end text was purged (one of
 * {@link ChangeFeedOptions#resyncStatuses()}); when the database's file was replaced under the open feed
 * ({@link ChangeFeedOptions#DATABASE_REPLACED}: the feed opens the database again first); and after
 * {@link #forceResync()}. The consumer rebuilds its view from such a batch, as records deleted in the
 * meantime are not listed. Until such a batch is committed, every poll is a full listing.
 *
 * <h2>Failures</h2>
 * A failure with one of {@link ChangeFeedOptions#transientStatuses()} is tried again after a pause that
 * doubles each time, up to {@link ChangeFeedOptions#retries()} times and within
 * {@link ChangeFeedOptions#pollTimeout()}. Any other failure, or the last one, is thrown as a
 * {@link ChangeFeedException}; the feed stays open and the next poll starts from the last commit again.
 *
 * <h2>Threads, and how long each call can wait</h2>
 * The native library serves one database per process, and opening or closing it must not overlap any
 * other call into it. So only one feed is open at a time, and every call into the native library holds a
 * process-wide lock for that call alone, never across a pause. Each native call can take as long as the
 * store takes: against the local store, a search of a locked database waits up to its lock wait
 * ({@code LockTimeout} in tesra.ini, 10 seconds by default).
 * <ul>
 * <li>{@link #open} waits for the store to open the database, and for a checkpoint read; it never waits
 *     for another holder of the checkpoint, which it refuses at once.</li>
 * <li>{@link #poll()} waits for at most {@link ChangeFeedOptions#pollTimeout()} plus one native call, and
 *     for a poll or commit of another thread on this feed: polls and commits take turns.</li>
 * <li>{@link #commit} waits for a poll of another thread, and for its checkpoint write.</li>
 * <li>{@link #close()}, from any thread, marks the feed closed at once, wakes a poll that pauses between
 *     retries, and waits only for the native call in flight, if any; the interrupted poll throws an
 *     {@link IllegalStateException}.</li>
 * <li>{@link #committedUntil()}, {@link #stats()} and the JMX attributes never wait.</li>
 * </ul>
 *
 * <h2>Logging and monitoring</h2>
 * The feed logs through {@link System.Logger} under this class's name: open and close at INFO; each retry
 * (status and pause), each full listing and each refused checkpoint at WARNING; commits at DEBUG; nothing
 * per change. While open, the feed's figures ({@link #stats()}) are a JMX MBean named
 * {@code com.kestrum.orlo.connector.feed:type=ChangeFeed,database=NAME} ({@link ChangeFeedMXBean}).
 */
public final class ChangeFeed implements ChangeSource {
    private static final System.Logger LOG = System.getLogger(ChangeFeed.class.getName());
    // Guards every call into the native library, and openFeed.
    private static final Object NATIVE_CALLS = new Object();
    private static ChangeFeed openFeed;

    private final VarnexChangeDetectionConnector connector;
    private final String server;
    private final String databaseFile;
    private final String password;
    private final String database;
    private final CheckpointStore checkpoint;
    private final ChangeFeedOptions options;
    // Polls and commits take turns; close does not wait for them.
    private final ReentrantLock turn = new ReentrantLock();
    // A poll pausing between retries waits on it; close wakes it.
    private final Object pause = new Object();
    private final AtomicBoolean closed = new AtomicBoolean();
    private final Metrics metrics = new Metrics();
    private volatile String committedUntil;
    // Until a full listing is committed, each poll is one: a forced resync, or a replaced database.
    private volatile boolean resyncPending;
    private boolean nativeOpen = true;  // guarded by NATIVE_CALLS
    private ChangeBatch lastPolled;     // guarded by turn
    private ObjectName mbeanName;

    private ChangeFeed(VarnexChangeDetectionConnector connector, String server, String databaseFile, String password,
                       CheckpointStore checkpoint, String committedUntil, ChangeFeedOptions options) {
        this.connector = connector;
        this.server = server;
        this.databaseFile = databaseFile;
        this.password = password;
        this.database = server.isEmpty() ? databaseFile : databaseFile + " on server " + server;
        this.checkpoint = checkpoint;
        this.committedUntil = committedUntil;
        this.options = options;
    }

    /**
     * Opens the database with {@link ChangeFeedOptions#defaults()} and a checkpoint file.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the checkpoint file ({@link FileCheckpointStore}); it need not exist yet, but its
     *                   folder must
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     * @throws IOException           when the checkpoint cannot be read
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint)
            throws ChangeFeedException, IOException {
        return open(server, database, password, checkpoint, ChangeFeedOptions.defaults());
    }

    /**
     * Opens the database with a checkpoint file.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the checkpoint file ({@link FileCheckpointStore}); it need not exist yet, but its
     *                   folder must
     * @param options    the statuses meaning a purged history and a transient failure, the retries, the
     *                   poll timeout, the start and the store's time zone
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     * @throws IOException           when the checkpoint cannot be read
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint,
                                  ChangeFeedOptions options) throws ChangeFeedException, IOException {
        return open(server, database, password, new FileCheckpointStore(Objects.requireNonNull(checkpoint, "checkpoint")),
                    options);
    }

    /**
     * Opens the database with a checkpoint kept elsewhere, for example in the consumer's own database
     * ({@link JdbcCheckpointStore}).
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint where the end text of the last committed batch is kept
     * @param options    the statuses, retries, poll timeout, start and store time zone
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     * @throws IOException           when the checkpoint cannot be read
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, CheckpointStore checkpoint,
                                  ChangeFeedOptions options) throws ChangeFeedException, IOException {
        return open(new VarnexChangeDetectionConnector(), server, database, password, checkpoint, options);
    }

    static ChangeFeed open(VarnexChangeDetectionConnector connector, String server, String database,
                           String password, Path checkpoint, ChangeFeedOptions options)
            throws ChangeFeedException, IOException {
        return open(connector, server, database, password,
                    new FileCheckpointStore(Objects.requireNonNull(checkpoint, "checkpoint")), options);
    }

    static ChangeFeed open(VarnexChangeDetectionConnector connector, String server, String database,
                           String password, CheckpointStore checkpoint, ChangeFeedOptions options)
            throws ChangeFeedException, IOException {
        Objects.requireNonNull(database, "database");
        Objects.requireNonNull(password, "password");
        Objects.requireNonNull(checkpoint, "checkpoint");
        Objects.requireNonNull(options, "options");
        String serverName = server == null ? "" : server;
        ChangeFeed feed;
        synchronized (NATIVE_CALLS) {
            if (openFeed != null) {
                throw new IllegalStateException("A change feed is open on " + openFeed.database
                                                + " already; close it before opening " + database);
            }
            String committed;
            try {
                committed = checkedCheckpoint(checkpoint, serverName, database, options);
            } catch (ChangeFeedException refused) {
                checkpoint.release();
                LOG.log(System.Logger.Level.WARNING, "Checkpoint refused: {0}", refused.getMessage());
                throw refused;
            } catch (IOException | RuntimeException failure) {
                checkpoint.release();
                throw failure;
            }
            String initial = committed != null ? committed : options.startEndText();
            try {
                connector.initTesra(server, database, password);
            } catch (Exception failure) {
                checkpoint.release();
                throw ChangeFeedException.ofNative(failure, database, options);
            }
            feed = new ChangeFeed(connector, serverName, database, password, checkpoint, initial, options);
            openFeed = feed;
        }
        feed.register();
        LOG.log(System.Logger.Level.INFO, "Change feed opened on {0}, {1}, {2}", feed.database, checkpoint,
                committedUntilText(feed.committedUntil, options));
        return feed;
    }

    private static String checkedCheckpoint(CheckpointStore checkpoint, String server, String database,
                                            ChangeFeedOptions options) throws ChangeFeedException, IOException {
        String committed = checkpoint.read(server, database);
        if (committed == null) {
            return null;
        }
        String problem = EndText.problem(committed);
        if (problem != null) {
            throw new ChangeFeedException("The " + checkpoint + " holds " + problem, null);
        }
        // Clocks a little apart (a server's, this machine's) are allowed for; a later end would skip
        // every change made until then.
        Instant end = EndText.toInstant(committed, options.storeZone());
        if (end.isAfter(Instant.now().plus(Duration.ofMinutes(1)))) {
            throw new ChangeFeedException("The " + checkpoint + " holds the end " + committed + ", later than now ("
                                          + EndText.of(Instant.now(), options.storeZone()) + " in the store's time zone "
                                          + options.storeZone() + "); a checkpoint is never ahead of the store (for a store "
                                          + "in another time zone, see ChangeFeedOptions.withStoreZone)", null);
        }
        return committed;
    }

    private static String committedUntilText(String committedUntil, ChangeFeedOptions options) {
        if (committedUntil != null) {
            return "from " + committedUntil;
        }
        return options.start() == ChangeFeedOptions.Start.NOW ? "from now" : "from the beginning";
    }

    /**
     * The end text the next poll starts from. Never waits.
     *
     * @return the end text of the last committed batch (or of {@link ChangeFeedOptions#withStartAt}), or
     *         null when none was committed yet
     */
    @Override
    public String committedUntil() {
        return committedUntil;
    }

    /**
     * Makes the next poll, and every poll until one is committed, a full listing marked
     * {@link ChangeBatch#resync()}: for a database that was restored or re-created while the consumer
     * was stopped, whose records the checkpoint's end text says nothing about. Never waits.
     */
    public void forceResync() {
        resyncPending = true;
    }

    /**
     * The feed's figures now. Never waits.
     *
     * @return a snapshot
     */
    public ChangeFeedStats stats() {
        return metrics.snapshot();
    }

    /**
     * Asks the store for the changes since the last committed batch.
     *
     * @return the changes; a full listing marked {@link ChangeBatch#resync()} when the store's history since
     *         the last commit was purged, the database's file was replaced, or a resync was forced
     * @throws ChangeFeedException   when the store fails, after the retries for a transient failure or when
     *                               the poll timeout runs out (with the last status), or reports an entry
     *                               that is not a change entry
     * @throws InterruptedException  when interrupted while waiting for its turn or pausing before a retry
     * @throws IllegalStateException when the feed is closed, before or during the poll
     */
    @Override
    public ChangeBatch poll() throws ChangeFeedException, InterruptedException {
        turn.lockInterruptibly();
        try {
            requireOpen();
            long deadline = System.nanoTime() + options.pollTimeout().toNanos();
            ChangeBatch batch;
            try {
                batch = firstBatch(deadline);
            } catch (ChangeFeedException failure) {
                metrics.failed(failure);
                throw failure;
            }
            lastPolled = batch;
            metrics.polled(batch);
            return batch;
        } finally {
            turn.unlock();
        }
    }

    private ChangeBatch firstBatch(long deadline) throws ChangeFeedException, InterruptedException {
        try {
            return plannedBatch(deadline);
        } catch (ChangeFeedException failure) {
            if (failure.status() != ChangeFeedOptions.DATABASE_REPLACED) {
                throw failure;
            }
            resyncPending = true;
            reopen();
            return resync("the file of " + database + " was replaced; it was opened again", deadline);
        }
    }

    private ChangeBatch plannedBatch(long deadline) throws ChangeFeedException, InterruptedException {
        String since = committedUntil;
        if (resyncPending) {
            return resync("a full listing is due and not yet committed", deadline);
        }
        if (since == null && options.start() == ChangeFeedOptions.Start.NOW) {
            // Changes between this instant and the store's end are skipped too: the batch starts at its own end.
            ChangeBatch now = query(EndText.of(Instant.now(), options.storeZone()), false, deadline);
            return new ChangeBatch(List.of(), now.until(), now.until(), false, options.storeZone());
        }
        try {
            return query(since, false, deadline);
        } catch (ChangeFeedException failure) {
            if (since == null || !options.resyncStatuses().contains(failure.status())) {
                throw failure;
            }
            return resync("the store has no history since " + since + ", purged or from before the database was made"
                          + " (status " + failure.statusHex() + ")", deadline);
        }
    }

    private ChangeBatch resync(String why, long deadline) throws ChangeFeedException, InterruptedException {
        LOG.log(System.Logger.Level.WARNING, "Full listing of {0}: {1}", database, why);
        ChangeBatch batch = query(null, true, deadline);
        metrics.resyncs.incrementAndGet();
        return batch;
    }

    /** The open connections read a file that is no longer at the database's path: open the new one. */
    private void reopen() throws ChangeFeedException {
        synchronized (NATIVE_CALLS) {
            requireOpen();
            if (nativeOpen) {
                connector.termTesra();
                nativeOpen = false;
            }
        }
        openNative();
    }

    private void openNative() throws ChangeFeedException {
        synchronized (NATIVE_CALLS) {
            requireOpen();
            if (nativeOpen) {
                return;
            }
            try {
                connector.initTesra(server.isEmpty() ? null : server, databaseFile, password);
            } catch (Exception failure) {
                throw ChangeFeedException.ofNative(failure, database, options);
            }
            nativeOpen = true;
        }
    }

    /**
     * Records that the batch's changes are handled: the next poll, in this process or after a restart,
     * starts at its end. The checkpoint is written before this returns: a checkpoint file is replaced
     * atomically and flushed to disk; a {@link JdbcCheckpointStore} writes in the consumer's transaction.
     *
     * @param batch the batch the last poll returned
     * @throws IOException              when the checkpoint cannot be written; the last commit stays in force
     * @throws IllegalArgumentException when the batch is not the one the last poll returned
     * @throws IllegalStateException    when the feed is closed
     */
    @Override
    public void commit(ChangeBatch batch) throws IOException {
        Objects.requireNonNull(batch, "batch");
        turn.lock();
        try {
            requireOpen();
            if (batch != lastPolled) {
                throw new IllegalArgumentException("Only the batch the last poll returned can be committed, not " + batch);
            }
            try {
                synchronized (checkpoint) {
                    requireOpen();
                    checkpoint.write(server, databaseFile, batch.until());
                }
            } catch (IOException failure) {
                metrics.failed(failure);
                throw failure;
            }
            committedUntil = batch.until();
            if (batch.resync()) {
                resyncPending = false;
            }
            metrics.committed();
            LOG.log(System.Logger.Level.DEBUG, "Committed {0} on {1}", batch, database);
        } finally {
            turn.unlock();
        }
    }

    /**
     * Closes the database, shuts the store runtime down and releases the checkpoint; a second close does
     * nothing. From another thread during a poll, it wakes the poll's pause and waits only for the native
     * call in flight.
     */
    @Override
    public void close() {
        if (!closed.compareAndSet(false, true)) {
            return;
        }
        synchronized (pause) {
            pause.notifyAll();
        }
        synchronized (NATIVE_CALLS) {
            if (nativeOpen) {
                connector.termTesra();
                nativeOpen = false;
            }
            openFeed = null;
        }
        synchronized (checkpoint) {
            try {
                checkpoint.release();
            } catch (IOException failure) {
                LOG.log(System.Logger.Level.WARNING, "Cannot release the " + checkpoint, failure);
            }
        }
        // A closed feed keeps no batch alive; a poll still in flight holds the turn and ends on its own.
        if (turn.tryLock()) {
            try {
                lastPolled = null;
            } finally {
                turn.unlock();
            }
        }
        unregister();
        LOG.log(System.Logger.Level.INFO, "Change feed closed on {0}", database);
    }

    private void requireOpen() {
        if (closed.get()) {
            throw new IllegalStateException("The change feed on " + database + " is closed");
        }
    }

    private ChangeBatch query(String since, boolean resync, long deadline)
            throws ChangeFeedException, InterruptedException {
        for (int retry = 1; ; ++retry) {
            StringBuffer endText = new StringBuffer();
            List<String> entries;
            try {
                entries = search(since, endText);
            } catch (ChangeFeedException error) {
                if (retry > options.retries() || !error.isTransient()) {
                    throw error;
                }
                Duration pauseFor = options.backoffBefore(retry);
                if (System.nanoTime() + pauseFor.toNanos() - deadline > 0) {
                    throw new ChangeFeedException("The poll timeout of " + options.pollTimeout().toMillis()
                                                  + " ms ran out after " + retry + " attempts; the last failed: "
                                                  + error.getMessage(), error, error.status(), true, database);
                }
                metrics.retries.incrementAndGet();
                metrics.failed(error);
                LOG.log(System.Logger.Level.WARNING, "Retry {0} of {1} on {2} in {3} ms: {4}", retry, options.retries(),
                        database, pauseFor.toMillis(), error.getMessage());
                pause(pauseFor);
                continue;
            }
            return new ChangeBatch(changesIn(entries), since, endText.toString(), resync, options.storeZone());
        }
    }

    private List<String> search(String since, StringBuffer endText) throws ChangeFeedException {
        openNative();
        synchronized (NATIVE_CALLS) {
            requireOpen();
            try {
                return connector.getModifiedTesra(since, endText);
            } catch (Exception failure) {
                throw ChangeFeedException.ofNative(failure, database, options);
            }
        }
    }

    /** Sleeps, holding no lock that close needs, until the pause is over or the feed is closed. */
    private void pause(Duration length) throws InterruptedException {
        long end = System.nanoTime() + length.toNanos();
        synchronized (pause) {
            for (long left = length.toNanos(); left > 0 && !closed.get(); left = end - System.nanoTime()) {
                TimeUnit.NANOSECONDS.timedWait(pause, left);
            }
        }
        requireOpen();
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

    private void register() {
        try {
            String value = database.matches("[\\w .@/-]*") ? database : ObjectName.quote(database);
            ObjectName name = new ObjectName("com.kestrum.orlo.connector.feed:type=ChangeFeed,database=" + value);
            ManagementFactory.getPlatformMBeanServer().registerMBean(
                new StandardMBean(metrics, ChangeFeedMXBean.class, true), name);
            mbeanName = name;
        } catch (JMException | SecurityException failure) {
            LOG.log(System.Logger.Level.WARNING, "The change feed's MBean could not be registered", failure);
        }
    }

    private void unregister() {
        if (mbeanName != null) {
            try {
                ManagementFactory.getPlatformMBeanServer().unregisterMBean(mbeanName);
            } catch (JMException | SecurityException failure) {
                LOG.log(System.Logger.Level.WARNING, "The change feed's MBean could not be unregistered", failure);
            }
        }
    }

    /** The figures, updated by polls and commits and read without a lock. */
    private final class Metrics implements ChangeFeedMXBean {
        final AtomicLong polls = new AtomicLong();
        final AtomicLong changesSeen = new AtomicLong();
        final AtomicLong commits = new AtomicLong();
        final AtomicLong retries = new AtomicLong();
        final AtomicLong resyncs = new AtomicLong();
        volatile Instant lastPoll;
        volatile Instant lastEvent;
        volatile Instant lastCommit;
        volatile String lastError;

        void polled(ChangeBatch batch) {
            polls.incrementAndGet();
            changesSeen.addAndGet(batch.changes().size());
            lastPoll = Instant.now();
            if (!batch.changes().isEmpty()) {
                lastEvent = lastPoll;
            }
        }

        void committed() {
            commits.incrementAndGet();
            lastCommit = Instant.now();
        }

        void failed(Exception failure) {
            lastError = failure.getMessage();
        }

        ChangeFeedStats snapshot() {
            String until = committedUntil;
            Duration lag = until == null ? null : lag(until);
            return new ChangeFeedStats(!closed.get(), polls.get(), changesSeen.get(), commits.get(), retries.get(),
                                       resyncs.get(), lastPoll, lastCommit, lastError, until, lag);
        }

        private Duration lag(String until) {
            Duration lag = Duration.between(EndText.toInstant(until, options.storeZone()), Instant.now());
            return lag.isNegative() ? Duration.ZERO : lag;
        }

        @Override
        public boolean isConnected() {
            return !closed.get();
        }

        @Override
        public long getMilliSecondsBehindSource() {
            String until = committedUntil;
            return until == null ? -1 : lag(until).toMillis();
        }

        @Override
        public long getMilliSecondsSinceLastEvent() {
            Instant last = lastEvent;
            return last == null ? -1 : Duration.between(last, Instant.now()).toMillis();
        }

        @Override
        public long getTotalNumberOfEventsSeen() {
            return changesSeen.get();
        }

        @Override
        public long getNumberOfCommittedTransactions() {
            return commits.get();
        }

        @Override
        public long getNumberOfPolls() {
            return polls.get();
        }

        @Override
        public long getNumberOfRetries() {
            return retries.get();
        }

        @Override
        public long getNumberOfResyncs() {
            return resyncs.get();
        }

        @Override
        public String getLastError() {
            return lastError;
        }

        @Override
        public String getCommittedUntil() {
            return committedUntil;
        }
    }
}
