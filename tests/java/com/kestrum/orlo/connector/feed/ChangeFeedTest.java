package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTimeoutPreemptively;
import static org.junit.jupiter.api.Assertions.assertTrue;

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
import java.time.Duration;
import java.time.Instant;
import java.time.LocalDateTime;
import java.time.ZoneOffset;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.Vector;
import java.util.stream.Collectors;
import javax.management.MBeanServer;
import javax.management.ObjectName;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The change feed over the native library and a local store of five records. */
class ChangeFeedTest {
    static final Path ADMIN = Path.of(System.getProperty("tesra.admin"));
    private static final String DATABASE = SampleStore.DATABASE;

    private SampleStore store;
    private Path checkpoint;

    @BeforeEach
    void createStore() throws Exception {
        store = SampleStore.create(ADMIN, 5);
        checkpoint = store.folder.resolve("feed.checkpoint");
    }

    private ChangeFeed open() throws Exception {
        return ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint);
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
            String until = feed.poll().until();
            // The purge removes the deletion record and cuts the history the committed end text points into.
            // That until may be one hundredth past the clock (just above the deletion's stamp), and purge
            // refuses a time after the clock: let the clock pass it.
            Thread.sleep(20);
            store.admin("purge", DATABASE, "--before", until.substring(0, until.length() - 1));
        }
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
        try (ChangeFeed feed = ChangeFeed.open(connector, null, DATABASE, SampleStore.PASSWORD, checkpoint, options)) {
            assertEquals(5, feed.poll().changes().size());
            assertEquals(3, connector.calls);
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
        assertEquals(new Change(universalId.toLowerCase(), 0x2A, false), Change.parse(universalId.toLowerCase() + ":2a:NOR"));
        for (String bad : new String[] {"", universalId.substring(1) + ":1:NOR", universalId + "0:1:NOR",
                                        universalId.replace('B', 'G') + ":1:NOR", universalId + "::NOR",
                                        universalId + ":100000000:NOR", universalId + ":-1:NOR", universalId + ":1:MOD",
                                        universalId + ":1:NOR ", universalId + ":1:NOR:1", universalId + ":1",
                                        universalId + ":+1:NOR", universalId + ":\uFF11:NOR", universalId + ":1:del"}) {
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
        try (ChangeFeed feed = ChangeFeed.open(addsABadEntry, null, DATABASE, SampleStore.PASSWORD, checkpoint,
                                               ChangeFeedOptions.defaults())) {
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
            assertTrue(failure.getMessage().contains(":6:MOD"), failure.getMessage());
            assertNull(feed.committedUntil());
        }
    }

    /** The universal identifiers of the records present, as tesra-admin lists them. */
    private Set<String> listing() throws Exception {
        return Arrays.stream(store.admin("list", DATABASE).split("\n")).filter(line -> !line.isBlank())
            .map(line -> line.split(" ")[1]).collect(Collectors.toSet());
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
                                        past + "\n" + "#".repeat(FileCheckpointStore.MAX_SIZE)}) {
            Files.writeString(checkpoint, bad);
            ChangeFeedException refused = assertThrows(ChangeFeedException.class, this::open, bad);
            assertTrue(refused.getMessage().contains(checkpoint.toString()), refused.getMessage());
        }
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
        try (ChangeFeed feed = ChangeFeed.open(new VarnexChangeDetectionConnector(), null, DATABASE, SampleStore.PASSWORD,
                                               new FileCheckpointStore(checkpoint, disk), ChangeFeedOptions.defaults())) {
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
        try (var left = Files.list(store.folder)) {
            assertEquals(List.of(), left.map(path -> path.getFileName().toString())
                .filter(name -> name.matches("feed\\.checkpoint\\.\\d+\\.tmp")).collect(Collectors.toList()));
        }
    }

    /** Keeps the end text in memory; its writes fail while told to. */
    private static final class FailingCheckpoint implements CheckpointStore {
        String endText;
        boolean failing;

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
        }
    }

    @Test
    void aFailedCommitLeavesTheLastCommitInForceAndTheStatsTellIt() throws Exception {
        FailingCheckpoint kept = new FailingCheckpoint();
        MBeanServer beans = ManagementFactory.getPlatformMBeanServer();
        ObjectName name = new ObjectName("com.kestrum.orlo.connector.feed:type=ChangeFeed,database=" + DATABASE);
        try (ChangeFeed feed = ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, kept, ChangeFeedOptions.defaults())) {
            assertEquals(Boolean.TRUE, beans.getAttribute(name, "Connected"));
            assertEquals(-1L, beans.getAttribute(name, "MilliSecondsBehindSource"));
            ChangeBatch first = feed.poll();
            feed.commit(first);
            store.admin("change", DATABASE, "2");
            ChangeBatch second = feed.poll();
            kept.failing = true;
            assertEquals("disk full", assertThrows(IOException.class, () -> feed.commit(second)).getMessage());
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
            assertEquals("disk full", stats.lastError());
            assertEquals(first.until(), stats.committedUntil());
            Duration lag = Duration.between(first.untilInstant(), Instant.now());
            assertTrue(stats.lag().compareTo(lag) <= 0 && stats.lag().compareTo(lag.minusSeconds(5)) > 0, stats.toString());
            assertEquals(7L, beans.getAttribute(name, "TotalNumberOfEventsSeen"));
            assertEquals(1L, beans.getAttribute(name, "NumberOfCommittedTransactions"));
            long behind = (Long) beans.getAttribute(name, "MilliSecondsBehindSource");
            assertTrue(behind >= lag.toMillis() && behind < lag.toMillis() + 5000, behind + " ms behind");
            assertTrue((Long) beans.getAttribute(name, "MilliSecondsSinceLastEvent") < 5000);
        }
        assertFalse(beans.isRegistered(name));
    }

    @Test
    void startFromNowOrAGivenEndAndAForcedResyncOfARecreatedDatabase() throws Exception {
        store.admin("change", DATABASE, "3");
        String given;
        try (ChangeFeed feed = ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint,
                                               ChangeFeedOptions.defaults().withStartFromNow())) {
            ChangeBatch now = feed.poll();
            assertEquals(List.of(), now.changes());
            assertEquals(now.until(), now.since());
            feed.commit(now);
            given = now.until();
            store.admin("change", DATABASE, "4");
        }
        Files.delete(checkpoint);
        try (ChangeFeed feed = ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint,
                                               ChangeFeedOptions.defaults().withStartAt(given))) {
            ChangeBatch batch = feed.poll();
            assertEquals(given, batch.since());
            assertEquals(List.of(4L), recordIds(batch));
            feed.commit(batch);
        }

        // Re-created while the consumer is stopped: the checkpoint says nothing of the new records, and the
        // local store refuses it, so the feed lists everything by itself.
        Set<String> view = listing();
        Path file = store.folder.resolve("data").resolve(DATABASE);
        Files.delete(file);
        store.admin("create-db", DATABASE);
        store.admin("add", DATABASE, "--count", "3");
        try (ChangeFeed feed = open()) {
            ChangeBatch relisted = feed.poll();
            assertTrue(relisted.resync(), "the old records must leave the view");
            apply(view, relisted);
            feed.commit(relisted);
            assertEquals(listing(), view);
            // what a consumer does after a restore, or with a store that cannot tell
            feed.forceResync();
            ChangeBatch resync = feed.poll();
            assertTrue(resync.resync());
            assertNull(resync.since());
            apply(view, resync);
            feed.commit(resync);
            assertFalse(feed.poll().resync());
            assertEquals(2, feed.stats().resyncs());
        }
        assertEquals(listing(), view);
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
        }
        assertEquals(listing(), view);
        assertEquals(2, view.size());
    }

    @Test
    void aSecondProcessOnTheSameCheckpointIsRefusedAtOnce() throws Exception {
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            List<String> command = List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                                           "-Djava.library.path=" + System.getProperty("java.library.path"),
                                           "-cp", System.getProperty("java.class.path"),
                                           "com.kestrum.orlo.connector.demo.ChangeWatcher", DATABASE,
                                           SampleStore.PASSWORD, checkpoint.toString(), "1", "0");
            Process second = new ProcessBuilder(command).redirectErrorStream(true).start();
            try {
                String output = assertTimeoutPreemptively(Duration.ofSeconds(60),
                    () -> new String(second.getInputStream().readAllBytes(), StandardCharsets.UTF_8),
                    "a second watcher on the same checkpoint to give up");
                assertEquals(1, second.waitFor(), output);
                assertTrue(output.contains("in use by another change feed"), output);
            } finally {
                second.destroyForcibly();
            }
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

        try (java.sql.Connection connection = java.sql.DriverManager.getConnection("jdbc:sqlite:" + store.folder.resolve("consumer.db"))) {
            JdbcCheckpointStore row = new JdbcCheckpointStore(connection);
            row.createTableIfMissing();
            IOException autoCommit = assertThrows(IOException.class, () -> row.write("", DATABASE, batch.until()));
            assertTrue(autoCommit.getMessage().contains("setAutoCommit(false)"), autoCommit.getMessage());
            connection.setAutoCommit(false);
            row.write("", DATABASE, batch.since());
            connection.commit();
            row.write("", DATABASE, batch.until());
            assertEquals(batch.until(), row.read("", DATABASE));
            connection.rollback();
            assertEquals(batch.since(), row.read("", DATABASE), "the write is undone with the consumer's transaction");
            assertNull(row.read("", "other.tdb"));
            assertThrows(IllegalArgumentException.class, () -> new JdbcCheckpointStore(connection, "t; DROP TABLE x"));
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
