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
class WatcherCrashTest {
    private static final int KILLS = 20;
    private static final String END_TEXT = "\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3}";
    private static final Pattern BATCH = Pattern.compile("poll \\d+ since (the beginning|" + END_TEXT + "): \\d+ changes?, until ("
                                                         + END_TEXT + ")");
    private static final Pattern RECORD = Pattern.compile(" {4}record ([0-9A-F]+) +(added or changed|deleted) +universal id [0-9A-F]{32}");

    /** A batch as a watcher run reported it; committed when the checkpoint moved to its end. */
    private record Batch(int run, long start, long end, Set<Long> records, boolean committed) {}

    @Test
    void everyWriteIsReportedAndOnlyAnUncommittedBatchTwice() throws Exception {
        SampleStore store = SampleStore.create(ChangeFeedTest.ADMIN, 5);
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
        for (String line : text.substring(0, text.lastIndexOf('\n') + 1).split("\n")) {
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
        SampleStore store = SampleStore.create(ChangeFeedTest.ADMIN, 5);
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

        List<String[]> windows = new ArrayList<>();
        Set<String> view;
        try (Connection connection = DriverManager.getConnection("jdbc:sqlite:" + consumerDatabase);
             Statement query = connection.createStatement()) {
            try (ResultSet rows = query.executeQuery("SELECT since, until FROM windows ORDER BY seq")) {
                while (rows.next()) {
                    windows.add(new String[] {rows.getString(1), rows.getString(2)});
                }
            }
            view = new HashSet<>();
            try (ResultSet rows = query.executeQuery("SELECT universal_id FROM view")) {
                while (rows.next()) {
                    view.add(rows.getString(1));
                }
            }
        }
        int twice = 0;
        int gaps = 0;
        String previousUntil = null;
        for (String[] window : windows) {
            if (window[0] == null ? previousUntil != null : previousUntil == null || window[0].compareTo(previousUntil) < 0) {
                ++twice;
            } else if (!java.util.Objects.equals(window[0], previousUntil)) {
                ++gaps;
            }
            previousUntil = window[1];
        }
        System.err.printf("exactly once: %d kills, %d windows applied, %d applied twice, %d gaps%n", kills, windows.size(),
                          twice, gaps);
        assertTrue(kills >= 20, kills + " kills");
        assertEquals(0, twice, "windows applied twice");
        assertEquals(0, gaps, "gaps between windows");
        Set<String> listing = Arrays.stream(store.admin("list", SampleStore.DATABASE).split("\n"))
            .filter(line -> !line.isBlank()).map(line -> line.split(" ")[1]).collect(Collectors.toSet());
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
     * Applies each batch to a table of its SQLite database and records the window (since, until), in one
     * transaction with the feed's checkpoint. Arguments: DATABASE_FILE POLLS INTERVAL_MS.
     */
    public static final class ExactlyOnceConsumer {
        public static void main(String[] args) throws Exception {
            try (Connection connection = DriverManager.getConnection("jdbc:sqlite:" + args[0])) {
                connection.setAutoCommit(false);
                try (Statement create = connection.createStatement()) {
                    create.executeUpdate("CREATE TABLE IF NOT EXISTS view (universal_id TEXT PRIMARY KEY, record_id INTEGER)");
                    create.executeUpdate("CREATE TABLE IF NOT EXISTS windows (seq INTEGER PRIMARY KEY, since TEXT, until TEXT)");
                }
                JdbcCheckpointStore checkpoint = new JdbcCheckpointStore(connection);
                checkpoint.createTableIfMissing();
                connection.commit();
                try (ChangeFeed feed = ChangeFeed.open(null, SampleStore.DATABASE, SampleStore.PASSWORD, checkpoint,
                                                       ChangeFeedOptions.defaults())) {
                    System.err.println("feed open");
                    for (int poll = 0; poll < Integer.parseInt(args[1]); ++poll) {
                        ChangeBatch batch = feed.poll();
                        apply(connection, batch);
                        feed.commit(batch);
                        connection.commit();
                        Thread.sleep(Long.parseLong(args[2]));
                    }
                }
            }
        }

        private static void apply(Connection connection, ChangeBatch batch) throws SQLException {
            try (PreparedStatement present = connection.prepareStatement(
                     "INSERT OR REPLACE INTO view (universal_id, record_id) VALUES (?, ?)");
                 PreparedStatement deleted = connection.prepareStatement("DELETE FROM view WHERE universal_id = ?");
                 PreparedStatement window = connection.prepareStatement("INSERT INTO windows (since, until) VALUES (?, ?)")) {
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
                window.executeUpdate();
            }
        }
    }
}
