package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Objects;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicLong;
import java.util.concurrent.locks.ReentrantLock;
import java.util.function.Supplier;

import javax.management.JMException;
import javax.management.ObjectName;
import javax.management.StandardMBean;

/**
 * Follows the changes of one database of the store, batch by batch, keeping its place in a checkpoint:
 * a file, or a row of the consumer's own database.
 *
 * <pre>{@code
 * try (ChangeFeed feed = ChangeFeed.builder()
 *          .database("main.tdb")                      // .server("north") for a database on a server
 *          .password(password)                        // a char[], or a Supplier<char[]>
 *          .checkpoint(Path.of("main.checkpoint"))    // or a JdbcCheckpointStore
 *          .open()) {
 *     while (running) {
 *         ChangeBatch batch = feed.poll(Duration.ofSeconds(5));  // returns as soon as there are changes
 *         if (batch.resync()) {
 *             view.clear();
 *         }
 *         for (Change change : batch.changes()) {
 *             view.apply(change);
 *         }
 *         view.save();
 *         feed.commit(batch);
 *     }
 * }
 * }</pre>
 *
 * <h2>At least once, or exactly once</h2>
 * {@link #poll()} always starts from the end text of the last committed batch, which {@link #commit}
 * writes to the checkpoint and {@link Builder#open()} reads from it. A batch that was polled but not
 * committed (the consumer failed while handling it, or the process stopped between handling it and the
 * commit) is delivered again by the next poll, in this process or after a restart, with the same changes
 * or more: a record changed again in the meantime is listed once, in its latest state.
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
 * When that transaction rolls back instead, the next poll starts from the end text the consumer's database
 * still holds (the feed reads it again before each poll, and logs a warning when its position moves back),
 * so a rollback never skips a window. A newer feed opened on the same row takes it over: the older one's
 * polls and commits then fail with {@link ChangeFeedException#CHECKPOINT_TAKEN_OVER}.
 *
 * <p>A commit of a batch without changes moves the feed's position at once, and writes the checkpoint at
 * most once per {@link ChangeFeedOptions#emptyCommitInterval()}: an idle consumer does not write a file or
 * a row at every poll, and nothing is lost, as no change lies between the end text written and the
 * position. A restart may then deliver an empty window again.
 *
 * <h2>The checkpoint</h2>
 * A checkpoint belongs to one database: the open refuses one written for another server or database,
 * one of the wrong form, and one whose end lies more than a minute in the future (read in
 * {@link ChangeFeedOptions#storeZone()}), with a {@link ChangeFeedException} of status
 * {@link ChangeFeedException#CHECKPOINT_REFUSED} naming it. A checkpoint is held by one feed at a time: a
 * second process on a checkpoint file is refused at once; a feed opened on a checkpoint row takes it over
 * from the feed that held it. With no committed end text, the feed starts where
 * {@link ChangeFeedOptions#start()} says.
 *
 * <h2>Full listings</h2>
 * The poll lists every record from the beginning and marks its batch {@link ChangeBatch#resync()} when the
 * store reports that the history since the committed end text is gone (one of
 * {@link ChangeFeedOptions#resyncStatuses()}: the local store says so for a purged history and for a
 * database re-created since that end text); when the database's file was replaced under the open feed
 * ({@link ChangeFeedOptions#DATABASE_REPLACED}: the feed opens the database again first); and after
 * {@link #forceResync()}. The consumer rebuilds its view from such a batch, as records deleted in the
 * meantime are not listed. Until such a batch is committed, every poll is a full listing; when the
 * transaction that committed it rolls back, they start again.
 *
 * <h2>Failures</h2>
 * A failure with one of {@link ChangeFeedOptions#transientStatuses()} is tried again after a pause that
 * doubles each time, up to {@link ChangeFeedOptions#retries()} times and within
 * {@link ChangeFeedOptions#pollTimeout()}. Any other failure, or the last one, is thrown as a
 * {@link ChangeFeedException}; the feed stays open and the next poll starts from the last commit again.
 *
 * <h2>Threads, and how long each call can wait</h2>
 * The native library serves one database per copy of it (one per class loader that loads the connector
 * class), and opening or closing it must not overlap any other call into it. So only one feed of a class
 * loader is open at a time, and every call into the native library holds a lock for that call alone,
 * never across a pause. Each native call can take as long as the
 * store takes: against the local store, a call on a database that another process holds locked waits up
 * to the store's lock wait, {@code LockTimeout} in tesra.ini, 10 seconds by default. No option of the feed
 * cuts a store call short, so a poll's timeout and {@link #close()} can each wait that long beyond their
 * own bounds; where a shutdown must finish sooner (a task that gets 5 seconds to stop), set
 * {@code LockTimeout} in the store's configuration below that, for example {@code LockTimeout=2000}.
 * <ul>
 * <li>{@link Builder#open()} waits for the store to open the database, and for a checkpoint read; it
 *     never waits for another holder of a checkpoint file, which it refuses at once.</li>
 * <li>{@link #poll()} waits for at most {@link ChangeFeedOptions#pollTimeout()} plus one store call, and
 *     for a poll or commit of another thread on this feed: polls and commits take turns.
 *     {@link #poll(Duration)} waits up to its timeout for changes, plus one store call.</li>
 * <li>{@link #commit} waits for a poll of another thread, and for its checkpoint write.</li>
 * <li>{@link #wakeup()}, from any thread, makes a waiting {@link #poll(Duration)} return at once.</li>
 * <li>{@link #close()}, from any thread, marks the feed closed at once, wakes a poll that pauses, and
 *     waits only for the store call in flight, if any; the interrupted poll throws an
 *     {@link IllegalStateException}.</li>
 * <li>{@link #committedUntil()}, {@link #stats()} and the JMX attributes never wait.</li>
 * </ul>
 *
 * <h2>Store calls in a child process</h2>
 * With {@link ChangeFeedOptions#withIsolation} and {@link Isolation#childProcess()}, the feed makes its
 * store calls in a JVM of its own that it starts, and this JVM never loads the native library. A crash of
 * the native side, or any end of the child, fails the poll in flight with a transient
 * {@link ChangeFeedException} of status {@link ChangeFeedException#CHILD_PROCESS_FAILED} that gives the
 * child's exit status or signal and the last lines it wrote; the next poll starts a new child (after a pause
 * that doubles with each end in a row, within the poll timeout) and resumes from the last commit. A child
 * call that runs past the poll timeout ends the child, and {@link #close()} ends it at once, whatever it is
 * doing. Each isolated feed has its own child: the one-feed-per-class-loader rule does not bind them.
 *
 * <h2>Logging and monitoring</h2>
 * The feed logs through {@link System.Logger} under this class's name: open and close at INFO; each retry
 * (status and pause), each full listing, each refused checkpoint and each position moved back at WARNING;
 * commits at DEBUG; nothing per change. While open, the feed's figures ({@link #stats()}) are a JMX MBean
 * named {@code com.kestrum.orlo.connector.feed:type=ChangeFeed,database=NAME} ({@link ChangeFeedMXBean}),
 * or as {@link ChangeFeedOptions#withMBeanName} says, or none after {@link ChangeFeedOptions#withoutMBean()}.
 */
public final class ChangeFeed implements ChangeSource {
    private static final System.Logger LOG = System.getLogger(ChangeFeed.class.getName());
    // Guards every call into the native library, and openFeed.
    private static final Object NATIVE_CALLS = new Object();
    private static ChangeFeed openFeed;

    private final StoreCalls calls;
    // Guards every store call of this feed: NATIVE_CALLS in process, the feed's own lock with a child.
    private final Object callLock;
    private final String server;
    private final String databaseFile;
    private final Password password;
    private final String database;
    private final CheckpointStore checkpoint;
    private final ChangeFeedOptions options;
    // Polls and commits take turns; close does not wait for them.
    private final ReentrantLock turn = new ReentrantLock();
    // A poll pausing (between retries, or between store polls) waits on it; close and wakeup wake it.
    private final Object pause = new Object();
    private final AtomicBoolean closed = new AtomicBoolean();
    private final AtomicBoolean wakeup = new AtomicBoolean();
    private final Metrics metrics = new Metrics();
    // The position: where the next poll starts.
    private volatile String committedUntil;
    // Until a full listing is committed, each poll is one: a forced resync, or a replaced database.
    private volatile boolean resyncPending;
    private ChangeBatch lastPolled;     // guarded by turn
    // What the checkpoint held when last read or written; the position may be ahead of it after empty commits.
    private String stored;              // guarded by turn
    // Where polls start while the checkpoint holds nothing: the start's end text, or the first "now".
    private String startPosition;       // guarded by turn
    // The end of the last full listing committed, so that a rollback of its commit brings the listing back.
    private String lastResyncUntil;     // guarded by turn
    private long lastWriteNanos = System.nanoTime();  // guarded by turn
    private String deadlineText;        // guarded by turn: what bounds the poll in progress
    private long callDeadline;          // guarded by turn: when a child's call in this poll is ended
    private ObjectName mbeanName;

    private ChangeFeed(StoreCalls calls, Object callLock, String server, String databaseFile, Password password,
                       CheckpointStore checkpoint, String committed, ChangeFeedOptions options) {
        this.calls = calls;
        this.callLock = callLock;
        this.server = server;
        this.databaseFile = databaseFile;
        this.password = password;
        this.database = displayName(server, databaseFile);
        this.checkpoint = checkpoint;
        this.stored = committed;
        this.startPosition = options.startEndText();
        this.committedUntil = committed != null ? committed : startPosition;
        this.options = options;
    }

    private static String displayName(String server, String databaseFile) {
        return server.isEmpty() ? databaseFile : databaseFile + " on server " + server;
    }

    /**
     * A builder for a feed: name the database, the password and the checkpoint, then {@link Builder#open()}.
     *
     * @return a new builder, with {@link ChangeFeedOptions#defaults()}
     */
    public static Builder builder() {
        return new Builder();
    }

    /**
     * Opens the database with {@link ChangeFeedOptions#defaults()} and a checkpoint file: shorthand for
     * {@link #builder()}.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the checkpoint file ({@link FileCheckpointStore}); it need not exist yet, but its
     *                   folder must
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     *                               or cannot be read
     * @throws IOException           declared for callers written against earlier versions; not thrown
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint)
            throws ChangeFeedException, IOException {
        return open(server, database, password, checkpoint, ChangeFeedOptions.defaults());
    }

    /**
     * Opens the database with a checkpoint file: shorthand for {@link #builder()}.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint the checkpoint file ({@link FileCheckpointStore}); it need not exist yet, but its
     *                   folder must
     * @param options    the statuses, retries, timeouts and intervals, start and store time zone
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     *                               or cannot be read
     * @throws IOException           declared for callers written against earlier versions; not thrown
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, Path checkpoint,
                                  ChangeFeedOptions options) throws ChangeFeedException, IOException {
        return builder().server(server).database(database).password(toChars(password)).checkpoint(checkpoint)
            .options(options).open();
    }

    /**
     * Opens the database with a checkpoint kept elsewhere, for example in the consumer's own database
     * ({@link JdbcCheckpointStore}): shorthand for {@link #builder()}.
     *
     * @param server     the server holding the database; null or empty for a local database
     * @param database   the database's file name
     * @param password   the password of the ID file named by the store's configuration
     * @param checkpoint where the end text of the last committed batch is kept
     * @param options    the statuses, retries, timeouts and intervals, start and store time zone
     * @return the open feed
     * @throws ChangeFeedException   when the store cannot open the database, or the checkpoint is refused
     *                               or cannot be read
     * @throws IOException           declared for callers written against earlier versions; not thrown
     * @throws IllegalStateException when a feed is open already
     */
    public static ChangeFeed open(String server, String database, String password, CheckpointStore checkpoint,
                                  ChangeFeedOptions options) throws ChangeFeedException, IOException {
        return builder().server(server).database(database).password(toChars(password)).checkpoint(checkpoint)
            .options(options).open();
    }

    private static char[] toChars(String password) {
        return Objects.requireNonNull(password, "password").toCharArray();
    }

    /**
     * What a feed is opened on: the database, the password, the checkpoint and the options. Each setter
     * returns this builder; {@link #open()} may be called more than once, each time for a new feed.
     */
    public static final class Builder {
        private VarnexChangeDetectionConnector connector;
        private String server;
        private String database;
        private char[] passwordCharacters;
        private Supplier<char[]> passwordSource;
        private Path checkpointFile;
        private CheckpointStore checkpointStore;
        private ChangeFeedOptions options = ChangeFeedOptions.defaults();

        private Builder() {
        }

        /**
         * The server holding the database.
         *
         * @param name the server's name; null or empty (the default) for a local database
         * @return this builder
         */
        public Builder server(String name) {
            this.server = name;
            return this;
        }

        /**
         * The database to follow.
         *
         * @param fileName the database's file name, as the store names it
         * @return this builder
         */
        public Builder database(String fileName) {
            this.database = Objects.requireNonNull(fileName, "database");
            return this;
        }

        /**
         * The password of the ID file named by the store's configuration. The characters are copied: clear
         * your array once the feed is open. The feed keeps its copy to open the database again after its
         * file was replaced, and clears it at close; the store's connector class takes a {@code String}, so
         * one is made for each open and dropped right after.
         *
         * @param characters the password
         * @return this builder
         */
        public Builder password(char[] characters) {
            this.passwordCharacters = Objects.requireNonNull(characters, "password").clone();
            this.passwordSource = null;
            return this;
        }

        /**
         * Where the password comes from, asked at each open of the database (the first, and after a
         * replaced file): a secret store, a file readable only by this user. The feed clears each array it
         * is given once it used it, and keeps none.
         *
         * @param source gives a new array holding the password at each call
         * @return this builder
         */
        public Builder password(Supplier<char[]> source) {
            this.passwordSource = Objects.requireNonNull(source, "password");
            this.passwordCharacters = null;
            return this;
        }

        /**
         * A checkpoint file ({@link FileCheckpointStore}), replacing a checkpoint store given before.
         *
         * @param file the checkpoint file; it need not exist yet, but its folder must
         * @return this builder
         */
        public Builder checkpoint(Path file) {
            this.checkpointFile = Objects.requireNonNull(file, "checkpoint");
            this.checkpointStore = null;
            return this;
        }

        /**
         * A checkpoint kept elsewhere, for example in the consumer's own database
         * ({@link JdbcCheckpointStore}), replacing a checkpoint file given before.
         *
         * @param store where the end text of the last committed batch is kept
         * @return this builder
         */
        public Builder checkpoint(CheckpointStore store) {
            this.checkpointStore = Objects.requireNonNull(store, "checkpoint");
            this.checkpointFile = null;
            return this;
        }

        /**
         * The options: statuses, retries, timeouts and intervals, the start and the store's time zone.
         *
         * @param feedOptions the options; {@link ChangeFeedOptions#defaults()} unless given
         * @return this builder
         */
        public Builder options(ChangeFeedOptions feedOptions) {
            this.options = Objects.requireNonNull(feedOptions, "options");
            return this;
        }

        /** The connector class to call, for tests that stand in for the store. */
        Builder connector(VarnexChangeDetectionConnector stand) {
            this.connector = stand;
            return this;
        }

        /**
         * Reads (and claims) the checkpoint, opens the database and registers the feed's MBean.
         *
         * @return the open feed
         * @throws ChangeFeedException      when the store cannot open the database (its status tells why,
         *                                  and the message names a configuration file it cannot read), or
         *                                  the checkpoint is refused ({@link ChangeFeedException#CHECKPOINT_REFUSED})
         *                                  or cannot be read ({@link ChangeFeedException#CHECKPOINT_FAILED})
         * @throws NullPointerException     when the database, the password or the checkpoint is missing
         * @throws IllegalStateException    when a feed of this class loader is open already, in process
         *                                  (isolated feeds, {@link ChangeFeedOptions#withIsolation}, are not
         *                                  bound by that)
         * @throws UnsatisfiedLinkError     when the native library cannot be loaded in process; its message says
         *                                  what was tried (an isolated feed throws a {@link ChangeFeedException}
         *                                  of status {@link ChangeFeedException#CHILD_PROCESS_FAILED} with the
         *                                  child's message instead)
         */
        public ChangeFeed open() throws ChangeFeedException {
            Objects.requireNonNull(database, "database");
            if (passwordCharacters == null && passwordSource == null) {
                throw new NullPointerException("password");
            }
            String serverName = server == null ? "" : server;
            CheckpointStore store = checkpointStore;
            if (store == null) {
                try {
                    store = new FileCheckpointStore(Objects.requireNonNull(checkpointFile, "checkpoint"));
                } catch (IOException missingFolder) {
                    throw new ChangeFeedException("Cannot keep a checkpoint file there: " + missingFolder.getMessage(),
                                                  missingFolder, ChangeFeedException.CHECKPOINT_FAILED,
                                                  displayName(serverName, database));
                }
            }
            String name = displayName(serverName, database);
            StoreCalls calls = connector != null ? new ConnectorCalls(connector)
                : options.isolation().isChildProcess() ? new ChildProcessCalls(name, options)
                : new ConnectorCalls(new VarnexChangeDetectionConnector());
            return ChangeFeed.open(calls, serverName, database, new Password(passwordCharacters == null ? null : passwordCharacters.clone(), passwordSource),
                                   store, options);
        }
    }

    private static ChangeFeed open(StoreCalls calls, String server, String database,
                                   Password password, CheckpointStore checkpoint, ChangeFeedOptions options)
            throws ChangeFeedException {
        String name = displayName(server, database);
        ChangeFeed feed;
        Object callLock = calls.isolated() ? new Object() : NATIVE_CALLS;
        synchronized (callLock) {
            if (!calls.isolated() && openFeed != null) {
                throw new IllegalStateException("A change feed is open on " + openFeed.database
                                                + " already; close it before opening " + name);
            }
            String committed;
            try {
                committed = checkedCheckpoint(checkpoint, server, database, options);
            } catch (ChangeFeedException refused) {
                releaseAfterFailure(checkpoint, refused);
                ChangeFeedException named = refused.on(name);
                LOG.log(System.Logger.Level.WARNING, "Checkpoint refused: {0}", named.getMessage());
                throw named;
            } catch (IOException failure) {
                ChangeFeedException unreadable = new ChangeFeedException("Cannot read the " + checkpoint + ": "
                                                                         + failure.getMessage(), failure,
                                                                         ChangeFeedException.CHECKPOINT_FAILED, name);
                releaseAfterFailure(checkpoint, unreadable);
                throw unreadable;
            } catch (RuntimeException failure) {
                releaseAfterFailure(checkpoint, failure);
                throw failure;
            }
            long deadline = System.nanoTime() + options.pollTimeout().toNanos();
            try {
                password.use(characters -> calls.open(server.isEmpty() ? null : server, database, characters, deadline));
            } catch (Exception failure) {
                ChangeFeedException refused = ChangeFeedException.ofNative(failure, name, options, calls.tesraIni());
                releaseAfterFailure(checkpoint, refused);
                password.clear();
                throw refused;
            }
            feed = new ChangeFeed(calls, callLock, server, database, password, checkpoint, committed, options);
            if (!calls.isolated()) {
                synchronized (NATIVE_CALLS) {  // the lock held already: callLock is NATIVE_CALLS in process
                    openFeed = feed;
                }
            }
        }
        feed.register();
        LOG.log(System.Logger.Level.INFO, "Change feed opened on {0}, {1}, {2}", feed.database, checkpoint,
                committedUntilText(feed.committedUntil, options));
        return feed;
    }

    private static void releaseAfterFailure(CheckpointStore checkpoint, Throwable failure) {
        try {
            checkpoint.release();
        } catch (IOException | RuntimeException alsoFailed) {
            failure.addSuppressed(alsoFailed);
        }
    }

    private static String checkedCheckpoint(CheckpointStore checkpoint, String server, String database,
                                            ChangeFeedOptions options) throws ChangeFeedException, IOException {
        String committed = checkpoint.read(server, database);
        if (committed != null) {
            checkEndText(checkpoint, committed, options);
        }
        return committed;
    }

    /** Refuses an end text of another form, or one ahead of the store. */
    private static void checkEndText(CheckpointStore checkpoint, String committed, ChangeFeedOptions options)
            throws ChangeFeedException {
        String problem = EndText.problem(committed);
        if (problem != null) {
            throw new ChangeFeedException("The " + checkpoint + " holds " + problem, null,
                                          ChangeFeedException.CHECKPOINT_REFUSED, null);
        }
        // Clocks a little apart (a server's, this machine's) are allowed for; a later end would skip
        // every change made until then.
        Instant end = EndText.toInstant(committed, options.storeZone());
        if (end.isAfter(Instant.now().plus(Duration.ofMinutes(1)))) {
            throw new ChangeFeedException("The " + checkpoint + " holds the end " + committed + ", later than now ("
                                          + EndText.of(Instant.now(), options.storeZone()) + " in the store's time zone "
                                          + options.storeZone() + "); a checkpoint is never ahead of the store. For a store "
                                          + "in another time zone, see ChangeFeedOptions.withStoreZone. If the store's clock "
                                          + "ran ahead and was put right since, its database keeps times from then: run "
                                          + "tesra-admin repair-times on it, then start this consumer afresh (remove the "
                                          + "checkpoint, and rebuild the view from the full listing)", null,
                                          ChangeFeedException.CHECKPOINT_REFUSED, null);
        }
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
     * {@link ChangeBatch#resync()}: for a database that was restored while the consumer was stopped (or
     * re-created, against a store that does not report that itself), whose records the checkpoint's end
     * text says nothing about. A commit of a batch polled before this call does not cancel it. Never waits.
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
     * Asks the store once for the changes since the last committed batch, and returns at once, with an
     * empty batch when there are none.
     *
     * @return the changes; a full listing marked {@link ChangeBatch#resync()} when the store's history since
     *         the last commit is gone, the database's file was replaced, or a resync was forced
     * @throws ChangeFeedException   when the store fails, after the retries for a transient failure or when
     *                               the poll timeout runs out (with the last status), or reports an entry
     *                               that is not a change entry; when the checkpoint was taken over by a
     *                               newer feed or cannot be read
     * @throws InterruptedException  when interrupted while waiting for its turn or pausing before a retry
     * @throws IllegalStateException when the feed is closed, before or during the poll
     */
    @Override
    public ChangeBatch poll() throws ChangeFeedException, InterruptedException {
        turn.lockInterruptibly();
        try {
            requireOpen();
            return pollOnce(false, 0);
        } finally {
            turn.unlock();
        }
    }

    /**
     * Waits up to the timeout for changes: asks the store, and while the batch is empty, pauses for
     * {@link ChangeFeedOptions#pollInterval()} and asks again. Returns as soon as a batch has changes (or
     * is a full listing), when the timeout is over, or at once after {@link #wakeup()}, with the last
     * batch, which may be empty; every batch it returns is committed as usual. It always asks the store at
     * least once, and a store call in flight when the timeout ends is waited for.
     *
     * @param timeout how long to wait for changes; zero asks the store once
     * @return the batch
     * @throws ChangeFeedException   as {@link #poll()}, also when a transient failure outlasts the timeout
     * @throws InterruptedException  when interrupted while waiting
     * @throws IllegalStateException when the feed is closed, before or during the wait
     */
    @Override
    public ChangeBatch poll(Duration timeout) throws ChangeFeedException, InterruptedException {
        if (timeout.isNegative()) {
            throw new IllegalArgumentException("A poll's timeout must not be negative, not " + timeout);
        }
        // Duration.ofMillis(Long.MAX_VALUE), "for ever", has more nanoseconds than a long holds; a
        // hundred years is as long.
        long end = System.nanoTime() + Math.min(timeout.toSeconds(), TimeUnit.DAYS.toSeconds(36500)) * 1_000_000_000L
                   + timeout.toNanosPart();
        turn.lockInterruptibly();
        try {
            requireOpen();
            while (true) {
                ChangeBatch batch = pollOnce(true, end);
                long left = end - System.nanoTime();
                if (!batch.changes().isEmpty() || batch.resync() || left <= 0 || wakeup.getAndSet(false)) {
                    return batch;
                }
                if (pause(Math.min(left, options.pollInterval().toNanos()), true)) {
                    wakeup.set(false);
                    return batch;
                }
            }
        } finally {
            turn.unlock();
        }
    }

    /**
     * Makes a {@link #poll(Duration)} that waits for changes return its empty batch at once; when none is
     * waiting, the next one returns after its first store call. For a shutdown hook or another thread that
     * wants the polling loop to look at its own state (Kafka's consumer has the same). Never waits.
     */
    @Override
    public void wakeup() {
        wakeup.set(true);
        synchronized (pause) {
            pause.notifyAll();
        }
    }

    /** One store poll, its retries bounded by the poll timeout and, when bounded, the end of a wait. */
    private ChangeBatch pollOnce(boolean bounded, long waitEnd) throws ChangeFeedException, InterruptedException {
        long deadline = System.nanoTime() + options.pollTimeout().toNanos();
        callDeadline = deadline;
        deadlineText = "The poll timeout of " + options.pollTimeout().toMillis() + " ms";
        if (bounded && waitEnd - deadline < 0) {
            deadline = waitEnd;
            deadlineText = "The timeout given to poll";
        }
        ChangeBatch batch;
        try {
            followCheckpoint();
            batch = firstBatch(deadline);
        } catch (ChangeFeedException failure) {
            ChangeFeedException named = failure.on(database);
            metrics.pollFailed(named);
            throw named;
        }
        if (startPosition == null && committedUntil == null && options.start() == ChangeFeedOptions.Start.NOW) {
            startPosition = batch.until();  // "now" is chosen once: a poll not committed starts there again
        }
        lastPolled = batch;
        metrics.polled(batch);
        return batch;
    }

    /**
     * Takes the checkpoint's end text as the position when it no longer holds what this feed last wrote:
     * the consumer's transaction that held the last commit rolled back.
     */
    private void followCheckpoint() throws ChangeFeedException {
        if (checkpoint.holdsLastWrite(server, databaseFile)) {
            return;
        }
        String now;
        try {
            now = checkpoint.reread(server, databaseFile);
        } catch (IOException failure) {
            throw new ChangeFeedException("Cannot read the " + checkpoint + ": " + failure.getMessage(), failure,
                                          ChangeFeedException.CHECKPOINT_FAILED, database);
        }
        if (now != null) {
            checkEndText(checkpoint, now, options);
        }
        String position = now != null ? now : startPosition;
        LOG.log(System.Logger.Level.WARNING, "The {0} holds {1}, not {2} as this feed wrote: the transaction of that "
                + "commit was rolled back; polls of {3} start from {4} again", checkpoint, describe(now), stored, database,
                describe(position));
        stored = now;
        committedUntil = position;
        // A full listing whose commit may have been undone with the rest is due again: a listing too many
        // costs time, one too few leaves records in the view that the store no longer has.
        if (lastResyncUntil != null && (now == null || now.compareTo(lastResyncUntil) <= 0)) {
            resyncPending = true;
            lastResyncUntil = null;
        }
    }

    private static String describe(String endText) {
        return endText == null ? "nothing" : endText;
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
        String since = committedUntil != null ? committedUntil : startPosition;
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
            return resync("the store's history since " + since + " is gone: purged, or the database was re-created "
                          + "(status " + failure.statusHex() + ")", deadline);
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
        synchronized (callLock) {
            requireOpen();
            calls.close();
        }
        openNative();
    }

    private void openNative() throws ChangeFeedException {
        synchronized (callLock) {
            requireOpen();
            if (calls.isOpen()) {
                return;
            }
            try {
                password.use(characters -> calls.open(server.isEmpty() ? null : server, databaseFile, characters,
                                                      callDeadline));
            } catch (Exception failure) {
                requireOpen();
                throw ChangeFeedException.ofNative(failure, database, options, calls.tesraIni());
            }
        }
    }

    /**
     * Records that the batch's changes are handled: the next poll, in this process or after a restart,
     * starts at its end. The checkpoint is written before this returns: a checkpoint file is replaced
     * atomically and flushed to disk; a {@link JdbcCheckpointStore} writes in the consumer's transaction.
     * A batch without changes moves the position at once but is written at most once per
     * {@link ChangeFeedOptions#emptyCommitInterval()}.
     *
     * @param batch the batch the last poll returned
     * @throws ChangeFeedException      when the checkpoint cannot be written (status
     *                                  {@link ChangeFeedException#CHECKPOINT_FAILED}, the cause tells why:
     *                                  an {@link IOException}, or the {@link java.sql.SQLException} of a
     *                                  checkpoint row), or another feed took it over
     *                                  ({@link ChangeFeedException#CHECKPOINT_TAKEN_OVER}); the last commit
     *                                  stays in force
     * @throws IllegalArgumentException when the batch is not the one the last poll returned
     * @throws IllegalStateException    when the feed is closed
     */
    @Override
    public void commit(ChangeBatch batch) throws ChangeFeedException {
        Objects.requireNonNull(batch, "batch");
        turn.lock();
        try {
            requireOpen();
            if (batch != lastPolled) {
                throw new IllegalArgumentException("Only the batch the last poll returned can be committed, not " + batch);
            }
            boolean empty = batch.changes().isEmpty() && !batch.resync();
            if (!empty || stored == null || System.nanoTime() - lastWriteNanos >= options.emptyCommitInterval().toNanos()) {
                write(batch.until());
            }
            committedUntil = batch.until();
            if (batch.resync()) {
                resyncPending = false;
                lastResyncUntil = batch.until();
            }
            if (!empty) {
                metrics.committed();
            }
            LOG.log(System.Logger.Level.DEBUG, "Committed {0} on {1}", batch, database);
        } finally {
            turn.unlock();
        }
    }

    private void write(String endText) throws ChangeFeedException {
        try {
            synchronized (checkpoint) {
                requireOpen();
                checkpoint.write(server, databaseFile, endText);
            }
        } catch (ChangeFeedException failure) {
            ChangeFeedException named = failure.on(database);
            metrics.failed(named);
            throw named;
        } catch (IOException failure) {
            ChangeFeedException named = new ChangeFeedException("Cannot write the " + checkpoint + ": "
                                                                + failure.getMessage(), failure,
                                                                ChangeFeedException.CHECKPOINT_FAILED, database);
            metrics.failed(named);
            throw named;
        }
        stored = endText;
        lastWriteNanos = System.nanoTime();
        metrics.written();
    }

    /**
     * Closes the database, shuts the store runtime down, releases the checkpoint and clears the password;
     * a second close does nothing. From another thread during a poll, it wakes the poll's pause and waits
     * only for the native call in flight.
     */
    @Override
    public void close() {
        if (!closed.compareAndSet(false, true)) {
            return;
        }
        synchronized (pause) {
            pause.notifyAll();
        }
        if (calls.isolated()) {
            // Ends the child whatever it does; a call in flight then fails, and its poll sees the feed closed.
            calls.abort();
            password.clear();
        } else {
            synchronized (NATIVE_CALLS) {  // callLock, in process
                calls.close();
                openFeed = null;
                password.clear();
            }
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
            StringBuilder endText = new StringBuilder();
            Entries entries = new Entries();
            try {
                search(since, endText, entries);
            } catch (ChangeFeedException error) {
                // A child that ended fails the poll in flight; the next poll starts a new one.
                if (retry > options.retries() || !error.isTransient()
                    || error.status() == ChangeFeedException.CHILD_PROCESS_FAILED) {
                    throw error;
                }
                Duration pauseFor = options.backoffBefore(retry);
                if (System.nanoTime() + pauseFor.toNanos() - deadline > 0) {
                    throw new ChangeFeedException(deadlineText + " ran out after " + retry
                                                  + (retry == 1 ? " attempt" : " attempts") + "; the last failed: "
                                                  + error.getMessage(), error, error.status(), true, database);
                }
                metrics.retries.incrementAndGet();
                metrics.failed(error);
                LOG.log(System.Logger.Level.WARNING, "Retry {0} of {1} on {2} in {3} ms: {4}", retry, options.retries(),
                        database, pauseFor.toMillis(), error.getMessage());
                pause(pauseFor.toNanos(), false);
                continue;
            }
            return new ChangeBatch(entries.changes(), since, endText.toString(), resync, options.storeZone());
        }
    }

    private void search(String since, StringBuilder endText, Entries entries) throws ChangeFeedException {
        openNative();
        synchronized (callLock) {
            requireOpen();
            try {
                calls.search(since, endText, entries, callDeadline);
            } catch (Exception failure) {
                requireOpen();
                throw ChangeFeedException.ofNative(failure, database, options, calls.tesraIni());
            }
        }
    }

    /** The process id of an isolated feed's child, -1 when it has none running; for tests. */
    long childPid() {
        return calls.childPid();
    }

    /**
     * Sleeps, holding no lock that close needs, until the pause is over or the feed is closed, or, when
     * {@code wakeable}, a wakeup came; says whether one did.
     */
    private boolean pause(long nanos, boolean wakeable) throws InterruptedException {
        long end = System.nanoTime() + nanos;
        synchronized (pause) {
            for (long left = nanos; left > 0 && !closed.get() && !(wakeable && wakeup.get());
                 left = end - System.nanoTime()) {
                TimeUnit.NANOSECONDS.timedWait(pause, left);
            }
        }
        requireOpen();
        return wakeable && wakeup.get();
    }

    /** The changes of a search, read as its entries come; the first malformed entry is kept for after it. */
    private static final class Entries implements java.util.function.Consumer<String> {
        private final List<Change> changes = new ArrayList<>();
        private RuntimeException malformed;

        @Override
        public void accept(String entry) {
            if (malformed != null) {
                return;
            }
            try {
                changes.add(Change.parse(entry));
            } catch (IllegalArgumentException | NullPointerException failure) {
                malformed = failure;
            }
        }

        List<Change> changes() throws ChangeFeedException {
            if (malformed != null) {
                throw new ChangeFeedException("The store reported a malformed change entry: " + malformed.getMessage(),
                                              malformed, ChangeFeedException.MALFORMED_ENTRY, null);
            }
            return changes;
        }
    }

    private void register() {
        if (!options.registersMBean()) {
            return;
        }
        try {
            if (options.mbeanName() != null) {
                ManagementFactory.getPlatformMBeanServer().registerMBean(
                    new StandardMBean(metrics, ChangeFeedMXBean.class, true), options.mbeanName());
                mbeanName = options.mbeanName();
                return;
            }
            String value = database.matches("[\\w .@/-]*") ? database : ObjectName.quote(database);
            String base = "com.kestrum.orlo.connector.feed:type=ChangeFeed,database=" + value;
            // Isolated feeds on databases of the same name in different stores: instance=2, 3, ...
            for (int instance = 1; ; ++instance) {
                ObjectName name = new ObjectName(instance == 1 ? base : base + ",instance=" + instance);
                try {
                    ManagementFactory.getPlatformMBeanServer().registerMBean(
                        new StandardMBean(metrics, ChangeFeedMXBean.class, true), name);
                    mbeanName = name;
                    return;
                } catch (javax.management.InstanceAlreadyExistsException taken) {
                    if (instance == 100) {
                        throw taken;
                    }
                }
            }
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
        final AtomicLong failedPolls = new AtomicLong();
        volatile Instant lastPoll;
        volatile Instant lastEvent;
        volatile Instant lastCommit;
        // The failure of the last poll or commit, cleared by a poll that succeeds; and the most recent, kept.
        volatile ChangeFeedStats.Failure currentFailure;
        volatile ChangeFeedStats.Failure mostRecentFailure;

        void polled(ChangeBatch batch) {
            polls.incrementAndGet();
            changesSeen.addAndGet(batch.changes().size());
            lastPoll = Instant.now();
            if (!batch.changes().isEmpty()) {
                lastEvent = lastPoll;
            }
            currentFailure = null;
        }

        void committed() {
            commits.incrementAndGet();
        }

        void written() {
            lastCommit = Instant.now();
        }

        void pollFailed(Exception failure) {
            failedPolls.incrementAndGet();
            failed(failure);
        }

        void failed(Exception failure) {
            ChangeFeedStats.Failure now = new ChangeFeedStats.Failure(failure.getMessage(), Instant.now());
            currentFailure = now;
            mostRecentFailure = now;
        }

        ChangeFeedStats snapshot() {
            String until = committedUntil;
            Duration lag = until == null ? null : lag(until);
            return new ChangeFeedStats(!closed.get(), polls.get(), changesSeen.get(), commits.get(), retries.get(),
                                       resyncs.get(), failedPolls.get(), lastPoll, lastCommit, currentFailure,
                                       mostRecentFailure, until, lag);
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
        public long getNumberOfFailedPolls() {
            return failedPolls.get();
        }

        @Override
        public String getLastError() {
            ChangeFeedStats.Failure failure = currentFailure;
            return failure == null ? null : failure.time + " " + failure.message;
        }

        @Override
        public String getMostRecentError() {
            ChangeFeedStats.Failure failure = mostRecentFailure;
            return failure == null ? null : failure.message;
        }

        @Override
        public long getMostRecentErrorTime() {
            ChangeFeedStats.Failure failure = mostRecentFailure;
            return failure == null ? -1 : failure.time.toEpochMilli();
        }

        @Override
        public String getCommittedUntil() {
            return committedUntil;
        }
    }

    /** The password: its characters, cleared at close, or a source asked at each open of the database. */
    private static final class Password {
        private char[] characters;
        private Supplier<char[]> source;

        Password(char[] characters, Supplier<char[]> source) {
            this.characters = characters;
            this.source = source;
        }

        /** The connector class's call, given the password as the String it takes. */
        interface Use {
            void with(String password) throws Exception;
        }

        synchronized void use(Use call) throws Exception {
            char[] given = characters != null ? characters.clone() : source != null ? source.get() : null;
            if (given == null) {
                throw new IllegalStateException(source == null ? "The change feed is closed"
                                                               : "The password supplier gave null");
            }
            try {
                call.with(new String(given));
            } finally {
                Arrays.fill(given, '\0');
            }
        }

        synchronized void clear() {
            if (characters != null) {
                Arrays.fill(characters, '\0');
                characters = null;
            }
            source = null;
        }
    }
}
