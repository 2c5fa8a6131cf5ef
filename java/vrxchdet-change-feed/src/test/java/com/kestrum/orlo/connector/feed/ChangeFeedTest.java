package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static org.junit.jupiter.api.Assertions.fail;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.tests.SampleStore;

import java.io.IOException;
import java.lang.management.ManagementFactory;
import java.nio.channels.FileChannel;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.LinkOption;
import java.nio.file.Path;
import java.nio.file.attribute.BasicFileAttributes;
import java.nio.file.attribute.PosixFilePermissions;
import java.time.Duration;
import java.time.Instant;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.Vector;
import java.util.stream.Collectors;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.Statement;
import java.text.MessageFormat;
import java.util.logging.Handler;
import java.util.logging.Level;
import java.util.logging.LogRecord;
import java.util.logging.Logger;
import javax.management.MBeanServer;
import javax.management.ObjectName;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The change feed over the native library and a local store of five records. */
class ChangeFeedTest {
    private static final String DATABASE = SampleStore.DATABASE;
    private static final ObjectName MBEAN = mbean();

    private SampleStore store;
    private Path checkpoint;

    @BeforeEach
    void createStore() throws Exception {
        store = SampleStore.create(5);
        checkpoint = store.folder.resolve("feed.checkpoint");
    }

    private ChangeFeed open() throws Exception {
        return ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint);
    }

    /** A feed on the sample database, its password given. */
    static ChangeFeed.Builder sample() {
        return ChangeFeed.builder().database(DATABASE).password(SampleStore.PASSWORD.toCharArray());
    }

    /** Waits until this machine's clock, which the local store reads, has passed the time. */
    static void awaitClockPast(Instant time) throws InterruptedException {
        while (!Instant.now().isAfter(time)) {
            Thread.sleep(5);
        }
    }

    private static List<Long> recordIds(ChangeBatch batch) {
        return batch.changes().stream().map(Change::recordId).toList();
    }

    @Test
    void batchesFollowTheirCommitsAndARestartResumesFromTheLast() throws Exception {
        String lastUntil;
        try (ChangeFeed feed = open()) {
            assertNull(feed.committedUntil());
            ChangeBatch first = feed.poll();
            assertNull(first.since());
            assertFalse(first.resync());
            assertEquals(List.of(1L, 2L, 3L, 4L, 5L), recordIds(first));
            assertTrue(first.changes().stream().noneMatch(Change::deleted));
            feed.commit(first);
            assertEquals("vrxchdet-checkpoint 2\nserver=\ndatabase=" + DATABASE + "\nend=" + first.until() + "\n",
                         Files.readString(checkpoint, StandardCharsets.UTF_8));

            store.admin("delete", DATABASE, "2");
            store.admin("change", DATABASE, "4");
            ChangeBatch second = feed.poll();
            assertEquals(first.until(), second.since());
            assertEquals(List.of(new Change(first.changes().get(1).universalId(), 2, true), first.changes().get(3)),
                         second.changes());
            assertThrows(IllegalArgumentException.class, () -> feed.commit(first));
            feed.commit(second);
            lastUntil = second.until();
        }
        try (ChangeFeed feed = open()) {
            assertEquals(lastUntil, feed.committedUntil());
            ChangeBatch resumed = feed.poll();
            assertEquals(lastUntil, resumed.since());
            assertEquals(List.of(), resumed.changes());
        }
    }

    @Test
    void aBatchNotCommittedIsDeliveredAgainAfterARestart() throws Exception {
        String committed;
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            committed = feed.committedUntil();
            store.admin("change", DATABASE, "3");
            assertEquals(List.of(3L), recordIds(feed.poll()));
        }
        store.admin("change", DATABASE, "1");
        try (ChangeFeed feed = open()) {
            ChangeBatch again = feed.poll();
            assertEquals(committed, again.since());
            assertEquals(List.of(3L, 1L), recordIds(again));
        }
    }

    @Test
    void aPurgedHistoryTurnsIntoAFullListingMarkedResync() throws Exception {
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            store.admin("delete", DATABASE, "2");
            ChangeBatch deleted = feed.poll();
            String until = deleted.until();
            // An until can lie a hundredth ahead of the store's clock, and purge refuses a time ahead of it.
            awaitClockPast(deleted.untilInstant());
            // The purge removes the deletion record and cuts the history the committed end text points into.
            store.admin("purge", DATABASE, "--before", until.substring(0, until.length() - 1));
        }
        assertThrows(IllegalArgumentException.class, () -> ChangeFeedOptions.defaults().withPollTimeout(Duration.ofDays(200_000)));
        ChangeFeedOptions noResync = ChangeFeedOptions.defaults().withResyncStatuses();
        try (ChangeFeed feed = ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint, noResync)) {
            assertEquals(ChangeFeedOptions.RESYNCHRONISE, assertThrows(ChangeFeedException.class, feed::poll).status());
        }
        try (ChangeFeed feed = open()) {
            ChangeBatch resync = feed.poll();
            assertTrue(resync.resync());
            assertNull(resync.since());
            assertEquals(List.of(1L, 3L, 4L, 5L), recordIds(resync));
            assertTrue(resync.changes().stream().noneMatch(Change::deleted));
            assertEquals(1L, feed.stats().resyncs());
            assertEquals(1L, ManagementFactory.getPlatformMBeanServer().getAttribute(MBEAN, "NumberOfResyncs"));
            feed.commit(resync);
            ChangeBatch next = feed.poll();
            assertFalse(next.resync());
            assertEquals(resync.until(), next.since());
        }
    }

    @Test
    void aLockedDatabaseIsRetriedAndItsChangesDelivered() throws Exception {
        LockedAtFirst connector = new LockedAtFirst(2);
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withRetries(2, Duration.ofMillis(1), Duration.ofMillis(2));
        try (ChangeFeed feed = sample().connector(connector).checkpoint(checkpoint).options(options).open()) {
            assertEquals(5, feed.poll().changes().size());
            assertEquals(3, connector.calls);
            assertEquals(2, feed.stats().retries());
            assertEquals(2L, ManagementFactory.getPlatformMBeanServer().getAttribute(MBEAN, "NumberOfRetries"));
            assertEquals(0, feed.stats().failedPolls());
            assertNull(feed.stats().lastError(), "cleared by the poll that succeeded");
            assertTrue(feed.stats().mostRecentError().contains("code 336"), feed.stats().toString());
        }

        // A pause that would end after the poll's timeout is not begun, and its retry is not counted.
        LockedAtFirst locked = new LockedAtFirst(Integer.MAX_VALUE);
        ChangeFeedOptions longPause = ChangeFeedOptions.defaults().withRetries(5, Duration.ofSeconds(30), Duration.ofSeconds(30))
            .withPollTimeout(Duration.ofSeconds(20));
        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        ObjectName name = MBEAN;
        try (ChangeFeed feed = sample().connector(locked).checkpoint(checkpoint).options(longPause).open()) {
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
            assertTrue(failure.getMessage().startsWith("The poll timeout of 20000 ms ran out after 1 attempt; "),
                       failure.getMessage());
            assertTrue(failure.isTransient());
            assertEquals(1, locked.calls);
            ChangeFeedStats stats = feed.stats();
            assertEquals(0, stats.retries(), stats.toString());
            assertEquals(1, stats.failedPolls(), stats.toString());
            assertEquals(failure.getMessage(), stats.lastError());
            assertTrue(stats.lastErrorTime() != null && stats.lastErrorTime().equals(stats.mostRecentErrorTime()));
            assertEquals(1L, beans.getAttribute(name, "NumberOfFailedPolls"));
            assertEquals(stats.lastErrorTime() + " " + failure.getMessage(), beans.getAttribute(name, "LastError"));
            assertEquals(stats.lastErrorTime().toEpochMilli(), beans.getAttribute(name, "MostRecentErrorTime"));
        }
    }

    @Test
    void oneFeedAtATimeAndOneCallAtATime() throws Exception {
        ChangeFeedException wrongPassword = assertThrows(ChangeFeedException.class,
            () -> ChangeFeed.open(null, DATABASE, "not it", checkpoint));
        assertEquals(0x0112, wrongPassword.status());
        assertEquals("0x0112", wrongPassword.statusHex());
        assertFalse(wrongPassword.isTransient());
        assertEquals(DATABASE, wrongPassword.database());
        assertTrue(wrongPassword.getMessage().endsWith("[" + DATABASE + ", status 0x0112]"), wrongPassword.getMessage());

        ChangeFeed feed = open();
        try {
            IllegalStateException second = assertThrows(IllegalStateException.class,
                () -> ChangeFeed.open("north", "other.tdb", SampleStore.PASSWORD, checkpoint));
            assertTrue(second.getMessage().contains(DATABASE), second.getMessage());

            // Polls on several threads, and a close among them: each poll runs whole, before or after the close.
            ExecutorService threads = Executors.newFixedThreadPool(4);
            List<Future<?>> pollers = new ArrayList<>();
            for (int i = 0; i < 4; ++i) {
                pollers.add(threads.submit(() -> {
                    try {
                        for (int poll = 0; poll < 50; ++poll) {
                            assertEquals(5, feed.poll().changes().size());
                        }
                    } catch (IllegalStateException closed) {
                        assertTrue(closed.getMessage().contains("closed"), closed.getMessage());
                    }
                    return null;
                }));
            }
            Thread.sleep(50);
            feed.close();
            threads.shutdown();
            for (Future<?> poller : pollers) {
                poller.get();
            }
        } finally {
            feed.close();
        }
        assertThrows(IllegalStateException.class, feed::poll);
        try (ChangeFeed again = open()) {
            assertEquals(5, again.poll().changes().size());
        }
    }

    @Test
    void anEntryNotOfTheEntryFormThrows() throws Exception {
        String universalId = "000B4A76005C144AAE74F9F100000001";
        assertEquals(new Change(universalId, 0xFFFFFFFFL, true), Change.parse(universalId + ":FFFFFFFF:DEL"));
        assertEquals(new Change(universalId.toLowerCase(java.util.Locale.ROOT), 0x2A, false),
                     Change.parse(universalId.toLowerCase(java.util.Locale.ROOT) + ":2a:NOR"));
        for (String bad : new String[] {"", universalId.substring(1) + ":1:NOR", universalId + "0:1:NOR",
                                        universalId.replace('B', 'G') + ":1:NOR", universalId + "::NOR",
                                        universalId + ":100000000:NOR", universalId + ":-1:NOR", universalId + ":1:MOD",
                                        universalId + ":1:NOR ", universalId + ":1:NOR:1", universalId + ":1",
                                        universalId + ":+1:NOR", universalId + ":\uFF11:NOR", universalId + ":1:del",
                                        universalId + ":\u0080:NOR", universalId.replace('B', '\u0080') + ":1:NOR",
                                        universalId + ":\u007F:NOR"}) {
            assertThrows(IllegalArgumentException.class, () -> Change.parse(bad), bad);
        }

        VarnexChangeDetectionConnector addsABadEntry = new VarnexChangeDetectionConnector() {
            @Override
            public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
                Vector<String> entries = super.getModifiedTesra(since, endText);
                entries.add(universalId + ":6:MOD");
                return entries;
            }
        };
        try (ChangeFeed feed = sample().connector(addsABadEntry).checkpoint(checkpoint).open()) {
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
            assertTrue(failure.getMessage().contains(":6:MOD"), failure.getMessage());
            assertEquals(ChangeFeedException.MALFORMED_ENTRY, failure.status());
            assertEquals(DATABASE, failure.database());
            assertNull(feed.committedUntil());
        }
    }

    @Test
    void pollWithATimeoutWaitsForChangesAndWakeupEndsTheWait() throws Exception {
        CountingConnector counted = new CountingConnector();
        AtomicReference<Thread> polling = new AtomicReference<>();
        ExecutorService threads = Executors.newSingleThreadExecutor();
        int before;
        try {
            ChangeFeedOptions often = ChangeFeedOptions.defaults().withPollInterval(Duration.ofMillis(20));
            try (ChangeFeed feed = sample().connector(counted).checkpoint(checkpoint).options(often).open()) {
                feed.commit(feed.poll(Duration.ofMillis(Long.MAX_VALUE)));  // "for ever"; a full listing returns at once
                assertEquals(1, counted.calls);
                ChangeBatch idle = feed.poll(Duration.ofMillis(300));
                assertEquals(List.of(), idle.changes());
                assertTrue(counted.calls > 2, "polled the store again and again while idle: " + counted.calls);
                feed.commit(idle);

                // Returns as soon as a store poll brings changes, long before its timeout.
                before = counted.calls;
                Future<ChangeBatch> waiting = threads.submit(() -> {
                    polling.set(Thread.currentThread());
                    return feed.poll(Duration.ofMinutes(5));
                });
                awaitPause(waiting, polling, counted, before + 1);
                store.admin("change", DATABASE, "3");
                ChangeBatch changed = waiting.get(60, TimeUnit.SECONDS);
                assertEquals(List.of(3L), recordIds(changed));
                feed.commit(changed);
            }

            // wakeup ends a wait in the middle of a long pause, with the empty batch it has, which can be committed.
            ChangeFeedOptions seldom = ChangeFeedOptions.defaults().withPollInterval(Duration.ofMinutes(10));
            ChangeFeed feed = sample().connector(counted).checkpoint(checkpoint).options(seldom).open();
            try {
                before = counted.calls;
                Future<ChangeBatch> woken = threads.submit(() -> feed.poll(Duration.ofMinutes(5)));
                awaitPause(woken, polling, counted, before + 1);
                feed.wakeup();
                ChangeBatch empty = woken.get(60, TimeUnit.SECONDS);
                assertEquals(List.of(), empty.changes());
                feed.commit(empty);
                // A wakeup with no poll waiting ends the next wait after its first store poll.
                feed.wakeup();
                before = counted.calls;
                assertEquals(List.of(), threads.submit(() -> feed.poll(Duration.ofMinutes(5))).get(60, TimeUnit.SECONDS).changes());
                assertEquals(before + 1, counted.calls);
                // close ends a wait too.
                before = counted.calls;
                Future<ChangeBatch> closed = threads.submit(() -> feed.poll(Duration.ofMinutes(5)));
                awaitPause(closed, polling, counted, before + 1);
                feed.close();
                ExecutionException ended = assertThrows(ExecutionException.class, () -> closed.get(60, TimeUnit.SECONDS));
                assertTrue(ended.getCause() instanceof IllegalStateException, ended.toString());
            } finally {
                feed.close();
            }
        } finally {
            threads.shutdownNow();
        }
    }

    /** Waits until the poll made the store calls and pauses between two. */
    private static void awaitPause(Future<ChangeBatch> poll, AtomicReference<Thread> polling, CountingConnector counted,
                                   int calls) throws Exception {
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(60);
        while (counted.calls < calls || polling.get() == null || polling.get().getState() != Thread.State.TIMED_WAITING) {
            if (poll.isDone()) {
                fail("the poll ended before it waited: " + poll.get());
            }
            assertTrue(System.nanoTime() < giveUp, "waited 60 s for a poll to make " + calls + " store calls and pause");
            Thread.sleep(1);
        }
    }

    private static ObjectName mbean() {
        try {
            return new ObjectName("com.kestrum.orlo.connector.feed:type=ChangeFeed,database=" + DATABASE);
        } catch (javax.management.MalformedObjectNameException impossible) {
            throw new AssertionError(impossible);
        }
    }

    /** The feed's warnings, logged from its creation to its close. */
    static final class Warnings extends Handler {
        private static final Logger LOG = Logger.getLogger(ChangeFeed.class.getName());
        final List<LogRecord> records = java.util.Collections.synchronizedList(new ArrayList<>());

        Warnings() {
            LOG.addHandler(this);
        }

        /** The warnings whose message contains the text, their arguments put in. */
        List<String> containing(String text) {
            synchronized (records) {
                return records.stream().filter(record -> record.getMessage().contains(text))
                    .map(record -> MessageFormat.format(record.getMessage(), record.getParameters())).toList();
            }
        }

        @Override
        public void publish(LogRecord record) {
            if (record.getLevel().equals(Level.WARNING)) {
                records.add(record);
            }
        }

        @Override
        public void flush() {
        }

        @Override
        public void close() {
            LOG.removeHandler(this);
        }
    }

    /** Counts its searches. */
    static class CountingConnector extends VarnexChangeDetectionConnector {
        volatile int calls;

        @Override
        @SuppressWarnings("JdkObsolete") // the connector's method, fixed, takes a StringBuffer
        public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
            @SuppressWarnings("NonAtomicVolatileUpdate") // one thread polls; others only read the count
            int next = calls + 1;
            calls = next;
            return super.getModifiedTesra(since, endText);
        }
    }

    /** The universal identifiers of the records present, as tesra-admin lists them. */
    private Set<String> listing() throws Exception {
        return Arrays.stream(store.admin("list", DATABASE).split("\n", -1)).filter(line -> !line.isBlank())
            .map(line -> line.split(" ", -1)[1]).collect(Collectors.toSet());
    }

    /** A consumer's view: the universal identifiers of the records present. */
    private static void apply(Set<String> view, ChangeBatch batch) {
        if (batch.resync()) {
            view.clear();
        }
        for (Change change : batch.changes()) {
            if (change.deleted()) {
                view.remove(change.universalId());
            } else {
                view.add(change.universalId());
            }
        }
    }

    private static String v2(String database, String end) {
        return "vrxchdet-checkpoint 2\nserver=\ndatabase=" + database + "\nend=" + end + "\n";
    }

    @Test
    void aCheckpointOfAnotherDatabaseOrOfAnyOtherFormIsRefusedAtOpenNamingTheFile() throws Exception {
        String past = "2026-01-02 03:04:05.060";
        Files.writeString(checkpoint, v2("other.tdb", past));
        ChangeFeedException other = assertThrows(ChangeFeedException.class, this::open);
        for (String named : new String[] {checkpoint.toString(), "other.tdb", DATABASE}) {
            assertTrue(other.getMessage().contains(named), other.getMessage());
        }
        String future = LocalDateTime.now(ZoneOffset.UTC).plusDays(1).toString().replace('T', ' ').substring(0, 23);
        for (String bad : new String[] {"", "2026-12-09 03:40:00\n", "2026-12-09 03:40:00.123456\n",
                                        "2026-12-09 03:40:00.010.990\n", "2026-02-30 03:40:00.000\n", future + "\n",
                                        v2(DATABASE, future), v2(DATABASE, past) + "x\n", v2(DATABASE, past).replace("end=", "until="),
                                        past + "\n" + "#".repeat(FileCheckpointStore.MAX_SIZE), past + "\ngarbage",
                                        past + "\n\n", v2(DATABASE, past).replace("server=", "server=north")}) {
            Files.writeString(checkpoint, bad);
            ChangeFeedException refused = assertThrows(ChangeFeedException.class, this::open, bad);
            assertTrue(refused.getMessage().contains(checkpoint.toString()), refused.getMessage());
            assertEquals(ChangeFeedException.CHECKPOINT_REFUSED, refused.status(), bad);
            assertEquals(DATABASE, refused.database(), bad);
        }
        Files.writeString(checkpoint, future + "\n");
        assertTrue(assertThrows(ChangeFeedException.class, this::open).getMessage().contains("tesra-admin repair-times"));
        // What would not show in a message is escaped there.
        Files.writeString(checkpoint, "\uFEFF" + past + "\n");
        assertTrue(assertThrows(ChangeFeedException.class, this::open).getMessage().contains("'\\uFEFF" + past + "'"));
        Files.writeString(checkpoint, v2(DATABASE, past).replace("\n", "\r\n"));
        assertTrue(assertThrows(ChangeFeedException.class, this::open).getMessage().contains("'vrxchdet-checkpoint 2\\r'"));
        // The future is judged in the store's time zone: now there is not ahead, and a day behind UTC is.
        ZoneOffset east = ZoneOffset.ofHours(14);
        String nowInTheEast = LocalDateTime.now(east).toString().replace('T', ' ').substring(0, 23);
        Files.writeString(checkpoint, v2(DATABASE, nowInTheEast));
        try (ChangeFeed feed = sample().checkpoint(checkpoint).options(ChangeFeedOptions.defaults().withStoreZone(east)).open()) {
            assertEquals(nowInTheEast, feed.committedUntil());
        }
        assertThrows(ChangeFeedException.class, () -> sample().checkpoint(checkpoint)
            .options(ChangeFeedOptions.defaults().withStoreZone(ZoneOffset.ofHours(-12))).open().close());
        // Not a regular file: never opened, so a FIFO cannot hang the open, and a link is not followed.
        Files.delete(checkpoint);
        Path elsewhere = Files.writeString(store.folder.resolve("elsewhere"), past + "\n");
        Files.createSymbolicLink(checkpoint, elsewhere);
        assertTrue(assertThrows(ChangeFeedException.class, this::open).getMessage().contains("not a regular file"));
        Files.delete(checkpoint);
        assertEquals(0, new ProcessBuilder("mkfifo", checkpoint.toString()).inheritIO().start().waitFor());
        assertTimeoutPreemptively(Duration.ofSeconds(20), () -> assertThrows(ChangeFeedException.class, this::open),
                                  "open on a FIFO at the checkpoint's path");
        Files.delete(checkpoint);

        // Version 1, a bare end text, is read and written as version 2 at the next commit. It is later than the
        // database's creation: the store refuses an earlier one as a checkpoint of a database once at its path.
        String recent = EndText.of(Instant.now(), ZoneOffset.UTC);
        Files.writeString(checkpoint, recent + "\n");
        try (ChangeFeed feed = open()) {
            assertEquals(recent, feed.committedUntil());
            store.admin("change", DATABASE, "1");
            ChangeBatch batch = feed.poll();
            assertEquals(recent, batch.since());
            feed.commit(batch);
            assertEquals(v2(DATABASE, batch.until()), Files.readString(checkpoint));
        }
    }

    /** The steps of a commit, and what the checkpoint file held when the new one was flushed. */
    private static final class WatchedDisk implements FileCheckpointStore.Disk {
        final List<String> steps = new ArrayList<>();
        private final Path checkpoint;

        WatchedDisk(Path checkpoint) {
            this.checkpoint = checkpoint;
        }

        @Override
        public void force(FileChannel channel) throws IOException {
            FileCheckpointStore.REAL_DISK.force(channel);
            steps.add("force, checkpoint then " + (Files.exists(checkpoint) ? Files.readString(checkpoint).hashCode() : "absent"));
        }

        @Override
        public void move(Path from, Path to) throws IOException {
            steps.add("move " + from.getFileName());
            FileCheckpointStore.REAL_DISK.move(from, to);
        }

        @Override
        public void forceFolder(Path folder) throws IOException {
            FileCheckpointStore.REAL_DISK.forceFolder(folder);
            steps.add("force folder");
        }
    }

    @Test
    void aCommitWritesANewFileUnderAnUnguessableNameFlushedBeforeItIsMovedIntoPlace() throws Exception {
        Path victim = Files.writeString(store.folder.resolve("victim"), "precious\n");
        Files.createSymbolicLink(checkpoint.resolveSibling("feed.checkpoint.tmp"), victim);
        Files.createDirectory(checkpoint.resolveSibling("feed.checkpoint.new"));
        WatchedDisk disk = new WatchedDisk(checkpoint);
        Set<String> temporaries = new HashSet<>();
        Object lastFile = null;
        try (ChangeFeed feed = sample().checkpoint(new FileCheckpointStore(checkpoint, disk))
                 .options(ChangeFeedOptions.defaults().withEmptyCommitInterval(Duration.ZERO)).open()) {
            for (int commit = 0; commit < 3; ++commit) {
                String before = Files.exists(checkpoint) ? Files.readString(checkpoint) : null;
                disk.steps.clear();
                feed.commit(feed.poll());
                store.admin("change", DATABASE, "1");
                String moved = disk.steps.get(1);
                temporaries.add(moved);
                assertEquals(List.of("force, checkpoint then " + (before == null ? "absent" : before.hashCode()), moved,
                                     "force folder"), disk.steps, "flushed, then moved, with the old checkpoint in place until then");
                assertTrue(moved.matches("move feed\\.checkpoint\\.\\d{6,}\\.tmp"), moved);
                Object file = Files.readAttributes(checkpoint, BasicFileAttributes.class, LinkOption.NOFOLLOW_LINKS).fileKey();
                assertNotEquals(lastFile, file, "a commit replaces the file, never writes into it");
                lastFile = file;
            }
        }
        assertEquals(3, temporaries.size());
        assertEquals("precious\n", Files.readString(victim));
        // A crash's leftover is swept at the next open; files of other names stay.
        List<String> others = List.of("feed.checkpoint.tmp", "other.tmp", "feed.checkpointx.123456.tmp", "feed.checkpoint.new",
                                      "feed.checkpoint.notes.tmp", "feed.checkpoint.999.tmp", "feed.checkpoint.777.tmp");
        Files.writeString(checkpoint.resolveSibling("feed.checkpoint.123456.tmp"), "left by a crash\n");
        for (String name : List.of("other.tmp", "feed.checkpointx.123456.tmp", "feed.checkpoint.notes.tmp")) {
            Files.writeString(store.folder.resolve(name), "someone else's\n");
        }
        Files.createDirectories(store.folder.resolve("feed.checkpoint.999.tmp").resolve("not empty"));
        Files.createSymbolicLink(store.folder.resolve("feed.checkpoint.777.tmp"), victim);
        open().close();
        assertFalse(Files.exists(checkpoint.resolveSibling("feed.checkpoint.123456.tmp")));
        for (String name : others) {
            assertTrue(Files.exists(store.folder.resolve(name), LinkOption.NOFOLLOW_LINKS), name);
        }
        try (var left = Files.list(store.folder)) {
            assertEquals(List.of(), left.map(path -> path.getFileName().toString())
                .filter(name -> name.matches("feed\\.checkpoint\\.\\d+\\.tmp") && !others.contains(name))
                .collect(Collectors.toList()));
        }
    }

    /** Keeps the end text in memory; its writes fail while told to. */
    private static final class FailingCheckpoint implements CheckpointStore {
        String endText;
        boolean failing;
        int writes;

        @Override
        public String read(String server, String database) {
            return endText;
        }

        @Override
        public void write(String server, String database, String text) throws IOException {
            if (failing) {
                throw new IOException("disk full");
            }
            endText = text;
            ++writes;
        }
    }

    @Test
    void aFailedCommitLeavesTheLastCommitInForceAndTheStatsTellIt() throws Exception {
        FailingCheckpoint kept = new FailingCheckpoint();
        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        ObjectName name = MBEAN;
        try (ChangeFeed feed = sample().checkpoint(kept).open()) {
            assertEquals(true, beans.getAttribute(name, "Connected"));
            assertEquals(-1L, beans.getAttribute(name, "MilliSecondsBehindSource"));
            ChangeBatch first = feed.poll();
            feed.commit(first);
            store.admin("change", DATABASE, "2");
            ChangeBatch second = feed.poll();
            kept.failing = true;
            ChangeFeedException failed = assertThrows(ChangeFeedException.class, () -> feed.commit(second));
            assertEquals(ChangeFeedException.CHECKPOINT_FAILED, failed.status());
            assertEquals("disk full", failed.getCause().getMessage());
            assertEquals(first.until(), feed.committedUntil());
            assertEquals(first.until(), kept.endText);
            kept.failing = false;
            ChangeBatch again = feed.poll();
            assertEquals(first.until(), again.since());
            assertEquals(List.of(2L), recordIds(again));

            ChangeFeedStats stats = feed.stats();
            assertTrue(stats.open());
            assertEquals(3, stats.polls());
            assertEquals(7, stats.changesSeen());
            assertEquals(1, stats.commits());
            assertNull(stats.lastError(), "cleared by the poll after the failed commit");
            assertEquals(failed.getMessage(), stats.mostRecentError());
            assertEquals(0, stats.failedPolls());
            assertEquals(first.until(), stats.committedUntil());
            Duration lag = Duration.between(first.untilInstant(), Instant.now());
            assertTrue(stats.lag().compareTo(lag) <= 0 && stats.lag().compareTo(lag.minusSeconds(5)) > 0, stats.toString());
            assertEquals(7L, beans.getAttribute(name, "TotalNumberOfEventsSeen"));
            assertEquals(3L, beans.getAttribute(name, "NumberOfPolls"));
            assertEquals(first.until(), beans.getAttribute(name, "CommittedUntil"));
            assertEquals(failed.getMessage(), beans.getAttribute(name, "MostRecentError"));
            assertEquals(1L, beans.getAttribute(name, "NumberOfCommittedTransactions"));
            long behind = (Long) beans.getAttribute(name, "MilliSecondsBehindSource");
            assertTrue(behind >= lag.toMillis() && behind < lag.toMillis() + 5000, behind + " ms behind");
            assertTrue((Long) beans.getAttribute(name, "MilliSecondsSinceLastEvent") < 5000);

            // Empty batches move the position at once, but are written at most once per interval.
            feed.commit(again);
            int writes = kept.writes;
            for (int poll = 0; poll < 3; ++poll) {
                ChangeBatch empty = feed.poll();
                assertEquals(List.of(), empty.changes());
                feed.commit(empty);
                assertEquals(empty.until(), feed.committedUntil());
                assertEquals(again.until(), kept.endText, "an empty batch within 5 s of the last write is not written");
            }
            assertEquals(writes, kept.writes);
            assertEquals(2L, beans.getAttribute(name, "NumberOfCommittedTransactions"), "empty batches are not counted");
            ChangeBatch moved = feed.poll();
            assertEquals(feed.committedUntil(), moved.since(), "a skipped write is not taken for a rollback");
        }
        FailingCheckpoint fromNow = new FailingCheckpoint();
        try (ChangeFeed feed = sample().checkpoint(fromNow).options(ChangeFeedOptions.defaults().withStartFromNow()).open()) {
            ChangeBatch now = feed.poll();
            feed.commit(now);
            assertEquals(now.until(), fromNow.endText, "a checkpoint that holds nothing is written even for an empty batch");
        }
        FailingCheckpoint eager = new FailingCheckpoint();
        try (ChangeFeed feed = sample().checkpoint(eager).options(ChangeFeedOptions.defaults()
                 .withEmptyCommitInterval(Duration.ZERO)).open()) {
            feed.commit(feed.poll());
            ChangeBatch empty = feed.poll();
            feed.commit(empty);
            assertEquals(empty.until(), eager.endText);
            assertEquals(2, eager.writes);
        }
        assertFalse(beans.isRegistered(name));

        // A name of the caller's, or none: for feeds on databases of the same name for several owners.
        ObjectName own = new ObjectName("tenant.north:type=ChangeFeed,database=" + DATABASE);
        try (ChangeFeed feed = sample().checkpoint(new FailingCheckpoint())
                 .options(ChangeFeedOptions.defaults().withMBeanName(own)).open()) {
            feed.poll();
            assertEquals(1L, beans.getAttribute(own, "NumberOfPolls"));
            assertFalse(beans.isRegistered(name), "under the given name alone");
        }
        assertFalse(beans.isRegistered(own));
        ChangeFeedOptions without = ChangeFeedOptions.defaults().withMBeanName(own).withoutMBean();
        assertFalse(without.registersMBean());
        try (ChangeFeed feed = sample().checkpoint(new FailingCheckpoint()).options(without).open()) {
            assertEquals(Set.of(), beans.queryNames(new ObjectName("com.kestrum.orlo.connector.feed:*"), null));
            assertFalse(beans.isRegistered(own));
            assertTrue(feed.stats().open());
        }
        assertThrows(IllegalArgumentException.class,
                     () -> ChangeFeedOptions.defaults().withMBeanName(new ObjectName("tenant.north:*")));
    }

    @Test
    void startFromNowOrAGivenEndARecreatedDatabaseAndAForcedResyncOfARestoredOne() throws Exception {
        store.admin("change", DATABASE, "3");
        String given;
        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        ObjectName name = MBEAN;
        try (ChangeFeed feed = sample().checkpoint(checkpoint).options(ChangeFeedOptions.defaults().withStartFromNow())
                 .open()) {
            ChangeBatch now = feed.poll();
            assertEquals(List.of(), now.changes());
            assertEquals(now.until(), now.since());
            assertEquals(-1L, beans.getAttribute(name, "MilliSecondsSinceLastEvent"), "an empty batch is no event");
            store.admin("change", DATABASE, "5");
            ChangeBatch notCommitted = feed.poll();
            assertEquals(now.until(), notCommitted.since(), "now is chosen once, not again at each poll");
            assertEquals(List.of(5L), recordIds(notCommitted));
            assertTrue((Long) beans.getAttribute(name, "MilliSecondsSinceLastEvent") >= 0);
            ChangeBatch again = feed.poll();
            assertEquals(List.of(5L), recordIds(again));
            feed.commit(again);
            given = now.until();
            store.admin("change", DATABASE, "4");
        }
        Files.delete(checkpoint);
        try (ChangeFeed feed = sample().checkpoint(checkpoint).options(ChangeFeedOptions.defaults().withStartAt(given))
                 .open()) {
            ChangeBatch batch = feed.poll();
            assertEquals(given, batch.since());
            assertEquals(List.of(5L, 4L), recordIds(batch));
            feed.commit(batch);
        }

        // Re-created while the consumer is stopped: the store answers the old end text with a full listing.
        Set<String> view = listing();
        Path file = store.folder.resolve("data").resolve(DATABASE);
        Files.delete(file);
        store.admin("create-db", DATABASE);
        store.admin("add", DATABASE, "--count", "3");
        Path backup = store.folder.resolve("backup.tdb");
        try (ChangeFeed feed = open()) {
            ChangeBatch recreated = feed.poll();
            assertTrue(recreated.resync());
            assertEquals(List.of(1L, 2L, 3L), recordIds(recreated));
            apply(view, recreated);
            feed.commit(recreated);
            assertEquals(listing(), view);
            Files.copy(file, backup);
            store.admin("delete", DATABASE, "1");
            ChangeBatch deleted = feed.poll();
            apply(view, deleted);
            feed.commit(deleted);
        }

        // Restored from a copy while the consumer is stopped: only the consumer knows, and forces a full listing.
        Files.copy(backup, file, java.nio.file.StandardCopyOption.REPLACE_EXISTING);
        try (ChangeFeed feed = open()) {
            ChangeBatch before = feed.poll();
            assertFalse(before.resync());
            feed.forceResync();
            feed.commit(before);
            ChangeBatch resync = feed.poll();
            assertTrue(resync.resync(), "a commit of a batch polled before forceResync does not cancel it");
            assertNull(resync.since());
            apply(view, resync);
            feed.commit(resync);
            assertFalse(feed.poll().resync());
            assertEquals(1, feed.stats().resyncs());
        }
        assertEquals(listing(), view);
        assertEquals(3, view.size());
    }

    @Test
    void aDatabaseReplacedUnderAnOpenFeedIsOpenedAgainAndListedInFull() throws Exception {
        Set<String> view = new HashSet<>();
        Path file = store.folder.resolve("data").resolve(DATABASE);
        try (ChangeFeed feed = open()) {
            ChangeBatch first = feed.poll();
            apply(view, first);
            feed.commit(first);
            store.admin("create-db", "restored.tdb");
            store.admin("add", "restored.tdb", "--count", "2");
            Files.move(file.resolveSibling("restored.tdb"), file, java.nio.file.StandardCopyOption.REPLACE_EXISTING);
            store.admin("add", DATABASE, "--count", "1");

            ChangeBatch resync = feed.poll();
            assertTrue(resync.resync());
            assertEquals(3, resync.changes().size());
            apply(view, resync);
            feed.commit(resync);
            store.admin("delete", DATABASE, "1");
            ChangeBatch next = feed.poll();
            assertFalse(next.resync());
            apply(view, next);
            feed.commit(next);
            assertEquals(listing(), view);
            assertEquals(2, view.size());

            // Restores written into the open file, whose device and inode stay: cp of an older copy,
            // SQLite's .restore (the sqlite3 command), another store's database copied in.
            Object inode = Files.getAttribute(file, "unix:ino");
            Path older = store.folder.resolve("older.tdb");
            Files.copy(file, older); // whole once a poll is over
            store.admin("add", DATABASE, "--count", "2");
            pollAndApply(feed, view, false);
            run("cp", older.toString(), file.toString());
            assertEquals(2, pollAndApply(feed, view, true), "the older copy's records");
            assertEquals(listing(), view);

            Files.copy(file, older, java.nio.file.StandardCopyOption.REPLACE_EXISTING);
            store.admin("add", DATABASE, "--count", "3");
            store.admin("delete", DATABASE, "2");
            pollAndApply(feed, view, false);
            run("sqlite3", file.toString(), ".restore '" + older + "'");
            assertEquals(2, pollAndApply(feed, view, true));
            assertEquals(listing(), view);

            store.admin("create-db", "other.tdb");
            store.admin("add", "other.tdb", "--count", "4");
            run("cp", file.resolveSibling("other.tdb").toString(), file.toString());
            assertEquals(4, pollAndApply(feed, view, true), "the other database's records");
            store.admin("add", DATABASE, "--count", "1");
            pollAndApply(feed, view, false);
            assertEquals(inode, Files.getAttribute(file, "unix:ino"), "every restore wrote into the same file");
        }
        assertEquals(listing(), view);
        assertEquals(5, view.size());
    }

    /** Polls, checks whether the batch is a full listing, applies and commits it; returns the view's size. */
    private static int pollAndApply(ChangeFeed feed, Set<String> view, boolean resync) throws Exception {
        ChangeBatch batch = feed.poll();
        assertEquals(resync, batch.resync(), batch.toString());
        apply(view, batch);
        feed.commit(batch);
        return view.size();
    }

    /** Runs a command that must succeed within a minute. */
    private static void run(String... command) throws Exception {
        Process process = new ProcessBuilder(command).redirectErrorStream(true).start();
        try {
            assertTrue(process.waitFor(60, TimeUnit.SECONDS), "waited a minute for " + List.of(command));
            String output = new String(process.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
            assertEquals(0, process.exitValue(), List.of(command) + ": " + output);
        } finally {
            process.destroyForcibly();
        }
    }

    @Test
    void aSecondProcessOnTheSameCheckpointIsRefusedAtOnceAndAMissingConfigurationIsNamed() throws Exception {
        Path lockFile = checkpoint.resolveSibling("feed.checkpoint.lock");
        Files.createFile(lockFile, PosixFilePermissions.asFileAttribute(PosixFilePermissions.fromString("rw-r--r--")));
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            assertEquals("rw-------", PosixFilePermissions.toString(Files.getPosixFilePermissions(lockFile)),
                         "no other user may open the lock file and hold a lock on it");
            // A second store on the file in this JVM is refused, and leaves the first one's lock in place.
            ChangeFeedException here = assertThrows(ChangeFeedException.class,
                                                    () -> new FileCheckpointStore(checkpoint).read("", DATABASE));
            assertTrue(here.getMessage().contains("in use by another change feed in this JVM"), here.getMessage());
            String output = watcherRefused(Map.of());
            assertTrue(output.contains("in use by another change feed, in another process"), output);
        }
        Path missing = store.folder.resolve("nowhere").resolve("store.ini");
        String output = watcherRefused(Map.of("TESRA_INI", missing.toString()));
        assertTrue(output.contains(missing + " (named by TESRA_INI)"), output);
        assertTrue(output.contains("status 0x0102"), output);
        assertTrue(ChangeFeedException.configurationFile(null).contains(Path.of("tesra.ini").toAbsolutePath()
                                                                        + " (TESRA_INI is not set"));
    }

    /** "OpenOnce DATABASE PASSWORD CHECKPOINT": another process that opens a feed and says why it cannot. */
    public static final class OpenOnce {
        public static void main(String[] args) {
            try (ChangeFeed feed = ChangeFeed.builder().database(args[0]).password(args[1].toCharArray())
                     .checkpoint(Path.of(args[2])).open()) {
                System.out.println("opened, until " + feed.committedUntil());
            } catch (ChangeFeedException failure) {
                System.out.println("Cannot open " + args[0] + ": " + failure.getMessage());
                System.exit(1);
            }
        }
    }

    /** The output of another process on the sample database and checkpoint that must fail to open. */
    private String watcherRefused(Map<String, String> environment) throws Exception {
        List<String> command = List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                                       "-Djava.library.path=" + System.getProperty("java.library.path"),
                                       "-cp", System.getProperty("java.class.path"), OpenOnce.class.getName(),
                                       DATABASE, SampleStore.PASSWORD, checkpoint.toString());
        ProcessBuilder builder = new ProcessBuilder(command).redirectErrorStream(true);
        builder.environment().putAll(environment);
        Process watcher = builder.start();
        try {
            String output = assertTimeoutPreemptively(Duration.ofSeconds(60),
                () -> new String(watcher.getInputStream().readAllBytes(), StandardCharsets.UTF_8),
                "a watcher that cannot open to give up");
            assertEquals(1, watcher.waitFor(), output);
            return output;
        } finally {
            watcher.destroyForcibly();
        }
    }

    @Test
    void batchesAndChangesForAConsumersTestsAndTheJdbcCheckpointInTheConsumersTransaction() throws Exception {
        String universalId = "000B4A76005C144AAE74F9F100000001";
        ChangeBatch batch = ChangeBatch.of(List.of(Change.present(universalId, 1), Change.deletion(universalId, 1)),
                                           "2026-12-09 05:00:00.000", "2026-12-09 06:00:00.120", false,
                                           java.time.ZoneId.of("Europe/Berlin"));
        assertEquals(List.of(Change.parse(universalId + ":1:NOR"), Change.parse(universalId + ":1:DEL")), batch.changes());
        assertEquals(Instant.parse("2026-12-09T05:00:00.120Z"), batch.untilInstant());
        assertThrows(IllegalArgumentException.class, () -> ChangeBatch.of(List.of(), null, "2026-12-09 06:00:00.12", false));

        assertThrows(IllegalArgumentException.class, () -> new JdbcCheckpointStore(DriverManager.getConnection("jdbc:sqlite:"),
                                                                                     "t; DROP TABLE x"));
    }

    @Test
    void optionsChangesBatchesAndFailuresAreValuesThatSayWhatTheyHold() {
        ChangeFeedOptions defaults = ChangeFeedOptions.defaults();
        assertEquals(defaults, defaults.withStartFromNow().withStartFromBeginning());
        assertEquals(defaults.hashCode(), ChangeFeedOptions.defaults().hashCode());
        assertNotEquals(defaults, defaults.toString());
        // Each setting alone tells two options apart.
        List<ChangeFeedOptions> each = List.of(
            defaults, defaults.withResyncStatuses(0x0101), defaults.withTransientStatuses(0x0150),
            defaults.withRetries(defaults.retries() + 1, defaults.firstBackoff(), defaults.maxBackoff()),
            defaults.withRetries(defaults.retries(), defaults.firstBackoff().plusMillis(1), defaults.maxBackoff()),
            defaults.withRetries(defaults.retries(), defaults.firstBackoff(), defaults.maxBackoff().plusMillis(1)),
            defaults.withPollTimeout(Duration.ofSeconds(31)), defaults.withPollInterval(Duration.ofSeconds(2)),
            defaults.withEmptyCommitInterval(Duration.ZERO), defaults.withStoreZone(java.time.ZoneId.of("Europe/Berlin")),
            defaults.withStartFromNow(), defaults.withStartAt("2026-12-09 05:00:00.120"),
            defaults.withStartAt("2026-12-09 05:00:00.130"));
        for (int i = 0; i < each.size(); ++i) {
            for (int j = 0; j < each.size(); ++j) {
                assertEquals(i == j, each.get(i).equals(each.get(j)), each.get(i) + " against " + each.get(j));
                assertEquals(i == j, each.get(i).hashCode() == each.get(j).hashCode(), each.get(i) + " hash");
            }
        }
        assertTrue(defaults.toString().startsWith("ChangeFeedOptions[resyncStatuses=") && defaults.toString()
            .endsWith(", storeZone=Z, start=BEGINNING]"), defaults.toString());
        assertTrue(each.get(11).toString().endsWith(", start=END_TEXT 2026-12-09 05:00:00.120]"), each.get(11).toString());
        // Retries pause twice as long each time, up to the longest pause.
        ChangeFeedOptions doubling = defaults.withRetries(6, Duration.ofMillis(100), Duration.ofMillis(500));
        assertEquals(List.of(100L, 200L, 400L, 500L, 500L), java.util.stream.IntStream.rangeClosed(1, 5)
            .mapToObj(retry -> doubling.backoffBefore(retry).toMillis()).collect(Collectors.toList()));
        assertEquals(Duration.ofMillis(400), defaults.withRetries(2, Duration.ofMillis(400), Duration.ofMillis(400))
            .backoffBefore(2));

        String universalId = "000B4A76005C144AAE74F9F100000001";
        Change present = Change.present(universalId, 1);
        assertEquals(present, Change.parse(universalId + ":1:NOR"));
        assertEquals(present.hashCode(), Change.parse(universalId + ":1:NOR").hashCode());
        for (Change other : List.of(Change.deletion(universalId, 1), Change.present(universalId, 2),
                                    Change.present(universalId.replace('B', 'C'), 1))) {
            assertNotEquals(present, other);
            assertNotEquals(present.hashCode(), other.hashCode());
        }
        assertNotEquals(present, present.toString());
        assertEquals("Change[universalId=" + universalId + ", recordId=1, deleted=false]", present.toString());
        assertThrows(IllegalArgumentException.class, () -> new Change(universalId, -1, false));
        assertThrows(IllegalArgumentException.class, () -> new Change(universalId, 0x1_0000_0000L, false));
        assertEquals(0xFFFFFFFFL, new Change(universalId, 0xFFFFFFFFL, true).recordId());
        assertThrows(IllegalArgumentException.class, () -> Change.parse(universalId.replace('B', 'G') + ":1:NOR"));
        assertThrows(IllegalArgumentException.class, () -> Change.parse(universalId.replace('B', '/') + ":1:NOR"));
        assertEquals("resync batch since null until 2026-12-09 06:00:00.120: 1 changes",
                     ChangeBatch.of(List.of(present), null, "2026-12-09 06:00:00.120", true).toString());
        assertEquals("batch since 2026-12-09 05:00:00.000 until 2026-12-09 06:00:00.120: 0 changes",
                     ChangeBatch.of(List.of(), "2026-12-09 05:00:00.000", "2026-12-09 06:00:00.120", false).toString());

        // A failure says its database and status when it has them, and where the store read its settings.
        assertEquals("plain", new ChangeFeedException("plain", null, 0, false, null).getMessage());
        assertEquals("locked [main.tdb, status 0x0150, transient]",
                     new ChangeFeedException("locked", null, 0x0150, true, "main.tdb").getMessage());
        assertEquals("gone [status 0x0124]", new ChangeFeedException("gone", null, 0x0124, false, null).getMessage());
        ChangeFeedException unnamed = new ChangeFeedException("Native call QRVDbOpen failed with error: code 292, 'x'", null);
        assertEquals(292, unnamed.status());
        ChangeFeedException named = unnamed.on("main.tdb");
        assertEquals("main.tdb", named.database());
        assertEquals(List.of(unnamed.getStackTrace()), List.of(named.getStackTrace()));
        assertSame(named, named.on("other.tdb"));
        assertEquals(0, new ChangeFeedException("Native call X failed with error: code 1234567890, 'x'", null).status(),
                     "a status beyond nine digits is none");
        assertEquals(123456789, new ChangeFeedException("Native call X failed with error: code 123456789, 'x'", null)
            .status());
        ChangeFeedException unreadable = ChangeFeedException.ofNative(
            new Exception("Native call storeInit failed with error: code 258, 'unreadable'"), "main.tdb", defaults);
        assertTrue(unreadable.getMessage().contains("'unreadable'; the store's configuration file is "),
                   unreadable.getMessage());
        assertFalse(ChangeFeedException.ofNative(new Exception("Native call X failed with error: code 336, 'busy'"),
                                                 "main.tdb", defaults).getMessage().contains("configuration file"));
        assertTrue(ChangeFeedException.configurationFile("").contains("TESRA_INI is not set"));
        assertEquals("'a\\\\b\\n'", EndText.quoted("a\\b\n"));
        assertEquals("'\\r\\n\\t\\u0000\\uFEFFx'", EndText.quoted("\r\n\t\u0000\ufeffx"));
        assertEquals("'x' is not an end text of the form YYYY-MM-DD HH:MM:SS.mmm", EndText.problem("x"));
    }

    @Test
    void theJdbcCheckpointFollowsRollbacksAndAnotherFeedOnItsRowTakesItOver() throws Exception {
        String url = "jdbc:sqlite:" + store.folder.resolve("consumer.db");
        Warnings logged = new Warnings();
        try (Connection connection = DriverManager.getConnection(url); Connection other = DriverManager.getConnection(url)) {
            JdbcCheckpointStore row = new JdbcCheckpointStore(connection);
            try (Statement made = connection.createStatement()) {  // as an earlier version made it, without claims
                made.executeUpdate("CREATE TABLE change_feed_checkpoint (server_name VARCHAR(255) NOT NULL, database_name "
                                   + "VARCHAR(255) NOT NULL, end_text VARCHAR(23) NOT NULL, PRIMARY KEY (server_name, database_name))");
            }
            ChangeFeedException autoCommit = assertThrows(ChangeFeedException.class, () -> sample().checkpoint(row).open());
            assertTrue(autoCommit.getMessage().contains("setAutoCommit(false)"), autoCommit.getMessage());
            assertEquals(ChangeFeedException.CHECKPOINT_REFUSED, autoCommit.status());
            assertEquals(DATABASE, autoCommit.database());
            connection.setAutoCommit(false);
            assertTrue(assertThrows(ChangeFeedException.class, () -> sample().checkpoint(row).open()).getMessage()
                .contains("createTableIfMissing"));
            row.createTableIfMissing();
            connection.commit();

            try (ChangeFeed feed = sample().checkpoint(row).open()) {
                ChangeBatch first = feed.poll();
                feed.commit(first);
                connection.commit();
                store.admin("change", DATABASE, "2");
                feed.commit(feed.poll());
                connection.rollback();  // the consumer's transaction fails after the feed's commit
                store.admin("change", DATABASE, "3");
                ChangeBatch again = feed.poll();
                assertEquals(first.until(), again.since(), "the next poll starts where the consumer's database stands");
                assertEquals(List.of(2L, 3L), recordIds(again));
                List<String> warnings = logged.containing("rolled back");
                assertEquals(1, warnings.size(), warnings.toString());
                assertTrue(warnings.get(0).contains("holds " + first.until()), warnings.get(0));
                feed.commit(again);
                connection.commit();
                ChangeBatch empty = feed.poll();
                feed.commit(empty);  // within the interval: not written
                connection.commit();
                assertEquals(empty.until(), feed.poll().since());
                assertEquals(1, logged.containing("rolled back").size(), "a skipped empty commit is no rollback");

                feed.forceResync();
                feed.commit(feed.poll());
                connection.rollback();
                ChangeBatch listedAgain = feed.poll();
                assertTrue(listedAgain.resync(), "a full listing whose commit was rolled back is due again");
                feed.commit(listedAgain);
                connection.commit();
                store.admin("change", DATABASE, "4");
                ChangeBatch next = feed.poll();
                assertFalse(next.resync());
                assertEquals(List.of(4L), recordIds(next));
                connection.rollback();

                // Another feed, in another process, opens on the same row: this one's commit and polls fail.
                other.setAutoCommit(false);
                JdbcCheckpointStore newer = new JdbcCheckpointStore(other);
                assertEquals(listedAgain.until(), newer.read("", DATABASE));
                ChangeFeedException takenOver = assertThrows(ChangeFeedException.class, () -> feed.commit(next));
                assertEquals(ChangeFeedException.CHECKPOINT_TAKEN_OVER, takenOver.status());
                assertEquals(DATABASE, takenOver.database());
                connection.rollback();
                assertEquals(ChangeFeedException.CHECKPOINT_TAKEN_OVER,
                             assertThrows(ChangeFeedException.class, feed::poll).status());
                connection.rollback();
                newer.write("", DATABASE, next.until());
                other.commit();
                assertTrue(newer.holdsLastWrite("", DATABASE));
                assertEquals(next.until(), newer.reread("", DATABASE));
            }
        } finally {
            logged.close();
        }
    }

    /** Fails its first queries as the native library does when the store stays locked. */
    private static final class LockedAtFirst extends VarnexChangeDetectionConnector {
        private final int lockedCalls;
        int calls;

        LockedAtFirst(int lockedCalls) {
            this.lockedCalls = lockedCalls;
        }

        @Override
        public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
            if (++calls <= lockedCalls) {
                throw new Exception(
                    "Native call QRVSearch failed with error: code 336, 'The database stayed locked by another process'");
            }
            return super.getModifiedTesra(since, endText);
        }
    }
}
