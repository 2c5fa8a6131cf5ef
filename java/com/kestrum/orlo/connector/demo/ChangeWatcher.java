package com.kestrum.orlo.connector.demo;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.IOException;
import java.io.PrintStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.StandardCopyOption;
import java.util.List;

/**
 * Watches one database: polls it at a fixed interval and reports each poll's changes.
 *
 * The end text of each poll is kept in a checkpoint file, replaced atomically after every poll, and
 * a later run starts from it, so no change is missed across a restart. The report goes to standard
 * error; standard output carries the native library's trace.
 *
 * Usage: ChangeWatcher DATABASE PASSWORD CHECKPOINT [POLLS] [INTERVAL_MS] [SERVER]
 */
public final class ChangeWatcher {
    private final PrintStream report = System.err;
    private final VarnexChangeDetectionConnector connector = new VarnexChangeDetectionConnector();
    private final Path checkpoint;

    private ChangeWatcher(Path checkpoint) {
        this.checkpoint = checkpoint;
    }

    public static void main(String[] args) throws Exception {
        if (args.length < 3) {
            System.err.println("usage: ChangeWatcher DATABASE PASSWORD CHECKPOINT [POLLS] [INTERVAL_MS] [SERVER]");
            System.exit(2);
        }
        int polls = args.length > 3 ? Integer.parseInt(args[3]) : 5;
        long intervalMillis = args.length > 4 ? Long.parseLong(args[4]) : 1000;
        String server = args.length > 5 ? args[5] : null;
        new ChangeWatcher(Path.of(args[2])).watch(server, args[0], args[1], polls, intervalMillis);
    }

    private void watch(String server, String database, String password, int polls, long intervalMillis)
            throws IOException, InterruptedException {
        String since = readCheckpoint();
        report.println(since == null ? "No checkpoint: the first poll reports every record."
                                     : "Resuming from the checkpoint " + since + ".");
        try {
            connector.initTesra(server, database, password);
        } catch (Exception failure) {
            report.println("Cannot open " + database + ": " + failure.getMessage());
            System.exit(1);
        }
        try {
            for (int poll = 1; poll <= polls; ++poll) {
                if (poll > 1) {
                    Thread.sleep(intervalMillis);
                }
                since = pollOnce(poll, since);
            }
        } finally {
            connector.termTesra();
            System.out.flush();
        }
    }

    private String pollOnce(int poll, String since) throws IOException {
        StringBuffer endText = new StringBuffer();
        List<String> entries;
        try {
            entries = connector.getModifiedTesra(since, endText);
        } catch (Exception failure) {
            report.printf("poll %d since %s failed: %s%n", poll, describe(since), failure.getMessage());
            return since;
        }
        report.printf("poll %d since %s: %d change%s, until %s%n", poll, describe(since), entries.size(),
                      entries.size() == 1 ? "" : "s", endText);
        for (String entry : entries) {
            report.println("    " + readable(entry));
        }
        writeCheckpoint(endText.toString());
        return endText.toString();
    }

    private static String describe(String since) {
        return since == null ? "the beginning" : since;
    }

    /** "UNIVERSALID:RECORDID:NOR" becomes "record 2A  added or changed  (universal id ...)". */
    static String readable(String entry) {
        String[] parts = entry.split(":");
        if (parts.length != 3) {
            return entry;
        }
        String state = parts[2].equals("DEL") ? "deleted" : "added or changed";
        return String.format("record %-8s %-8s universal id %s", parts[1], state, parts[0]);
    }

    private String readCheckpoint() throws IOException {
        if (!Files.exists(checkpoint)) {
            return null;
        }
        String text = Files.readString(checkpoint, StandardCharsets.UTF_8).trim();
        return text.isEmpty() ? null : text;
    }

    private void writeCheckpoint(String endText) throws IOException {
        Path temporary = checkpoint.resolveSibling(checkpoint.getFileName() + ".tmp");
        Files.writeString(temporary, endText + "\n", StandardCharsets.UTF_8);
        Files.move(temporary, checkpoint, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
    }
}
