package com.kestrum.orlo.connector.tests;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.Random;

import org.junit.jupiter.api.Test;

/**
 * Writer processes add, change and delete records while the connector polls, each poll starting at
 * the end text of the one before. Every write must be reported by exactly the poll whose span holds
 * its time, in its final state for that span, and nothing else may be reported.
 * Two writers at 80 writes a second each for 5 seconds, and at least 200 polls.
 */
@SuppressWarnings("JdkObsolete") // the connector's methods, fixed, take a StringBuffer
class PollingIT {
    /** One poll: the span [start, end) in store time and what it reported, record by record. */
    private record Poll(long start, long end, Map<Long, String> states, int entryCount) {}

    private final Checks checks = new Checks();

    @Test
    void everyWriteIsReportedByThePollWhoseSpanHoldsIt() throws Exception {
        SampleStore store = SampleStore.create(30);
        run(store, store.folder.resolve("writers"), 200, 2, 80, 5);
        checks.verify();
    }

    private void run(SampleStore store, Path work, int minPolls, int writerCount, int rate, int seconds)
            throws Exception {
        Files.createDirectories(work);
        VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
        connector.initTesra(null, SampleStore.DATABASE, SampleStore.PASSWORD);

        List<Poll> polls = new ArrayList<>();
        Map<Long, String> universalIds = new HashMap<>();
        String since = null;
        since = poll(connector, since, polls, universalIds);

        List<Process> writers = new ArrayList<>();
        List<Path> logs = new ArrayList<>();
        for (int i = 0; i < writerCount; ++i) {
            Path log = work.resolve("writer-" + i + ".log");
            Files.deleteIfExists(log);
            logs.add(log);
            writers.add(store.start(List.of("churn", SampleStore.DATABASE, "--rate", Integer.toString(rate),
                                            "--seconds", Integer.toString(seconds), "--seed", Integer.toString(17 + i),
                                            "--log", log.toString()),
                                    work.resolve("writer-" + i + ".out")));
        }
        Random pause = new Random(5);
        while (polls.size() < minPolls + 1 || writers.stream().anyMatch(Process::isAlive)) {
            since = poll(connector, since, polls, universalIds);
            Thread.sleep(pause.nextInt(25));
        }
        for (Process writer : writers) {
            checks.equal("writer exit status", 0, writer.waitFor());
        }
        poll(connector, since, polls, universalIds);
        connector.termTesra();

        List<SampleStore.Write> writes = new ArrayList<>();
        for (Path log : logs) {
            writes.addAll(SampleStore.writesIn(log));
        }
        checks.isTrue("at least " + minPolls + " polls while writing: " + polls.size(), polls.size() > minPolls);
        checks.isTrue("the writers wrote", writes.size() > rate * writerCount);
        verify(polls, writes);
    }

    private String poll(VarnexChangeDetectionConnector connector, String since, List<Poll> polls,
                        Map<Long, String> universalIds) throws Exception {
        StringBuffer endText = new StringBuffer();
        List<String> entries = connector.getModifiedTesra(since, endText);
        Map<Long, String> states = new HashMap<>();
        for (String entry : entries) {
            String[] parts = entry.split(":", -1);
            long recordId = Long.parseLong(parts[1], 16);
            checks.check("record reported once per poll", states.put(recordId, parts[2]) == null,
                         "record " + parts[1] + " twice in one poll");
            String known = universalIds.putIfAbsent(recordId, parts[0]);
            checks.check("universal id stays the record's", known == null || known.equals(parts[0]),
                         "record " + parts[1] + ": " + known + " then " + parts[0]);
        }
        long start = since == null ? 0 : SampleStore.storeTime(since);
        long end = SampleStore.storeTime(endText.toString());
        checks.check("polls follow one another", end >= start, since + " then " + endText);
        polls.add(new Poll(start, end, states, entries.size()));
        return endText.toString();
    }

    private void verify(List<Poll> polls, List<SampleStore.Write> writes) {
        List<Map<Long, String>> expected = new ArrayList<>();
        for (int i = 0; i < polls.size(); ++i) {
            expected.add(new HashMap<>());
        }
        int missedSpans = 0;
        int onEndTime = 0;
        for (SampleStore.Write write : writes) {
            int index = pollHolding(polls, write.stamp());
            if (index < 0) {
                ++missedSpans;
                continue;
            }
            if (index > 0 && write.stamp() == polls.get(index).start()) {
                ++onEndTime;
            }
            // A record deleted within a span is reported deleted; it cannot change afterwards.
            expected.get(index).merge(write.recordId(), write.operation().equals("delete") ? "DEL" : "NOR",
                                      (earlier, later) -> earlier.equals("DEL") || later.equals("DEL") ? "DEL" : "NOR");
        }
        checks.equal("writes outside every poll's span", 0, missedSpans);
        checks.isTrue("writes in the same hundredth as an end time were among the cases: " + onEndTime,
                      onEndTime > 0);
        checks.equal("the first poll, before any writer, holds no write", 0, expected.get(0).size());

        int mismatches = 0;
        for (int i = 1; i < polls.size(); ++i) {
            Map<Long, String> reported = polls.get(i).states();
            if (!reported.equals(expected.get(i))) {
                if (++mismatches <= 5) {
                    System.err.printf("poll %d [%d, %d): reported %s, written %s%n", i, polls.get(i).start(),
                                      polls.get(i).end(), reported, expected.get(i));
                }
            }
        }
        checks.equal("polls whose report differs from what was written in their span", 0, mismatches);
        System.err.printf("%d polls, %d writes, %d on an end time%n", polls.size(), writes.size(), onEndTime);
    }

    /** The poll whose span [start, end) holds the time, or -1. */
    private static int pollHolding(List<Poll> polls, long stamp) {
        int low = 0;
        int high = polls.size() - 1;
        while (low <= high) {
            int middle = (low + high) >>> 1;
            Poll poll = polls.get(middle);
            if (stamp < poll.start()) {
                high = middle - 1;
            } else if (stamp >= poll.end()) {
                low = middle + 1;
            } else {
                return middle;
            }
        }
        return -1;
    }
}
