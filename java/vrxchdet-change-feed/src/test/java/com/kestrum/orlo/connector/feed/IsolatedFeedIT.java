package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.tests.IsolatedChildren;
import com.kestrum.orlo.connector.tests.SampleStore;

import java.io.BufferedReader;
import java.io.IOException;
import java.io.InputStreamReader;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import java.util.stream.Stream;

import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Assumptions;
import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/**
 * Isolated feeds: each feed's store calls in a child process of its own, real children on real databases.
 * No test here opens a feed in process, so this JVM must never map the native library.
 */
class IsolatedFeedIT {
    private static final int KILLS = 30;
    private static final String PASSWORD = "isolated secret";
    private Path base;
    private final List<AutoCloseable> open = new ArrayList<>();
    private final List<Process> processes = new ArrayList<>();

    @BeforeEach
    void cleanFolder() throws IOException {
        // The execution whose store fails every search (StoreStaysLockedIT's) would hand its fault to every child.
        Assumptions.assumeTrue(System.getenv("TESRA_FAULTS") == null, "TESRA_FAULTS is set");
        base = Path.of(System.getenv("TESRA_INI")).toAbsolutePath().getParent().resolveSibling("isolated");
        if (Files.exists(base)) {
            try (Stream<Path> paths = Files.walk(base)) {
                for (Path path : paths.sorted(java.util.Comparator.reverseOrder()).toList()) {
                    Files.delete(path);
                }
            }
        }
        Files.createDirectories(base);
    }

    @AfterEach
    void leaveNothingRunning() throws Exception {
        for (AutoCloseable closeable : open) {
            closeable.close();
        }
        for (Process process : processes) {
            process.destroyForcibly();
            assertTrue(process.waitFor(10, TimeUnit.SECONDS), "waited 10 s for process " + process.pid() + " to end");
        }
        IsolatedChildren.assertEndedAndBridgeNeverLoaded("the closed feeds");
        // The children run with -Xcheck:jni; what it prints goes to their trace.
        if (base == null) {
            return;  // skipped before the folder was made
        }
        try (Stream<Path> paths = Files.walk(base)) {
            for (Path trace : paths.filter(path -> path.getFileName().toString().equals("trace.log")).toList()) {
                assertFalse(Files.readString(trace).contains("WARNING in native method"), "-Xcheck:jni warned in " + trace);
            }
        }
    }

    private static Isolation isolation(SampleStore store) {
        return Isolation.childProcess().withTesraIni(store.ini).withJavaOptions("-Xcheck:jni", "-Xmx64m")
            .withTraceTo(store.folder.resolve("trace.log"));
    }

    private ChangeFeed openFeed(String database, String password, CheckpointStore checkpoint, ChangeFeedOptions options)
            throws ChangeFeedException {
        ChangeFeed feed = ChangeFeed.builder().database(database).password(password.toCharArray()).checkpoint(checkpoint)
            .options(options).open();
        open.add(feed);
        return feed;
    }

    private ChangeFeed openFeed(SampleStore store, String database, String password, Isolation isolation)
            throws Exception {
        return openFeed(database, password, new FileCheckpointStore(store.folder.resolve("feed.checkpoint")),
                        ChangeFeedOptions.defaults().withIsolation(isolation));
    }

    @Test
    void threeDatabasesWithChildrenKilledAtRandomApplyEveryWindowExactlyOnce() throws Exception {
        List<SampleStore> stores = new ArrayList<>();
        List<ChangeFeed> feeds = new ArrayList<>();
        Connection consumer = DriverManager.getConnection("jdbc:sqlite:" + base.resolve("consumer.db"));
        open.add(consumer);
        consumer.setAutoCommit(false);
        try (Statement create = consumer.createStatement()) {
            for (int i = 0; i < 3; ++i) {
                create.executeUpdate("CREATE TABLE view" + i + " (universal_id TEXT PRIMARY KEY)");
                create.executeUpdate("CREATE TABLE windows" + i + " (seq INTEGER PRIMARY KEY, since TEXT, until TEXT, "
                                     + "changes INTEGER)");
            }
        }
        for (int i = 0; i < 3; ++i) {
            SampleStore store = SampleStore.create(base.resolve("store" + i), "db" + i + ".tdb", PASSWORD, 5 + i);
            stores.add(store);
            JdbcCheckpointStore checkpoint = new JdbcCheckpointStore(consumer);
            checkpoint.createTableIfMissing();
            consumer.commit();
            feeds.add(openFeed("db" + i + ".tdb", PASSWORD, checkpoint,
                               ChangeFeedOptions.defaults().withIsolation(isolation(store))
                                   .withPollInterval(Duration.ofMillis(50))));
        }
        for (int i = 0; i < 3; ++i) {
            Process writer = stores.get(i).start(List.of("churn", "db" + i + ".tdb", "--rate", "30", "--seconds", "15",
                                                         "--seed", Integer.toString(20 + i)),
                                                 stores.get(i).folder.resolve("writer.out"));
            processes.add(writer);
        }
        long seed = System.nanoTime();
        System.err.println("kills from seed " + seed);
        AtomicBoolean killing = new AtomicBoolean(true);
        AtomicInteger kills = new AtomicInteger();
        Thread killer = new Thread(() -> {
            Random random = new Random(seed);
            try {
                while (killing.get()) {
                    Thread.sleep(150 + random.nextInt(400));
                    long pid = feeds.get(random.nextInt(feeds.size())).childPid();
                    if (pid > 0 && ProcessHandle.of(pid).map(ProcessHandle::destroyForcibly).orElse(false)) {
                        kills.incrementAndGet();
                    }
                }
            } catch (InterruptedException stop) {
                Thread.currentThread().interrupt();
            }
        }, "killer");
        killer.start();
        int failedPolls = 0;
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(180);
        try {
            while (kills.get() < KILLS || processes.stream().anyMatch(Process::isAlive)) {
                assertTrue(System.nanoTime() < giveUp, "waited 180 s for " + KILLS + " kills (" + kills + ") and the "
                                                       + "writers' end");
                for (int i = 0; i < feeds.size(); ++i) {
                    failedPolls += pollApplyCommit(consumer, feeds.get(i), i) ? 0 : 1;
                }
            }
        } finally {
            killing.set(false);
            killer.join();
        }
        for (Process writer : processes) {
            assertEquals(0, writer.waitFor(), "writer exit status");
        }
        // After the writers' end and the last kill: each feed brings the rest.
        for (int i = 0; i < feeds.size(); ++i) {
            for (int attempt = 0; !pollApplyCommit(consumer, feeds.get(i), i); ++attempt) {
                assertTrue(attempt < 5, "db" + i + " failed 5 polls after the kills ended");
            }
        }
        System.err.printf("%d kills, %d failed polls%n", kills.get(), failedPolls);
        assertTrue(kills.get() >= KILLS, kills + " kills");
        assertTrue(failedPolls > 0, "no poll failed in " + kills + " kills");
        for (int i = 0; i < feeds.size(); ++i) {
            assertExactlyOnce(consumer, i, stores.get(i).listing("db" + i + ".tdb"));
        }
        assertTraceKeptEveryAppliedWindow(consumer, stores);
    }

    /** The trace of every poll whose window was applied reached its file, though children were killed after it. */
    private static void assertTraceKeptEveryAppliedWindow(Connection consumer, List<SampleStore> stores) throws Exception {
        for (int i = 0; i < stores.size(); ++i) {
            List<String> untils = new ArrayList<>();
            try (Statement query = consumer.createStatement();
                 ResultSet rows = query.executeQuery("SELECT until FROM windows" + i)) {
                while (rows.next()) {
                    untils.add(rows.getString(1));
                }
            }
            Path trace = stores.get(i).folder.resolve("trace.log");
            long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(10);
            List<String> missing = untils;
            while (!missing.isEmpty() && System.nanoTime() < giveUp) {
                Set<String> lines = Set.copyOf(Files.readAllLines(trace));
                missing = untils.stream().filter(until -> !lines.contains("strEndDate: " + until)).toList();
                if (!missing.isEmpty()) {
                    Thread.sleep(100);
                }
            }
            assertTrue(missing.isEmpty(), "waited 10 s for " + trace + " to hold the end lines of " + missing.size()
                       + " of " + untils.size() + " applied windows, first " + missing.stream().findFirst().orElse(""));
        }
    }

    /** One poll applied with its window and committed in one transaction; false when the poll failed. */
    private static boolean pollApplyCommit(Connection consumer, ChangeFeed feed, int table) throws Exception {
        ChangeBatch batch;
        try {
            batch = feed.poll(Duration.ofMillis(100));
        } catch (ChangeFeedException failure) {
            consumer.rollback();
            assertTrue(failure.isTransient(), failure.getMessage());
            assertEquals(ChangeFeedException.CHILD_PROCESS_FAILED, failure.status(), failure.getMessage());
            assertEquals("db" + table + ".tdb", failure.database());
            return false;
        }
        try (PreparedStatement present = consumer.prepareStatement("INSERT OR REPLACE INTO view" + table + " VALUES (?)");
             PreparedStatement deleted = consumer.prepareStatement("DELETE FROM view" + table + " WHERE universal_id = ?");
             PreparedStatement window = consumer.prepareStatement("INSERT INTO windows" + table
                                                                  + " (since, until, changes) VALUES (?, ?, ?)")) {
            if (batch.resync()) {
                consumer.createStatement().executeUpdate("DELETE FROM view" + table);
            }
            for (Change change : batch.changes()) {
                PreparedStatement statement = change.deleted() ? deleted : present;
                statement.setString(1, change.universalId());
                statement.executeUpdate();
            }
            window.setString(1, batch.since());
            window.setString(2, batch.until());
            window.setInt(3, batch.changes().size());
            window.executeUpdate();
        }
        feed.commit(batch);
        consumer.commit();
        return true;
    }

    /**
     * The windows applied follow each other without a gap, none starts before the end of a window whose
     * changes were applied, and the view is the store's listing.
     */
    private static void assertExactlyOnce(Connection consumer, int table, Set<String> listing) throws SQLException {
        int windows = 0;
        int twice = 0;
        int gaps = 0;
        String previousUntil = null;
        String appliedUntil = null;
        Set<String> view = new HashSet<>();
        try (Statement query = consumer.createStatement()) {
            try (ResultSet rows = query.executeQuery("SELECT since, until, changes FROM windows" + table + " ORDER BY seq")) {
                while (rows.next()) {
                    String since = rows.getString(1);
                    ++windows;
                    if (since == null ? appliedUntil != null : appliedUntil != null && since.compareTo(appliedUntil) < 0) {
                        ++twice;
                    } else if (since != null && (previousUntil == null || since.compareTo(previousUntil) > 0)) {
                        ++gaps;
                    }
                    previousUntil = rows.getString(2);
                    appliedUntil = rows.getInt(3) > 0 ? previousUntil : appliedUntil;
                }
            }
            try (ResultSet rows = query.executeQuery("SELECT universal_id FROM view" + table)) {
                while (rows.next()) {
                    view.add(rows.getString(1));
                }
            }
        }
        System.err.printf("db%d: %d windows, %d applied twice, %d gaps, %d records%n", table, windows, twice, gaps,
                          view.size());
        assertEquals(0, twice, "db" + table + ": windows applied twice");
        assertEquals(0, gaps, "db" + table + ": gaps between windows");
        assertEquals(listing, view, "db" + table + ": the view against the store's listing");
    }

    @Test
    void aChildThatFailsCrashesHangsOrCannotStartIsReportedAndTheFeedGoesOn() throws Exception {
        SampleStore store = SampleStore.create(base.resolve("store"), "main.tdb", PASSWORD, 5);
        Isolation isolation = isolation(store).withJavaOptions("-Xcheck:jni", "-Xmx64m", "-XX:-CreateCoredumpOnCrash",
                                                               "-XX:ErrorFile=" + store.folder.resolve("hs_err_%p.log"));

        // The store fails every search in the child: the store's status, and the same child goes on.
        ChangeFeed faulty = openFeed("main.tdb", PASSWORD, new FileCheckpointStore(store.folder.resolve("faulty.checkpoint")),
                                     ChangeFeedOptions.defaults()
                                         .withIsolation(isolation.withEnvironment("TESRA_FAULTS", "storeSearch=0x0113")));
        long faultyChild = faulty.childPid();
        ChangeFeedException storeFailure = assertThrows(ChangeFeedException.class, faulty::poll);
        assertEquals(0x0113, storeFailure.status(), storeFailure.getMessage());
        assertFalse(storeFailure.isTransient());
        assertEquals(faultyChild, faulty.childPid(), "the child that reported a store failure goes on");
        faulty.close();
        assertTrue(Files.readString(store.folder.resolve("trace.log")).contains("fault injection active"),
                   "the child's standard error is in the trace file");

        // A crash of the child (abort() in native code: SIGABRT) fails the poll in flight; the next poll
        // resumes from the committed end.
        ChangeFeed feed = openFeed("main.tdb", PASSWORD, new FileCheckpointStore(store.folder.resolve("feed.checkpoint")),
                                   ChangeFeedOptions.defaults().withIsolation(isolation).withPollTimeout(Duration.ofSeconds(3)));
        ChangeBatch first = feed.poll();
        assertEquals(5, first.changes().size());
        feed.commit(first);
        long crashed = feed.childPid();
        signal("ABRT", crashed);
        ChangeFeedException crash = assertThrows(ChangeFeedException.class, feed::poll);
        assertEquals(ChangeFeedException.CHILD_PROCESS_FAILED, crash.status(), crash.getMessage());
        assertTrue(crash.isTransient());
        assertTrue(crash.getMessage().startsWith("The child process " + crashed + " of main.tdb was killed by signal 6 (SIGABRT)"),
                   crash.getMessage());
        store.admin("churn", "main.tdb", "--rate", "20", "--seconds", "1");
        ChangeBatch resumed = feed.poll();
        assertEquals(first.until(), resumed.since());
        assertFalse(resumed.changes().isEmpty(), "the writes after the crash");
        assertNotEquals(crashed, feed.childPid());
        feed.commit(resumed);

        // A child that stops answering is ended at the poll timeout; a stopped one is ended by close at once.
        signal("STOP", feed.childPid());
        long start = System.nanoTime();
        ChangeFeedException hung = assertThrows(ChangeFeedException.class, feed::poll);
        long waited = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
        assertTrue(hung.getMessage().contains("ran past the poll timeout of 3000 ms"), hung.getMessage());
        assertTrue(waited >= 3000, "the poll failed after " + waited + " ms, before its timeout");
        assertTrue(feed.poll().changes().isEmpty(), "the poll after a hung child");
        long stopped = feed.childPid();
        signal("STOP", stopped);
        start = System.nanoTime();
        feed.close();
        double closeMillis = (System.nanoTime() - start) / 1e6;
        System.err.printf("close() with a stopped child took %.1f ms%n", closeMillis);
        assertTrue(closeMillis < 1000, "close() took " + closeMillis + " ms with a stopped child");
        awaitGone(stopped, 5000, "the stopped child after close");

        // A wrong password: the store's own failure, at once, not a timeout.
        start = System.nanoTime();
        ChangeFeedException refused = assertThrows(ChangeFeedException.class,
            () -> openFeed("main.tdb", "wrong", new FileCheckpointStore(store.folder.resolve("refused.checkpoint")),
                           ChangeFeedOptions.defaults().withIsolation(isolation)));
        assertTrue(refused.getMessage().startsWith("Native call "), refused.getMessage());
        assertNotEquals(ChangeFeedException.CHILD_PROCESS_FAILED, refused.status());
        assertTrue(System.nanoTime() - start < TimeUnit.SECONDS.toNanos(20), "the refusal waited for the poll timeout");

        // A child JVM that does not start: its own message, at once.
        ChangeFeedException noJvm = assertThrows(ChangeFeedException.class,
            () -> openFeed("main.tdb", PASSWORD, new FileCheckpointStore(store.folder.resolve("nojvm.checkpoint")),
                           ChangeFeedOptions.defaults().withIsolation(isolation.withJavaOptions("-XX:+NoSuchOption"))));
        assertEquals(ChangeFeedException.CHILD_PROCESS_FAILED, noJvm.status(), noJvm.getMessage());
        assertTrue(noJvm.getMessage().contains("ended with exit status 1")
                   && noJvm.getMessage().contains("Unrecognized VM option 'NoSuchOption'"), noJvm.getMessage());

        // The native library cannot load in the child: its own message.
        Path empty = Files.createDirectories(store.folder.resolve("no-natives"));
        ChangeFeedException unloaded = assertThrows(ChangeFeedException.class,
            () -> openFeed("main.tdb", PASSWORD, new FileCheckpointStore(store.folder.resolve("unloaded.checkpoint")),
                           ChangeFeedOptions.defaults().withIsolation(
                               isolation.withJavaOptions("-Dvrxchdet.library.path=" + empty))));
        assertEquals(ChangeFeedException.CHILD_PROCESS_FAILED, unloaded.status(), unloaded.getMessage());
        assertFalse(unloaded.isTransient());
        assertTrue(unloaded.getMessage().contains(empty.toString()), unloaded.getMessage());
    }

    @Test
    void childrenEndingInARowAreStartedAfterDoublingPausesWithinThePollTimeout() throws Exception {
        // Every search runs the child out of memory: it dies at each poll, after an open that succeeds.
        SampleStore store = SampleStore.create(base.resolve("store"), "main.tdb", PASSWORD, 100_000);
        ChangeFeed feed = openFeed("main.tdb", PASSWORD, new FileCheckpointStore(store.folder.resolve("feed.checkpoint")),
                                   ChangeFeedOptions.defaults().withPollTimeout(Duration.ofMillis(4500))
                                       .withRetries(5, Duration.ofMillis(150), Duration.ofSeconds(10))
                                       .withIsolation(isolation(store).withJavaOptions("-Xmx8m")));
        List<String> failures = new ArrayList<>();
        long lastEnd = System.nanoTime();
        for (int poll = 1; poll <= 7; ++poll) {
            long start = System.nanoTime();
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll, "poll " + poll);
            long took = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            long sinceLastEnd = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - lastEnd);
            lastEnd = System.nanoTime();
            failures.add(poll + " (" + took + " ms, " + sinceLastEnd + " ms after the last end): "
                         + failure.getMessage().lines().findFirst().orElse(""));
            assertEquals(ChangeFeedException.CHILD_PROCESS_FAILED, failure.status(), failure.getMessage());
            assertTrue(failure.isTransient());
            if (poll < 7) {
                assertTrue(failure.getMessage().contains(" ended with exit status 1 after it reported java.lang.OutOfMemoryError"),
                           failure.getMessage());
                // The new child starts that long after the last one ended: 0, 150, 300, 600, 1200, 2400 ms.
                long pause = poll == 1 ? 0 : 150L << (poll - 2);
                assertTrue(sinceLastEnd >= pause, "poll " + poll + " ended " + sinceLastEnd + " ms after the last end, "
                                                  + "before its pause of " + pause + " ms was over");
            } else {
                // The next pause, 4.8 s, would end after the poll timeout: no child is started.
                assertTrue(failure.getMessage().startsWith("The child process of main.tdb ended 6 times in a row; the "
                                                           + "next one is due 4800 ms after the last end, past the poll "
                                                           + "timeout"), failure.getMessage());
                assertTrue(took < 1000, "the poll that started no child took " + took + " ms");
                assertEquals(-1, feed.childPid());
            }
        }
        System.err.println("polls while the child ended in a row:\n  " + String.join("\n  ", failures));
    }

    @Test
    void childrenEndWithinASecondOfTheirParentsKill() throws Exception {
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                                                       "-Djava.library.path=" + System.getProperty("java.library.path"),
                                                       "-cp", System.getProperty("java.class.path"), Parent.class.getName()));
        for (int i = 0; i < 2; ++i) {
            SampleStore store = SampleStore.create(base.resolve("store" + i), "main.tdb", PASSWORD, 3);
            command.add(store.ini.toString());
        }
        Process parent = new ProcessBuilder(command).redirectError(base.resolve("parent.err").toFile()).start();
        processes.add(parent);
        List<Long> children = new ArrayList<>();
        BufferedReader lines = new BufferedReader(new InputStreamReader(parent.getInputStream(), StandardCharsets.UTF_8));
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (children.size() < 2) {
            assertTrue(System.nanoTime() < giveUp, "waited 60 s for the parent to name its two children");
            String line = lines.readLine();
            assertTrue(line != null, "the parent ended before naming its children: " + Files.readString(base.resolve("parent.err")));
            children.add(Long.parseLong(line.substring("child ".length())));
        }
        parent.destroyForcibly();
        assertTrue(parent.waitFor(10, TimeUnit.SECONDS), "waited 10 s for the killed parent");
        long killed = System.nanoTime();
        long slowest = 0;
        for (long child : children) {
            awaitGone(child, 5000, "child " + child + " after its parent's kill");
            slowest = Math.max(slowest, System.nanoTime() - killed);
        }
        System.err.printf("the children ended %.1f ms after their parent's kill%n", slowest / 1e6);
        assertTrue(slowest < TimeUnit.SECONDS.toNanos(1), "a child outlived its parent by " + slowest / 1e6 + " ms");
    }

    /** Opens an isolated feed on each store its arguments name (tesra.ini files), names the children, waits. */
    public static final class Parent {
        public static void main(String[] args) throws Exception {
            List<ChangeFeed> feeds = new ArrayList<>();
            for (String ini : args) {
                Path folder = Path.of(ini).getParent();
                ChangeFeed feed = ChangeFeed.builder().database("main.tdb").password(PASSWORD.toCharArray())
                    .checkpoint(folder.resolve("parent.checkpoint"))
                    .options(ChangeFeedOptions.defaults().withIsolation(Isolation.childProcess().withTesraIni(Path.of(ini))))
                    .open();
                feed.poll();
                feeds.add(feed);
                System.out.println("child " + feed.childPid());
            }
            System.out.flush();
            while (true) {
                for (ChangeFeed feed : feeds) {
                    feed.commit(feed.poll());
                }
                Thread.sleep(50);
            }
        }
    }

    @Test
    void twoDatabasesWithTheirOwnConfigurationsInOneJvm() throws Exception {
        SampleStore small = SampleStore.create(base.resolve("small"), "main.tdb", PASSWORD, 3);
        SampleStore large = SampleStore.create(base.resolve("large"), "main.tdb", "another password", 8);
        List<String> traced = new ArrayList<>();
        Logger traceLogger = Logger.getLogger(ChildProcessCalls.TRACE_LOGGER);
        Handler handler = new Handler() {
            @Override
            public synchronized void publish(LogRecord record) {
                traced.add(record.getMessage());
            }

            @Override
            public void flush() {
            }

            @Override
            public void close() {
            }
        };
        traceLogger.setLevel(Level.FINEST);
        traceLogger.addHandler(handler);
        try {
            ChangeFeed first = openFeed(small, "main.tdb", PASSWORD,
                                        isolation(small).withTraceToLogger());
            ChangeFeed second = openFeed(large, "main.tdb", "another password", isolation(large));
            assertNotEquals(first.childPid(), second.childPid());
            for (String name : List.of("", ",instance=2")) {
                assertTrue(java.lang.management.ManagementFactory.getPlatformMBeanServer().isRegistered(new javax.management.ObjectName(
                    "com.kestrum.orlo.connector.feed:type=ChangeFeed,database=main.tdb" + name)), "the MBean of each feed" + name);
            }
            assertEquals(small.listing("main.tdb"), universalIds(first.poll()));
            assertEquals(large.listing("main.tdb"), universalIds(second.poll()));
            assertEquals(3, small.listing("main.tdb").size());
            assertEquals(8, large.listing("main.tdb").size());
            first.close();
            synchronized (handler) {
                assertTrue(traced.stream().anyMatch(line -> line.equals("main.tdb: vrxchdet child: main.tdb open")),
                           "the child's standard error logged at TRACE: " + traced);
            }
        } finally {
            traceLogger.removeHandler(handler);
        }
    }

    private static Set<String> universalIds(ChangeBatch batch) {
        Set<String> ids = new HashSet<>();
        for (Change change : batch.changes()) {
            ids.add(change.universalId());
        }
        return ids;
    }

    private static void signal(String name, long pid) throws Exception {
        assertTrue(pid > 0, "no child to signal");
        Process kill = new ProcessBuilder("kill", "-" + name, Long.toString(pid)).inheritIO().start();
        assertEquals(0, kill.waitFor(), "kill -" + name + " " + pid);
        // A stop takes effect once every thread of the child got to it: until then, it may still answer.
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(5);
        while (name.equals("STOP") && !Files.readString(Path.of("/proc", Long.toString(pid), "status")).contains("State:\tT")) {
            assertTrue(System.nanoTime() < giveUp, "waited 5 s for child " + pid + " to stop");
            Thread.sleep(1);
        }
    }

    /** Waits until the process is gone or a zombie (its parent died, and nothing reaped it yet). */
    private static void awaitGone(long pid, long millis, String what) throws Exception {
        long giveUp = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(millis);
        Path stat = Path.of("/proc", Long.toString(pid), "stat");
        while (true) {
            String state;
            try {
                String text = Files.readString(stat);
                state = text.substring(text.lastIndexOf(')') + 2, text.lastIndexOf(')') + 3);
            } catch (IOException gone) {
                return;
            }
            if (state.equals("Z") || state.equals("X")) {
                return;
            }
            assertTrue(System.nanoTime() < giveUp, "waited " + millis + " ms for " + what + " to end (state " + state + ")");
            Thread.sleep(5);
        }
    }
}
