package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import java.io.PrintStream;
import java.util.Arrays;
import java.util.Vector;

/**
 * Times getModifiedTesra(null, ...) over every record of a database against the floor search over
 * the same database, interleaved, after a warm-up, and prints the medians on standard error
 * (standard output carries the bridge's trace). The bridge is timed three times: with its trace
 * going where standard output goes (a growing file, as in a deployment), to a pipe, and to
 * /dev/null, which shows how much of its cost is where the trace goes.
 *
 * <p>Arguments: PASSWORD ROUNDS PIPE RECORDS... ; PIPE is a named pipe that another process
 * drains; the database of N records is records-N.tdb of the store that TESRA_INI configures.
 */
public final class BridgeBench {
    private static final PrintStream report = System.err;

    private BridgeBench() {}

    private interface Query {
        Vector<String> run() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        int pipe = FloorSearch.openForWriting(args[2]);
        int devNull = FloorSearch.openForWriting("/dev/null");
        report.printf("%9s %14s %14s %14s %14s %8s %8s %8s %17s %17s%n", "records", "bridge,", "bridge,",
                "bridge,", "floor", "file/", "pipe/", "null/", "bridge C heap", "floor C heap");
        report.printf("%9s %14s %14s %14s %14s %8s %8s %8s %17s %17s%n", "", "trace->file/s", "trace->pipe/s",
                "trace->null/s", "entries/s", "floor", "floor", "floor", "KiB before/after", "KiB before/after");
        double ratio = 0;
        double bridgeRate = 0;
        for (int i = 3; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            // Smaller databases get more rounds: their queries are short and noisier.
            int roundsFor = Math.max(rounds, (int) Math.min(41, 2_000_000L / records));
            Measurement[][] runs = measure(records, "records-" + records + ".tdb", password, roundsFor, pipe, devNull);
            double[] seconds = Arrays.stream(runs).mapToDouble(BridgeBench::medianSeconds).toArray();
            double floorSeconds = seconds[3];
            ratio = seconds[0] / floorSeconds;
            bridgeRate = records / seconds[0];
            report.printf("%9d %14.0f %14.0f %14.0f %14.0f %8.3f %8.3f %8.3f %17s %17s%n", records, bridgeRate,
                    records / seconds[1], records / seconds[2], records / floorSeconds, ratio,
                    seconds[1] / floorSeconds, seconds[2] / floorSeconds, heapSpan(runs[0]), heapSpan(runs[3]));
        }
        report.printf("bridge_over_floor=%.3f entries_per_s=%.0f%n", ratio, bridgeRate);
    }

    /** The measurements of the bridge tracing to a file, to the pipe, to /dev/null, and of the floor. */
    private static Measurement[][] measure(int records, String database, String password, int rounds, int pipe,
            int devNull) throws Exception {
        VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
        connector.initTesra(null, database, password);
        int handle = FloorSearch.openDatabase(database);
        try {
            Query bridge = () -> connector.getModifiedTesra(null, new StringBuffer());
            Query floor = () -> {
                Vector<String> entries = new Vector<>();
                FloorSearch.search(handle, entries);
                return entries;
            };
            Query[] queries = {bridge, traceTo(pipe, bridge), traceTo(devNull, bridge), floor};
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

    /** The query with standard output pointed at the descriptor while it runs. */
    private static Query traceTo(int descriptor, Query query) {
        return () -> {
            FloorSearch.pointStandardOutputAt(descriptor);
            try {
                return query.run();
            } finally {
                FloorSearch.pointStandardOutputAt(-1);
            }
        };
    }

    private static Measurement timed(int expected, Query query) throws Exception {
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
