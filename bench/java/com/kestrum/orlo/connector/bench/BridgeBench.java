package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import java.io.PrintStream;
import java.util.Arrays;
import java.util.Vector;

/**
 * Times getModifiedTesra(null, ...) over every record of a database against the floor search over
 * the same database, interleaved, after a warm-up, and prints the medians on standard error
 * (standard output carries the bridge's trace). The bridge is timed a second time with its trace
 * sent to /dev/null, which shows how much of its cost is the file system storing the trace.
 *
 * <p>Arguments: PASSWORD ROUNDS RECORDS... ; the database of N records is records-N.tdb of the
 * store that TESRA_INI configures.
 */
public final class BridgeBench {
    private static final PrintStream report = System.err;

    private BridgeBench() {}

    private interface Query {
        Vector<String> run();
    }

    public static void main(String[] args) {
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        report.printf("%9s %14s %14s %14s %7s %9s %17s %17s%n", "records", "bridge", "bridge,", "floor",
                "bridge/", "bridge,", "bridge C heap", "floor C heap");
        report.printf("%9s %14s %14s %14s %7s %9s %17s %17s%n", "", "entries/s", "trace->null/s", "entries/s",
                "floor", "null/floor", "KiB before/after", "KiB before/after");
        double ratio = 0;
        double bridgeRate = 0;
        for (int i = 2; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            // Smaller databases get more rounds: their queries are short and noisier.
            int roundsFor = Math.max(rounds, (int) Math.min(41, 2_000_000L / records));
            Measurement[][] runs = measure(records, "records-" + records + ".tdb", password, roundsFor);
            double bridgeSeconds = medianSeconds(runs[0]);
            double discardedSeconds = medianSeconds(runs[1]);
            double floorSeconds = medianSeconds(runs[2]);
            ratio = bridgeSeconds / floorSeconds;
            bridgeRate = records / bridgeSeconds;
            report.printf("%9d %14.0f %14.0f %14.0f %7.3f %9.3f %17s %17s%n", records, bridgeRate,
                    records / discardedSeconds, records / floorSeconds, ratio, discardedSeconds / floorSeconds,
                    heapSpan(runs[0]), heapSpan(runs[2]));
        }
        report.printf("bridge_over_floor=%.3f entries_per_s=%.0f%n", ratio, bridgeRate);
    }

    /** The measurements of the bridge, of the bridge with its trace discarded and of the floor. */
    private static Measurement[][] measure(int records, String database, String password, int rounds) {
        VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
        connector.initTesra(null, database, password);
        int handle = FloorSearch.openDatabase(database);
        try {
            Query bridge = () -> connector.getModifiedTesra(null, new StringBuffer());
            Query discarded = () -> {
                FloorSearch.discardStandardOutput(true);
                try {
                    return connector.getModifiedTesra(null, new StringBuffer());
                } finally {
                    FloorSearch.discardStandardOutput(false);
                }
            };
            Query floor = () -> {
                Vector<String> entries = new Vector<>();
                FloorSearch.search(handle, entries);
                return entries;
            };
            Query[] queries = {bridge, discarded, floor};
            for (Query query : queries) {
                timed(records, query);
            }
            Measurement[][] runs = new Measurement[queries.length][rounds];
            for (int round = 0; round < rounds; ++round) {
                // A different one goes first each round, spreading any drift of the machine over all.
                for (int k = 0; k < queries.length; ++k) {
                    int which = (round + k) % queries.length;
                    runs[which][round] = timed(records, queries[which]);
                }
            }
            return runs;
        } finally {
            FloorSearch.closeDatabase(handle);
            connector.termTesra();
        }
    }

    private static Measurement timed(int expected, Query query) {
        System.gc(); // the previous result's garbage is collected outside the timed span
        long heapBefore = FloorSearch.nativeHeapInUse();
        long start = System.nanoTime();
        Vector<String> entries = query.run();
        long nanos = System.nanoTime() - start;
        long heapAfter = FloorSearch.nativeHeapInUse();
        if (entries.size() != expected) {
            throw new IllegalStateException("expected " + expected + " entries, got " + entries.size());
        }
        return new Measurement(nanos, heapBefore, heapAfter);
    }

    private static double medianSeconds(Measurement[] runs) {
        long[] nanos = Arrays.stream(runs).mapToLong(Measurement::nanos).sorted().toArray();
        int middle = nanos.length / 2;
        double median = nanos.length % 2 == 1 ? nanos[middle] : (nanos[middle - 1] + nanos[middle]) / 2.0;
        return median / 1e9;
    }

    /** The C heap before and after the query that grew it most. */
    private static String heapSpan(Measurement[] runs) {
        Measurement most = runs[0];
        for (Measurement run : runs) {
            if (run.heapAfter() - run.heapBefore() > most.heapAfter() - most.heapBefore()) {
                most = run;
            }
        }
        return (most.heapBefore() / 1024) + " / " + (most.heapAfter() / 1024);
    }
}
