package com.kestrum.orlo.connector.kafka.cluster;

import com.fasterxml.jackson.databind.JsonNode;
import com.fasterxml.jackson.databind.ObjectMapper;
import java.io.IOException;
import java.io.UncheckedIOException;
import java.nio.charset.StandardCharsets;
import java.time.LocalDate;
import java.time.LocalDateTime;
import java.time.format.DateTimeFormatter;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.NavigableSet;
import java.util.Objects;
import java.util.TreeSet;
import org.apache.kafka.clients.consumer.ConsumerRecord;
import org.apache.kafka.common.header.Header;

/**
 * Checks the records of one database's topic, as a {@code read_committed} consumer read them, against the
 * writes made to the database and its listing.
 *
 * <p>A window is known by its end; the windows seen are those that have records, and each starts where the
 * one before it ended (a window without records holds no write, unless a write was lost). Every write must be
 * covered by exactly one record of its record's universal id in the window that holds its time (none: a
 * gap; more: a duplicate), and every record must be explained by a write of its universal id in its window
 * (else it repeats an earlier window: a duplicate). The records of a key come in the order of their windows;
 * a record says deleted exactly when the last write of its window deleted it, and is then followed by its
 * tombstone; and the last record of each universal id says what the listing says of it.
 */
public final class DeliveryCheck {
    /** The header of the window's end. */
    public static final String END_HEADER = "vrxchdet.end";
    /** The header that says whether a window is a resync. */
    public static final String RESYNC_HEADER = "vrxchdet.resync";

    private static final ObjectMapper JSON = new ObjectMapper();
    private static final DateTimeFormatter END_TEXT = DateTimeFormatter.ofPattern("uuuu-MM-dd HH:mm:ss.SSS");
    private static final long FIRST_EPOCH_DAY = LocalDate.of(1, 1, 1).toEpochDay();
    private static final int MAX_PROBLEMS = 20;

    private DeliveryCheck() {
    }

    /**
     * A record of a database's topic.
     *
     * @param universalId the universal id of its key
     * @param windowEnd   the end of its window, as text ({@code YYYY-MM-DD HH:MM:SS.mmm})
     * @param deleted     whether its value says deleted (true for a tombstone)
     * @param tombstone   whether it is a tombstone (no value)
     * @param resync      the resync header
     */
    public record Delivered(String universalId, String windowEnd, boolean deleted, boolean tombstone, boolean resync) {
        /**
         * The window's end in store time.
         *
         * @return hundredths of a second since the store's first day
         */
        public long end() {
            return storeTime(windowEnd);
        }
    }

    /**
     * What the check found.
     *
     * @param writes     the writes checked
     * @param records    the records read (tombstones included)
     * @param duplicates writes covered by more than one record, and records no write of their window explains
     * @param gaps       writes covered by no record
     * @param outOfOrder records of a key whose window ends before that of the key's record before them
     * @param wrongState records whose deleted flag or tombstone is wrong, and universal ids whose last record
     *                   does not say what the listing says
     * @param problems   the first problems found, described
     */
    public record Result(int writes, int records, int duplicates, int gaps, int outOfOrder, int wrongState,
                         List<String> problems) {
        /**
         * Adds another database's result to this one.
         *
         * @param other the other result
         * @return the sums
         */
        public Result plus(Result other) {
            List<String> all = new ArrayList<>(problems);
            all.addAll(other.problems);
            return new Result(writes + other.writes, records + other.records, duplicates + other.duplicates,
                              gaps + other.gaps, outOfOrder + other.outOfOrder, wrongState + other.wrongState,
                              List.copyOf(all.subList(0, Math.min(all.size(), MAX_PROBLEMS))));
        }

        /**
         * A result of nothing, to add results to.
         *
         * @return zeros
         */
        public static Result none() {
            return new Result(0, 0, 0, 0, 0, 0, List.of());
        }
    }

    /**
     * Reads a record of the connector's topic as the worker's JSON converter (without schemas) wrote it.
     *
     * @param record the consumer record
     * @return what it says
     * @throws IllegalArgumentException when it is not a record of the connector's form
     */
    public static Delivered parse(ConsumerRecord<byte[], byte[]> record) {
        try {
            JsonNode key = JSON.readTree(record.key());
            String end = header(record, END_HEADER);
            boolean resync = Boolean.parseBoolean(header(record, RESYNC_HEADER));
            if (record.value() == null) {
                return new Delivered(key.path("universal_id").asText(), end, true, true, resync);
            }
            JsonNode value = JSON.readTree(record.value());
            if (!Objects.equals(end, value.path("window_end").asText())) {
                throw new IllegalArgumentException("window_end " + value.path("window_end") + " but header " + end + ": " + record);
            }
            return new Delivered(key.path("universal_id").asText(), end, value.path("deleted").asBoolean(), false, resync);
        } catch (IOException unreadable) {
            throw new UncheckedIOException("Not JSON: " + record, unreadable);
        }
    }

    private static String header(ConsumerRecord<byte[], byte[]> record, String name) {
        Header header = record.headers().lastHeader(name);
        if (header == null || header.value() == null) {
            throw new IllegalArgumentException("No header " + name + ": " + record);
        }
        return new String(header.value(), StandardCharsets.UTF_8);
    }

    /**
     * Store time of an end text.
     *
     * @param text {@code YYYY-MM-DD HH:MM:SS.mmm}
     * @return hundredths of a second since the store's first day (0001-01-01 is day 1)
     */
    public static long storeTime(String text) {
        LocalDateTime time = LocalDateTime.parse(text, END_TEXT);
        long day = time.toLocalDate().toEpochDay() - FIRST_EPOCH_DAY + 1;
        return day * StoreWriter.HUNDREDTHS_PER_DAY + time.toLocalTime().toNanoOfDay() / 10_000_000L;
    }

    /**
     * Checks one database's topic.
     *
     * @param database the database, for the problems' descriptions
     * @param writes   every write made to it
     * @param records  its topic's records, in order
     * @param listing  its listing, deletion records included, by record id
     * @return the counts and the first problems
     */
    public static Result check(String database, List<StoreWriter.Write> writes, List<Delivered> records,
                               Map<Long, StoreWriter.Listed> listing) {
        List<String> problems = new ArrayList<>();
        NavigableSet<Long> ends = new TreeSet<>();
        Map<String, Integer> covering = new HashMap<>();
        int outOfOrder = 0;
        int wrongState = 0;
        Map<String, Long> lastEnd = new HashMap<>();
        Map<String, Boolean> latestDeleted = new HashMap<>();
        for (int i = 0; i < records.size(); ++i) {
            Delivered record = records.get(i);
            if (record.universalId().isEmpty()) {
                continue; // the one record of a resync that lists nothing: no write is in it
            }
            ends.add(record.end());
            latestDeleted.put(record.universalId(), record.deleted());
            if (record.tombstone()) {
                Delivered before = i == 0 ? null : records.get(i - 1);
                if (before == null || before.tombstone() || !before.deleted() || !before.universalId().equals(record.universalId())) {
                    wrongState += note(problems, database + ": a tombstone that follows no deletion of its key: " + record);
                }
                continue;
            }
            if (record.deleted() && (i + 1 == records.size() || !records.get(i + 1).tombstone())) {
                wrongState += note(problems, database + ": a deletion without its tombstone: " + record);
            }
            Long previous = lastEnd.put(record.universalId(), record.end());
            if (previous != null && previous > record.end()) {
                outOfOrder += note(problems, database + ": " + record + " after a record of the window ending at " + previous);
            }
            covering.merge(record.universalId() + "@" + record.end(), 1, Integer::sum);
        }

        Map<String, StoreWriter.Write> lastWriteOfWindow = new HashMap<>();
        int gaps = 0;
        int duplicates = 0;
        for (StoreWriter.Write write : writes) {
            StoreWriter.Listed listed = listing.get(write.recordId());
            if (listed == null) {
                gaps += note(problems, database + ": " + write + " is of no record of the listing");
                continue;
            }
            Long end = ends.higher(write.stamp());
            int count = end == null ? 0 : covering.getOrDefault(listed.universalId() + "@" + end, 0);
            if (count == 0) {
                gaps += note(problems, database + ": " + write + " (" + listed.universalId() + ") is in no record");
            } else if (count > 1) {
                duplicates += note(problems, database + ": " + write + " (" + listed.universalId() + ") is in " + count + " records");
            }
            if (end != null) {
                lastWriteOfWindow.merge(listed.universalId() + "@" + end, write,
                    (a, b) -> a.stamp() > b.stamp() ? a : b);
            }
        }
        for (Delivered record : records) {
            if (record.tombstone() || record.universalId().isEmpty()) {
                continue;
            }
            StoreWriter.Write last = lastWriteOfWindow.get(record.universalId() + "@" + record.end());
            if (last == null) {
                duplicates += note(problems, database + ": " + record + " is explained by no write of its window, which starts at "
                                   + (ends.lower(record.end()) == null ? "the beginning" : "the end of the window before it"));
            } else if (record.deleted() != last.operation().equals("delete")) {
                wrongState += note(problems, database + ": " + record + " but the last write of its window is " + last);
            }
        }
        for (StoreWriter.Listed listed : listing.values()) {
            Boolean deleted = latestDeleted.get(listed.universalId());
            if (deleted == null || deleted != listed.deleted()) {
                wrongState += note(problems, database + ": the last record of " + listed.universalId() + " says "
                                   + (deleted == null ? "nothing" : deleted ? "deleted" : "present") + ", the listing "
                                   + (listed.deleted() ? "deleted" : "present"));
            }
        }
        return new Result(writes.size(), records.size(), duplicates, gaps, outOfOrder, wrongState,
                          List.copyOf(problems.subList(0, Math.min(problems.size(), MAX_PROBLEMS))));
    }

    private static int note(List<String> problems, String problem) {
        problems.add(problem);
        return 1;
    }
}
