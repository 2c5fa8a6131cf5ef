package com.kestrum.orlo.connector.bench;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import java.io.PrintStream;
import java.lang.management.ManagementFactory;
import java.lang.management.ThreadMXBean;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.Arrays;
import java.util.Vector;
import java.util.function.ToLongFunction;
import java.util.regex.Pattern;

/**
 * Times getModifiedTesra(null, ...) over every record of a database against the floor search over
 * the same database, and against the limit (the floor plus the bridge's trace lines), interleaved,
 * after a warm-up, and prints the medians on standard error (standard output carries the bridge's
 * trace). The bridge is timed three times: with its trace going where standard output goes (a
 * growing file, as in a deployment), to a pipe, and to /dev/null, which shows how much of its cost
 * is where the trace goes. The limit's trace goes to a growing file of its own; during the warm-up,
 * the trace of one query of each goes to a new file and the two are compared byte for byte.
 *
 * <p>The ratios are also given on the calling thread's CPU time, which all the work of a query but
 * the kernel's writing back of the trace is counted in: on a machine busy with other work, they
 * vary less than those of the elapsed time.
 *
 * <p>Arguments: PASSWORD ROUNDS PIPE LIMIT_TRACE RECORDS... ; PIPE is a named pipe that another
 * process drains, LIMIT_TRACE an existing file; the database of N records is records-N.tdb of the
 * store that TESRA_INI configures.
 */
public final class BridgeBench {
    private static final PrintStream report = System.err;
    private static final ThreadMXBean threads = ManagementFactory.getThreadMXBean();
    private static final String END_LINE = "\nstrEndDate: ";
    private static final Pattern END_TEXT = Pattern.compile("\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d\\d0");

    private BridgeBench() {}

    private interface Query {
        Vector<String> run() throws Exception;
    }

    public static void main(String[] args) throws Exception {
        String password = args[0];
        int rounds = Integer.parseInt(args[1]);
        int pipe = FloorSearch.openForWriting(args[2]);
        int devNull = FloorSearch.openForWriting("/dev/null");
        int limitTrace = FloorSearch.openForWriting(args[3]);
        report.printf("%9s %14s %14s %14s %14s %14s %8s %8s %8s %8s %17s %17s%n", "records", "bridge,", "bridge,",
                "bridge,", "floor", "limit,", "file/", "pipe/", "null/", "file/", "bridge C heap", "floor C heap");
        report.printf("%9s %14s %14s %14s %14s %14s %8s %8s %8s %8s %17s %17s%n", "", "trace->file/s",
                "trace->pipe/s", "trace->null/s", "entries/s", "trace->file/s", "floor", "floor", "floor", "limit",
                "KiB before/after", "KiB before/after");
        double ratio = 0;
        double limitRatio = 0;
        double bridgeRate = 0;
        StringBuilder cpuRatios = new StringBuilder();
        for (int i = 4; i < args.length; ++i) {
            int records = Integer.parseInt(args[i]);
            // Smaller databases get more rounds: their queries are short and noisier.
            int roundsFor = Math.max(rounds, (int) Math.min(41, 2_000_000L / records));
            Measurement[][] runs = measure(records, "records-" + records + ".tdb", password, roundsFor, pipe, devNull,
                    limitTrace);
            double[] seconds = Arrays.stream(runs).mapToDouble(run -> medianSeconds(run, Measurement::nanos)).toArray();
            double[] cpu = Arrays.stream(runs).mapToDouble(run -> medianSeconds(run, Measurement::cpuNanos)).toArray();
            cpuRatios.append(String.format("%9d %8.3f %8.3f %8.3f %8.3f%n", records, cpu[0] / cpu[3], cpu[1] / cpu[3],
                    cpu[2] / cpu[3], cpu[0] / cpu[4]));
            double floorSeconds = seconds[3];
            ratio = seconds[0] / floorSeconds;
            limitRatio = seconds[0] / seconds[4];
            bridgeRate = records / seconds[0];
            report.printf("%9d %14.0f %14.0f %14.0f %14.0f %14.0f %8.3f %8.3f %8.3f %8.3f %17s %17s%n", records,
                    bridgeRate, records / seconds[1], records / seconds[2], records / floorSeconds,
                    records / seconds[4], ratio, seconds[1] / floorSeconds, seconds[2] / floorSeconds, limitRatio,
                    heapSpan(runs[0]), heapSpan(runs[3]));
        }
        report.printf("the same ratios on the calling thread's CPU time:%n%9s %8s %8s %8s %8s%n%9s %8s %8s %8s %8s%n%s",
                "records", "file/", "pipe/", "null/", "file/", "", "floor", "floor", "floor", "limit", cpuRatios);
        report.printf("bridge_over_floor=%.3f bridge_over_limit=%.3f entries_per_s=%.0f%n", ratio, limitRatio,
                bridgeRate);
    }

    /**
     * The measurements of the bridge tracing to a file, to the pipe, to /dev/null, of the floor, and
     * of the limit tracing to a file of its own.
     */
    private static Measurement[][] measure(int records, String database, String password, int rounds, int pipe,
            int devNull, int limitTrace) throws Exception {
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
            Query limit = () -> {
                Vector<String> entries = new Vector<>();
                FloorSearch.searchTracing(handle, entries);
                return entries;
            };
            Query[] queries = {bridge, traceTo(pipe, bridge), traceTo(devNull, bridge), floor, traceTo(limitTrace, limit)};
            for (Query query : queries) {
                timed(records, query);
            }
            requireSameTrace(records, bridge, limit);
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

    /**
     * Fails unless the limit's trace of a query is the bridge's, byte for byte, but for the time in
     * the end text, which is the time of each query's own search.
     */
    private static void requireSameTrace(int records, Query bridge, Query limit) throws Exception {
        String[] traces = new String[2];
        Query[] queries = {bridge, limit};
        for (int k = 0; k < 2; ++k) {
            Path file = Files.createTempFile("trace-", ".log");
            try {
                int descriptor = FloorSearch.openForWriting(file.toString());
                timed(records, traceTo(descriptor, queries[k]));
                FloorSearch.closeDescriptor(descriptor);
                traces[k] = new String(Files.readAllBytes(file), StandardCharsets.ISO_8859_1);
            } finally {
                Files.delete(file);
            }
        }
        String[] withoutEnd = new String[2];
        for (int k = 0; k < 2; ++k) {
            int label = traces[k].lastIndexOf(END_LINE) + END_LINE.length();
            int lineEnd = traces[k].indexOf('\n', label);
            if (label < END_LINE.length() || lineEnd < 0 || !END_TEXT.matcher(traces[k].substring(label, lineEnd)).matches()) {
                throw new IllegalStateException((k == 0 ? "the bridge's" : "the limit's") + " trace has no end text");
            }
            withoutEnd[k] = traces[k].substring(0, label) + traces[k].substring(lineEnd);
        }
        if (!withoutEnd[0].equals(withoutEnd[1])) {
            throw new IllegalStateException("the limit's trace of " + records + " records is not the bridge's");
        }
    }

    private static Measurement timed(int expected, Query query) throws Exception {
        System.gc(); // the previous result's garbage is collected outside the timed span
        long heapBefore = FloorSearch.nativeHeapInUse();
        long cpuStart = threads.getCurrentThreadCpuTime();
        long start = System.nanoTime();
        Vector<String> entries = query.run();
        long nanos = System.nanoTime() - start;
        long cpuNanos = threads.getCurrentThreadCpuTime() - cpuStart;
        long heapAfter = FloorSearch.nativeHeapInUse();
        if (entries.size() != expected) {
            throw new IllegalStateException("expected " + expected + " entries, got " + entries.size());
        }
        return new Measurement(nanos, cpuNanos, heapBefore, heapAfter);
    }

    private static double medianSeconds(Measurement[] runs, ToLongFunction<Measurement> time) {
        long[] nanos = Arrays.stream(runs).mapToLong(time).sorted().toArray();
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
