package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.tests.SampleStore;

import java.io.IOException;
import java.sql.Connection;
import java.sql.DriverManager;
import java.sql.PreparedStatement;
import java.sql.ResultSet;
import java.sql.SQLException;
import java.sql.Statement;
import java.time.Duration;
import java.util.Arrays;
import java.util.stream.Collectors;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Test;

/**
 * Consumers killed with SIGKILL at random points while a writer runs; a last run ends on its own. The demo
 * watcher, with a checkpoint file, must report every write at least once, and twice only when a run was
 * killed between reporting a batch and committing it. A consumer keeping its view and checkpoint in one
 * database must apply every window exactly once.
 */
class WatcherCrashIT {
    private static final int KILLS = 20;
    private static final String END_TEXT = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    private static final Pattern BATCH = Pattern.compile("poll \\d+ since (the beginning|" + END_TEXT + "): \\d+ changes?, until ("
                                                         + END_TEXT + ")");
    private static final Pattern RECORD = Pattern.compile(" {4}record ([0-9A-F]+) +(added or changed|deleted) +universal id [0-9A-F]{32}");

    /** A batch as a watcher run reported it; committed when the checkpoint moved to its end. */
    private record Batch(int run, long start, long end, Set<Long> records, boolean committed) {}

    @Test
    void everyWriteIsReportedAndOnlyAnUncommittedBatchTwice() throws Exception {
        SampleStore store = SampleStore.create(5);
        Path checkpoint = store.folder.resolve("watcher.checkpoint");
        Path writes = store.folder.resolve("writes.log");
        long seed = System.nanoTime();
        Random random = new Random(seed);
        System.err.println("kill points from seed " + seed);
        List<Batch> batches = new ArrayList<>();
        Process writer = store.start(List.of("churn", SampleStore.DATABASE, "--rate", "40", "--seconds", "15", "--seed", "11",
                                             "--log", writes.toString()),
                                     store.folder.resolve("writer.out"));
        try {
            for (int run = 0; run <= KILLS; ++run) {
                boolean killed = run < KILLS;
                if (!killed) {
                    // The last run starts after the last write, so that its polls see every write.
                    assertEquals(0, writer.waitFor(), "writer exit status");
                }
                String before = checkpointIn(checkpoint);
                Path report = store.folder.resolve("run-" + run + ".log");
                Process watcher = startWatcher(checkpoint, report, killed ? 1000 : 3);
                try {
                    if (killed) {
                        awaitLine(watcher, report, "checkpoint", run);
                        Thread.sleep(random.nextInt(1000));
                        watcher.destroyForcibly();
                    }
                    int status = watcher.waitFor();
                    assertEquals(killed ? 137 : 0, status, "run " + run + " exit status");
                } finally {
                    watcher.destroyForcibly();
                }
                batches.addAll(batchesIn(run, report, before, checkpointIn(checkpoint)));
            }
        } finally {
            writer.destroyForcibly();
        }

        List<SampleStore.Write> written = SampleStore.writesIn(writes);
        assertTrue(written.size() > 100, "writes: " + written.size());
        int twice = 0;
        for (SampleStore.Write write : written) {
            List<Batch> reporting = batches.stream()
                .filter(b -> b.start() <= write.stamp() && write.stamp() < b.end() && b.records().contains(write.recordId()))
                .toList();
            assertFalse(reporting.isEmpty(), "never reported: " + write);
            for (Batch earlier : reporting.subList(0, reporting.size() - 1)) {
                assertFalse(earlier.committed(), write + " reported again after its batch was committed: " + reporting);
            }
            twice += reporting.size() > 1 ? 1 : 0;
        }
        long uncommitted = batches.stream().filter(b -> !b.committed()).count();
        System.err.printf("%d batches, %d writes, %d runs killed between a report and its commit, %d writes reported twice%n",
                          batches.size(), written.size(), uncommitted, twice);
    }

    private static Process startWatcher(Path checkpoint, Path report, int polls) throws IOException {
        List<String> command = List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(), "-Xcheck:jni",
                                       "-Djava.library.path=" + System.getProperty("java.library.path"),
                                       "-cp", System.getProperty("java.class.path"),
                                       "com.kestrum.orlo.connector.demo.ChangeWatcher", SampleStore.DATABASE,
                                       SampleStore.PASSWORD, checkpoint.toString(), Integer.toString(polls), "20");
        return new ProcessBuilder(command).redirectOutput(ProcessBuilder.Redirect.DISCARD)
            .redirectError(report.toFile()).start();
    }

    private static String checkpointIn(Path checkpoint) throws IOException {
        if (!Files.exists(checkpoint)) {
            return null;
        }
        String text = Files.readString(checkpoint, StandardCharsets.UTF_8);
        return text.substring(text.indexOf("\nend=") + 5).strip();
    }

    /** The batches of one run's report, whole lines only: a kill may cut the last one. */
    private static List<Batch> batchesIn(int run, Path report, String checkpointBefore, String checkpointAfter)
            throws IOException {
        String text = Files.readString(report, StandardCharsets.UTF_8);
        assertFalse(text.contains("WARNING"), "run " + run + ": " + text);
        List<Batch> batches = new ArrayList<>();
        List<String> untils = new ArrayList<>();
        Set<Long> records = null;
        for (String line : text.substring(0, text.lastIndexOf('\n') + 1).split("\n", -1)) {
            Matcher batch = BATCH.matcher(line);
            Matcher record = RECORD.matcher(line);
            if (batch.matches()) {
                String since = batch.group(1).equals("the beginning") ? null : batch.group(1);
                String expectedSince = untils.isEmpty() ? checkpointBefore : untils.get(untils.size() - 1);
                assertEquals(expectedSince, since, "run " + run + " starts from the last commit");
                records = new HashSet<>();
                untils.add(batch.group(2));
                batches.add(new Batch(run, since == null ? 0 : SampleStore.storeTime(since),
                                      SampleStore.storeTime(batch.group(2)), records, true));
            } else if (record.matches() && records != null) {
                records.add(Long.parseLong(record.group(1), 16));
            }
        }
        if (!batches.isEmpty() && !untils.get(untils.size() - 1).equals(checkpointAfter)) {
            Batch last = batches.remove(batches.size() - 1);
            batches.add(new Batch(run, last.start(), last.end(), last.records(), false));
        }
        return batches;
    }

    @Test
    void aConsumerKeepingItsCheckpointInItsOwnDatabaseAppliesEachWindowExactlyOnce() throws Exception {
        SampleStore store = SampleStore.create(5);
        Path consumerDatabase = store.folder.resolve("consumer.db");
        long seed = System.nanoTime();
        Random random = new Random(seed);
        System.err.println("kill points from seed " + seed);
        Process writer = store.start(List.of("churn", SampleStore.DATABASE, "--rate", "40", "--seconds", "30", "--seed", "12"),
                                     store.folder.resolve("writer.out"));
        int kills = 0;
        try {
            for (int run = 0; run <= KILLS; ++run) {
                boolean killed = run < KILLS;
                if (!killed) {
                    // The last run starts after the last write, so that its polls see every write.
                    assertEquals(0, writer.waitFor(), "writer exit status");
                }
                Path report = store.folder.resolve("consumer-" + run + ".log");
                Process consumer = startJava(ExactlyOnceConsumer.class.getName(), consumerDatabase.toString(),
                                             killed ? "100000" : "3", "20")
                    .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(report.toFile()).start();
                try {
                    if (killed) {
                        awaitLine(consumer, report, "feed open", run);
                        Thread.sleep(random.nextInt(800));
                        consumer.destroyForcibly();
                    }
                    assertTrue(consumer.waitFor(60, TimeUnit.SECONDS), "waited 60 s for consumer run " + run + " to end");
                    assertEquals(killed ? 137 : 0, consumer.exitValue(), "run " + run + " exit status");
                    kills += killed ? 1 : 0;
                } finally {
                    consumer.destroyForcibly();
                }
            }
        } finally {
            writer.destroyForcibly();
        }

        assertTrue(kills >= 20, kills + " kills");
        assertExactlyOnce(store, consumerDatabase, kills + " kills");
    }

    @Test
    void rollbacksAndASecondConsumerOnTheSameRowNeitherSkipNorRepeatAWindow() throws Exception {
        SampleStore store = SampleStore.create(5);
        Path consumerDatabase = store.folder.resolve("consumer.db");
        Process writer = store.start(List.of("churn", SampleStore.DATABASE, "--rate", "40", "--seconds", "20", "--seed", "13"),
                                     store.folder.resolve("writer.out"));
        List<Process> consumers = new ArrayList<>();
        try {
            // Both roll back every fifth batch with changes; the second takes the checkpoint row over.
            Path firstReport = store.folder.resolve("first.log");
            consumers.add(startJava(ExactlyOnceConsumer.class.getName(), consumerDatabase.toString(), "100000", "50", "5")
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(firstReport.toFile()).start());
            awaitLine(consumers.get(0), firstReport, "rolled back", 0);
            Path secondReport = store.folder.resolve("second.log");
            consumers.add(startJava(ExactlyOnceConsumer.class.getName(), consumerDatabase.toString(), "100000", "50", "5")
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(secondReport.toFile()).start());
            assertTrue(consumers.get(0).waitFor(60, TimeUnit.SECONDS), "waited 60 s for the first consumer to be taken over");
            assertEquals(3, consumers.get(0).exitValue(), Files.readString(firstReport));
            assertTrue(Files.readString(firstReport).contains("took the checkpoint table change_feed_checkpoint over"));
            assertEquals(0, writer.waitFor(), "writer exit status");
            awaitLine(consumers.get(1), secondReport, "rolled back", 1);
            consumers.get(1).destroyForcibly().waitFor();
            // The last run starts after the writer's last write, so that its polls see every write.
            Process last = startJava(ExactlyOnceConsumer.class.getName(), consumerDatabase.toString(), "3", "50", "0")
                .redirectOutput(ProcessBuilder.Redirect.DISCARD).redirectError(store.folder.resolve("last.log").toFile())
                .start();
            consumers.add(last);
            assertTrue(last.waitFor(60, TimeUnit.SECONDS), "waited 60 s for the last consumer run");
            assertEquals(0, last.exitValue(), Files.readString(store.folder.resolve("last.log")));
        } finally {
            writer.destroyForcibly();
            consumers.forEach(Process::destroyForcibly);
        }
        assertExactlyOnce(store, consumerDatabase, "rollbacks and a second consumer");
    }

    /**
     * The windows the consumer applied, in order, follow each other without a gap, and none starts before
     * the end of a window whose changes were applied; the consumer's view is the store's listing. A window
     * may start before the end of an empty one: empty batches are not always written to the checkpoint.
     */
    private static void assertExactlyOnce(SampleStore store, Path consumerDatabase, String what) throws Exception {
        List<String[]> windows = new ArrayList<>();
        Set<String> view = new HashSet<>();
        try (Connection connection = DriverManager.getConnection("jdbc:sqlite:" + consumerDatabase);
             Statement query = connection.createStatement()) {
            try (ResultSet rows = query.executeQuery("SELECT since, until, changes FROM windows ORDER BY seq")) {
                while (rows.next()) {
                    windows.add(new String[] {rows.getString(1), rows.getString(2), rows.getString(3)});
                }
            }
            try (ResultSet rows = query.executeQuery("SELECT universal_id FROM view")) {
                while (rows.next()) {
                    view.add(rows.getString(1));
                }
            }
        }
        int twice = 0;
        int gaps = 0;
        String previousUntil = null;
        String appliedUntil = null;
        for (String[] window : windows) {
            if (window[0] == null ? appliedUntil != null : appliedUntil != null && window[0].compareTo(appliedUntil) < 0) {
                ++twice;
            } else if (window[0] != null && (previousUntil == null || window[0].compareTo(previousUntil) > 0)) {
                ++gaps;
            }
            previousUntil = window[1];
            appliedUntil = Integer.parseInt(window[2]) > 0 ? window[1] : appliedUntil;
        }
        System.err.printf("exactly once, %s: %d windows applied, %d applied twice, %d gaps%n", what, windows.size(), twice,
                          gaps);
        assertEquals(0, twice, "windows applied twice");
        assertEquals(0, gaps, "gaps between windows");
        Set<String> listing = Arrays.stream(store.admin("list", SampleStore.DATABASE).split("\n"))
            .filter(line -> !line.isBlank()).map(line -> line.split(" ", -1)[1]).collect(Collectors.toSet());
        assertEquals(listing, view, "the consumer's view against the store's listing");
    }

    /** Kills land while a run polls, applies and commits, not while its JVM starts. */
    private static void awaitLine(Process run, Path report, String text, int number) throws Exception {
        long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
        while (!Files.readString(report).contains(text)) {
            assertTrue(run.isAlive() && System.nanoTime() < giveUp,
                       "waited up to 30 s for run " + number + " to report '" + text + "'");
            Thread.sleep(10);
        }
    }

    private static ProcessBuilder startJava(String mainClass, String... arguments) {
        List<String> command = new ArrayList<>(List.of(Path.of(System.getProperty("java.home"), "bin", "java").toString(),
                                                       "-Xcheck:jni",
                                                       "-Djava.library.path=" + System.getProperty("java.library.path"),
                                                       "-cp", System.getProperty("java.class.path"), mainClass));
        command.addAll(List.of(arguments));
        return new ProcessBuilder(command);
    }

    /**
     * Applies each batch to a table of its SQLite database and records the window (since, until, changes),
     * in one transaction with the feed's checkpoint; rolls back instead of committing every Nth batch with
     * changes, and after a failure of its database, and polls again. Exits with 3 when another consumer
     * took the checkpoint over. Arguments: DATABASE_FILE POLLS WAIT_MS [ROLLBACK_EVERY].
     */
    public static final class ExactlyOnceConsumer {
        public static void main(String[] args) throws Exception {
            int rollbackEvery = args.length > 3 ? Integer.parseInt(args[3]) : 0;
            try (Connection connection = DriverManager.getConnection("jdbc:sqlite:" + args[0])) {
                connection.setAutoCommit(false);
                try (Statement create = connection.createStatement()) {
                    create.executeUpdate("CREATE TABLE IF NOT EXISTS view (universal_id TEXT PRIMARY KEY, record_id INTEGER)");
                    create.executeUpdate("CREATE TABLE IF NOT EXISTS windows (seq INTEGER PRIMARY KEY, since TEXT, until TEXT, "
                                         + "changes INTEGER)");
                }
                JdbcCheckpointStore checkpoint = new JdbcCheckpointStore(connection);
                checkpoint.createTableIfMissing();
                connection.commit();
                try (ChangeFeed feed = openRetrying(checkpoint)) {
                    System.err.println("feed open");
                    int withChanges = 0;
                    for (int poll = 0; poll < Integer.parseInt(args[1]); ++poll) {
                        try {
                            ChangeBatch batch = feed.poll(Duration.ofMillis(Long.parseLong(args[2])));
                            apply(connection, batch);
                            feed.commit(batch);
                            if (!batch.changes().isEmpty() && rollbackEvery > 0 && ++withChanges % rollbackEvery == 0) {
                                connection.rollback();
                                System.err.println("rolled back " + batch);
                            } else {
                                connection.commit();
                            }
                        } catch (ChangeFeedException failure) {
                            connection.rollback();
                            if (failure.status() == ChangeFeedException.CHECKPOINT_TAKEN_OVER) {
                                System.err.println(failure.getMessage());
                                System.exit(3);
                            }
                            System.err.println("rolled back after " + failure.getMessage());
                        } catch (SQLException busy) {  // another consumer holds the database's lock
                            connection.rollback();
                            System.err.println("rolled back after " + busy.getMessage());
                        }
                    }
                }
            }
        }

        /** Opens the feed; its claim waits for another consumer's transaction on the same database. */
        private static ChangeFeed openRetrying(JdbcCheckpointStore checkpoint) throws Exception {
            for (int attempt = 1; ; ++attempt) {
                try {
                    return ChangeFeed.builder().database(SampleStore.DATABASE).password(SampleStore.PASSWORD.toCharArray())
                        .checkpoint(checkpoint).open();
                } catch (ChangeFeedException failure) {
                    if (failure.status() != ChangeFeedException.CHECKPOINT_FAILED || attempt == 50) {
                        throw failure;
                    }
                    Thread.sleep(100);
                }
            }
        }

        private static void apply(Connection connection, ChangeBatch batch) throws SQLException {
            try (PreparedStatement present = connection.prepareStatement(
                     "INSERT OR REPLACE INTO view (universal_id, record_id) VALUES (?, ?)");
                 PreparedStatement deleted = connection.prepareStatement("DELETE FROM view WHERE universal_id = ?");
                 PreparedStatement window = connection.prepareStatement("INSERT INTO windows (since, until, changes) VALUES (?, ?, ?)")) {
                if (batch.resync()) {
                    connection.createStatement().executeUpdate("DELETE FROM view");
                }
                for (Change change : batch.changes()) {
                    if (change.deleted()) {
                        deleted.setString(1, change.universalId());
                        deleted.executeUpdate();
                    } else {
                        present.setString(1, change.universalId());
                        present.setLong(2, change.recordId());
                        present.executeUpdate();
                    }
                }
                window.setString(1, batch.since());
                window.setString(2, batch.until());
                window.setInt(3, batch.changes().size());
                window.executeUpdate();
            }
        }
    }
}
