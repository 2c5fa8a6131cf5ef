package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import com.kestrum.orlo.connector.feed.ChangeFeedOptions;
import com.kestrum.orlo.connector.feed.Isolation;
import java.io.PrintStream;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.logging.Level;
import java.util.logging.Logger;

/**
 * Times poll plus commit of a full listing through an isolated feed (store calls in a child process)
 * against a feed in process, on the same database, interleaved, after a warm-up; prints the medians on
 * standard error (standard output carries the in-process bridge's trace; the child's goes to a file of
 * its own in FOLDER). Both feeds stay open across rounds; before each timed poll, forceResync() makes it
 * a full listing of every record.
 *
 * <p>Arguments: PASSWORD ROUNDS FOLDER RECORDS... ; the database of N records is records-N.tdb of the
 * store that TESRA_INI configures.
 */
public final class IsolatedBench {
    private static final PrintStream report = System.err;
    // Held here, as java.util.logging keeps its loggers only weakly.
    private static final Logger feedLogger = Logger.getLogger("com.kestrum.orlo.connector.feed");

    private IsolatedBench() {}

    public static void main(String[] args) throws Exception {
        feedLogger.setLevel(Level.SEVERE); // each forced full listing logs a warning
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        Path folder = Path.of(args[2]);
        Path childTrace = folder.resolve("isolated-trace.log");
        report.printf("%9s %14s %14s %10s%n", "records", "in process", "isolated", "isolated/");
        report.printf("%9s %14s %14s %10s%n", "", "entries/s", "entries/s", "in process");
        double ratio = 0;
        for (int i = 3; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            String database = "records-" + records + ".tdb";
            int roundsFor = Math.max(rounds, (int) Math.min(21, 1_000_000L / records));
            Path inProcessCheckpoint = folder.resolve("inprocess-" + records + ".checkpoint");
            Path isolatedCheckpoint = folder.resolve("isolated-" + records + ".checkpoint");
            Files.deleteIfExists(inProcessCheckpoint);
            Files.deleteIfExists(isolatedCheckpoint);
            try (ChangeFeed inProcess = ChangeFeed.open(null, database, password, inProcessCheckpoint);
                 ChangeFeed isolated = ChangeFeed.builder().database(database).password(password.toCharArray())
                     .checkpoint(isolatedCheckpoint)
                     .options(ChangeFeedOptions.defaults().withPollTimeout(java.time.Duration.ofMinutes(5))
                                  .withIsolation(Isolation.childProcess().withTraceTo(childTrace)))
                     .open()) {
                ChangeFeed[] feeds = {inProcess, isolated};
                for (ChangeFeed feed : feeds) {
                    pollAndCommit(feed, records); // warm-up, and the store's cache
                }
                long[][] nanos = new long[feeds.length][roundsFor];
                for (int round = 0; round < roundsFor; ++round) {
                    for (int k = 0; k < feeds.length; ++k) {
                        int which = (round + k) % feeds.length;
                        nanos[which][round] = pollAndCommit(feeds[which], records);
                    }
                }
                double inProcessSeconds = median(nanos[0]) / 1e9;
                double isolatedSeconds = median(nanos[1]) / 1e9;
                ratio = isolatedSeconds / inProcessSeconds;
                report.printf("%9d %14.0f %14.0f %10.3f%n", records, records / inProcessSeconds,
                        records / isolatedSeconds, ratio);
            } finally {
                Files.deleteIfExists(inProcessCheckpoint);
                Files.deleteIfExists(isolatedCheckpoint);
                Files.deleteIfExists(childTrace);
            }
        }
        report.printf("isolated_over_inprocess=%.3f%n", ratio);
    }

    /** One full listing polled and committed; its time. */
    private static long pollAndCommit(ChangeFeed feed, int records) throws Exception {
        feed.forceResync();
        System.gc(); // the last round's batch goes outside the timed span
        long start = System.nanoTime();
        ChangeBatch batch = feed.poll();
        feed.commit(batch);
        long nanos = System.nanoTime() - start;
        if (batch.changes().size() != records) {
            throw new IllegalStateException("expected " + records + " entries, got " + batch.changes().size());
        }
        return nanos;
    }

    private static double median(long[] values) {
        long[] sorted = values.clone();
        Arrays.sort(sorted);
        int middle = sorted.length / 2;
        return sorted.length % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2.0;
    }
}
