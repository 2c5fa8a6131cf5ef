package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.lang.management.MemoryMXBean;
import java.lang.management.ThreadMXBean;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.List;
import java.util.Vector;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Times the change feed's first poll and its commit, over every record of a database, against the
 * raw getModifiedTesra(null, ...) on the same database, interleaved, after a warm-up, and prints the
 * medians on standard error (standard output carries the bridge's trace). It also prints the Java
 * heap that a batch and a raw result hold per entry, weighed after each timed query. Each round
 * opens the database afresh with a new checkpoint and polls once without committing, outside the
 * timed span, so that the timed poll lists every record from the store's warm cache, as the
 * bridge's benchmark does. The ratio is also given on the calling thread's CPU time, which varies
 * less on a busy machine but leaves out the commit's waits for the disk; the commit's own time is
 * given apart.
 *
 * <p>Arguments: PASSWORD ROUNDS FOLDER RECORDS... ; FOLDER holds the checkpoint files; the database
 * of N records is records-N.tdb of the store that TESRA_INI configures.
 */
public final class FeedBench {
    private static final PrintStream report = System.err;
    private static final MemoryMXBean memory = ManagementFactory.getMemoryMXBean();
    private static final ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    // Held here, as java.util.logging keeps its loggers only weakly: every round opens and closes a
    // feed, and the report is no place for those lines.
    private static final Logger feedLogger = Logger.getLogger("com.kestrum.orlo.connector.feed");

    private FeedBench() {}

    /**
     * One timed query, the calling thread's CPU time in it, the part of its time a commit took, and
     * the heap its result held, in bytes.
     */
    private static final class Run {
        final long nanos;
        final long cpuNanos;
        final long commitNanos;
        final long heldBytes;

        Run(long nanos, long cpuNanos, long commitNanos, long heldBytes) {
            this.nanos = nanos;
            this.cpuNanos = cpuNanos;
            this.commitNanos = commitNanos;
            this.heldBytes = heldBytes;
        }
    }

    private interface Query {
        Run run(boolean weigh) throws Exception;
    }

    public static void main(String[] args) throws Exception {
        feedLogger.setLevel(Level.WARNING);
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        Path folder = Path.of(args[2]);
        report.printf("%9s %14s %14s %8s %8s %9s %14s %14s%n", "records", "raw", "feed poll+", "feed/", "feed/",
                "commit", "feed batch", "raw Vector");
        report.printf("%9s %14s %14s %8s %8s %9s %14s %14s%n", "", "entries/s", "commit/s", "raw", "raw CPU", "ms",
                "B/entry", "B/entry");
        double ratio = 0;
        double cpuRatio = 0;
        double batchBytes = 0;
        for (int i = 3; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            String database = "records-" + records + ".tdb";
            int roundsFor = Math.max(rounds, (int) Math.min(41, 2_000_000L / records));
            Query raw = weigh -> rawQuery(database, password, records, weigh);
            Query feed = weigh -> feedQuery(database, password, folder.resolve("feed-" + records + ".checkpoint"),
                    records, weigh);
            Query[] queries = {raw, feed};
            for (Query query : queries) {
                query.run(false);
            }
            long[][] held = new long[queries.length][roundsFor];
            long[][] nanos = new long[queries.length][roundsFor];
            long[][] cpuNanos = new long[queries.length][roundsFor];
            long[] commitNanos = new long[roundsFor];
            for (int round = 0; round < roundsFor; ++round) {
                for (int k = 0; k < queries.length; ++k) {
                    int which = (round + k) % queries.length;
                    Run run = queries[which].run(true);
                    held[which][round] = run.heldBytes;
                    nanos[which][round] = run.nanos;
                    cpuNanos[which][round] = run.cpuNanos;
                    commitNanos[round] += run.commitNanos;
                }
            }
            double rawSeconds = medianSeconds(nanos[0]);
            double feedSeconds = medianSeconds(nanos[1]);
            ratio = feedSeconds / rawSeconds;
            cpuRatio = medianSeconds(cpuNanos[1]) / medianSeconds(cpuNanos[0]);
            batchBytes = median(held[1]) / records;
            report.printf("%9d %14.0f %14.0f %8.3f %8.3f %9.1f %14.1f %14.1f%n", records, records / rawSeconds,
                    records / feedSeconds, ratio, cpuRatio, medianSeconds(commitNanos) * 1e3, batchBytes,
                    median(held[0]) / records);
        }
        report.printf("feed_over_raw=%.3f feed_over_raw_cpu=%.3f feed_batch_bytes_per_entry=%.1f%n", ratio, cpuRatio,
                batchBytes);
    }

    private static Run rawQuery(String database, String password, int records, boolean weigh) throws Exception {
        VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
        connector.initTesra(null, database, password);
        try {
            requireSize(records, connector.getModifiedTesra(null, new StringBuffer())); // warms the store's cache
            heapAfterCollection();
            long cpuStart = threads.getCurrentThreadCpuTime();
            long start = System.nanoTime();
            Vector<String> entries = connector.getModifiedTesra(null, new StringBuffer());
            long nanos = System.nanoTime() - start;
            long cpuNanos = threads.getCurrentThreadCpuTime() - cpuStart;
            requireSize(records, entries);
            long held = 0;
            if (weigh) {
                held = heapAfterCollection();
                requireSize(records, entries); // reachable until weighed
                entries = null;
                held -= heapAfterCollection();
            }
            return new Run(nanos, cpuNanos, 0, held);
        } finally {
            connector.termTesra();
        }
    }

    private static Run feedQuery(String database, String password, Path checkpoint, int records, boolean weigh)
            throws Exception {
        Files.deleteIfExists(checkpoint);
        ChangeFeed feed = ChangeFeed.open(null, database, password, checkpoint);
        try {
            // Not committed, so the timed poll lists every record again, from the store's warm cache.
            requireSize(records, feed.poll().changes());
            heapAfterCollection();
            long cpuStart = threads.getCurrentThreadCpuTime();
            long start = System.nanoTime();
            ChangeBatch batch = feed.poll();
            long committing = System.nanoTime();
            feed.commit(batch);
            long nanos = System.nanoTime() - start;
            long commitNanos = System.nanoTime() - committing;
            long cpuNanos = threads.getCurrentThreadCpuTime() - cpuStart;
            requireSize(records, batch.changes());
            long held = 0;
            if (weigh) {
                held = heapAfterCollection();
                requireSize(records, batch.changes());
                batch = null;
                feed.close(); // the feed holds its last batch until it is closed
                held -= heapAfterCollection();
            }
            return new Run(nanos, cpuNanos, commitNanos, held);
        } finally {
            feed.close();
            Files.deleteIfExists(checkpoint);
        }
    }

    private static void requireSize(int expected, List<?> entries) {
        if (entries.size() != expected) {
            throw new IllegalStateException("expected " + expected + " entries, got " + entries.size());
        }
    }

    /** The heap in use once the previous queries' garbage is collected, outside any timed span. */
    private static long heapAfterCollection() {
        System.gc();
        return memory.getHeapMemoryUsage().getUsed();
    }

    private static double medianSeconds(long[] nanos) {
        return median(nanos) / 1e9;
    }

    private static double median(long[] values) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        int middle = sorted.length / 2;
        return sorted.length % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2.0;
    }
}
