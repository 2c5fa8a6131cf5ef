package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.tests.SampleStore;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashSet;
import java.util.List;
import java.util.Random;
import java.util.Set;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import org.junit.jupiter.api.Test;

/**
 * The demo watcher, on the change feed, killed with SIGKILL at random points while a writer runs; a last
 * run ends on its own. Every write must be reported at least once, and twice only when a run was killed
 * between reporting a batch and committing it.
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
                String before = checkpointIn(checkpoint);
                Path report = store.folder.resolve("run-" + run + ".log");
                Process watcher = startWatcher(checkpoint, report, killed ? 1000 : 3);
                try {
                    if (killed) {
                        Thread.sleep(200 + random.nextInt(1300));
                        watcher.destroyForcibly();
                    } else {
                        assertEquals(0, writer.waitFor(), "writer exit status");
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
}
