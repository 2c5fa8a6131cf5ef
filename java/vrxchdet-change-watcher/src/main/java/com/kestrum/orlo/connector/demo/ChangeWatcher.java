package com.kestrum.orlo.connector.demo;

import com.kestrum.orlo.connector.feed.Change;
import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import com.kestrum.orlo.connector.feed.ChangeFeedException;

import java.io.PrintStream;
import java.nio.file.Path;
import java.util.Locale;

/**
 * Watches one database through a change feed: polls it at a fixed interval, reports each batch and
 * commits it.
 *
 * The feed keeps the end text of the last committed batch in the checkpoint file and a later run starts
 * from it, so no change is missed across a restart; a batch reported but not committed before a crash is
 * reported again. The report goes to standard error; standard output carries the native library's trace.
 *
 * Usage: ChangeWatcher DATABASE PASSWORD CHECKPOINT [POLLS] [INTERVAL_MS] [SERVER]
 */
public final class ChangeWatcher {
    private static final PrintStream REPORT = System.err;

    private ChangeWatcher() {}

    public static void main(String[] args) throws ChangeFeedException, InterruptedException {
        if (args.length < 3) {
            System.err.println("usage: ChangeWatcher DATABASE PASSWORD CHECKPOINT [POLLS] [INTERVAL_MS] [SERVER]\n"
                               + "Delivery is at least once: a batch reported but not committed before a crash is\n"
                               + "reported again by the next run. A change is a record's state under its universal\n"
                               + "identifier, so a consumer applies it again without harm.");
            System.exit(2);
        }
        int polls = args.length > 3 ? Integer.parseInt(args[3]) : 5;
        long intervalMillis = args.length > 4 ? Long.parseLong(args[4]) : 1000;
        String server = args.length > 5 ? args[5] : null;
        ChangeFeed feed;
        try {
            feed = ChangeFeed.builder().server(server).database(args[0]).password(args[1].toCharArray())
                .checkpoint(Path.of(args[2])).open();
        } catch (ChangeFeedException failure) {
            REPORT.println("Cannot open " + args[0] + ": " + failure.getMessage());
            System.exit(1);
            return;
        }
        try (feed) {
            watch(feed, polls, intervalMillis);
        } finally {
            System.out.flush();
        }
    }

    private static void watch(ChangeFeed feed, int polls, long intervalMillis)
            throws ChangeFeedException, InterruptedException {
        REPORT.println(feed.committedUntil() == null ? "No checkpoint: the first poll reports every record."
                                                     : "Resuming from the checkpoint " + feed.committedUntil() + ".");
        for (int poll = 1; poll <= polls; ++poll) {
            if (poll > 1) {
                Thread.sleep(intervalMillis);
            }
            ChangeBatch batch;
            try {
                batch = feed.poll();
            } catch (ChangeFeedException failure) {
                REPORT.printf("poll %d since %s failed: %s%n", poll, describe(feed.committedUntil()),
                              failure.getMessage());
                continue;
            }
            report(poll, batch);
            feed.commit(batch);
        }
    }

    private static void report(int poll, ChangeBatch batch) {
        int count = batch.changes().size();
        if (batch.resync()) {
            REPORT.printf("poll %d: history purged, every record from the beginning: %d change%s, until %s%n", poll,
                          count, count == 1 ? "" : "s", batch.until());
        } else {
            REPORT.printf("poll %d since %s: %d change%s, until %s%n", poll, describe(batch.since()), count,
                          count == 1 ? "" : "s", batch.until());
        }
        for (Change change : batch.changes()) {
            REPORT.printf("    record %-8s %-16s universal id %s%n",
                          Long.toHexString(change.recordId()).toUpperCase(Locale.ROOT),
                          change.deleted() ? "deleted" : "added or changed", change.universalId());
        }
    }

    private static String describe(String since) {
        return since == null ? "the beginning" : since;
    }
}
