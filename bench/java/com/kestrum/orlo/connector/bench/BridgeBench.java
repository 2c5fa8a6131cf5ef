package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import java.io.PrintStream;
import java.util.Arrays;
import java.util.Vector;
import java.util.function.IntFunction;

/**
 * Times getModifiedTesra(null, ...) over every record of a database against the floor search over
 * the same database, interleaved, after a warm-up, and prints the medians on standard error
 * (standard output carries the bridge's trace).
 *
 * <p>Arguments: PASSWORD ROUNDS RECORDS... ; the database of N records is records-N.tdb of the
 * store that TESRA_INI configures.
 */
public final class BridgeBench {
    private static final PrintStream report = System.err;

    private BridgeBench() {}

    public static void main(String[] args) {
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        report.printf("%10s %16s %16s %7s %22s %22s%n", "records", "bridge entries/s", "floor entries/s",
                "ratio", "bridge C heap (KiB)", "floor C heap (KiB)");
        double ratio = 0;
        double bridgeRate = 0;
        for (int i = 2; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            // Smaller databases get more rounds: their queries are short and noisier.
            int roundsFor = Math.max(rounds, (int) Math.min(41, 2_000_000L / records));
            Measurement[][] pair = measure(records, "records-" + records + ".tdb", password, roundsFor);
            double bridgeSeconds = medianSeconds(pair[0]);
            double floorSeconds = medianSeconds(pair[1]);
            ratio = bridgeSeconds / floorSeconds;
            bridgeRate = records / bridgeSeconds;
            report.printf("%10d %16.0f %16.0f %7.3f %22s %22s%n", records, bridgeRate, records / floorSeconds, ratio,
                    heapSpan(pair[0]), heapSpan(pair[1]));
        }
        report.printf("bridge_over_floor=%.3f entries_per_s=%.0f%n", ratio, bridgeRate);
    }

    /** Returns the bridge's measurements and the floor's, one of each per round. */
    private static Measurement[][] measure(int records, String database, String password, int rounds) {
        VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
        connector.initTesra(null, database, password);
        int handle = FloorSearch.openDatabase(database);
        try {
            IntFunction<Measurement> bridge = expected -> timed(expected,
                    () -> connector.getModifiedTesra(null, new StringBuffer()));
            IntFunction<Measurement> floor = expected -> timed(expected, () -> {
                Vector<String> entries = new Vector<>();
                FloorSearch.search(handle, entries);
                return entries;
            });
            bridge.apply(records);
            floor.apply(records);
            Measurement[] bridgeRuns = new Measurement[rounds];
            Measurement[] floorRuns = new Measurement[rounds];
            for (int round = 0; round < rounds; ++round) {
                // Alternating which goes first spreads any drift of the machine over both.
                if (round % 2 == 0) {
                    bridgeRuns[round] = bridge.apply(records);
                    floorRuns[round] = floor.apply(records);
                } else {
                    floorRuns[round] = floor.apply(records);
                    bridgeRuns[round] = bridge.apply(records);
                }
            }
            return new Measurement[][] {bridgeRuns, floorRuns};
        } finally {
            FloorSearch.closeDatabase(handle);
            connector.termTesra();
        }
    }

    private interface Query {
        Vector<String> run();
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

    /** The C heap before the first timed query and after the last one. */
    private static String heapSpan(Measurement[] runs) {
        return String.format("%d -> %d", runs[0].heapBefore() / 1024, runs[runs.length - 1].heapAfter() / 1024);
    }
}
