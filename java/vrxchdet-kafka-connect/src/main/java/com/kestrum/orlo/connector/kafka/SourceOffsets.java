package com.kestrum.orlo.connector.kafka;

import java.util.Collections;
import java.util.LinkedHashMap;
import java.util.Map;
import java.util.regex.Pattern;
import org.apache.kafka.connect.errors.ConnectException;

/**
 * The source partition and offset maps Connect keeps for each database. The partition is
 * {@code {"server": SERVER, "database": DATABASE}}; the offset is {@code {"format": 1, "end": END}},
 * where END is the end text of the last window whose records were all written
 * ({@code YYYY-MM-DD HH:MM:SS.mmm}), or empty while no window is: the database then starts as
 * configured.
 */
final class SourceOffsets {
    /** The partition's key of the server. */
    static final String SERVER = "server";
    /** The partition's key of the database. */
    static final String DATABASE = "database";
    /** The offset's key of its format version. */
    static final String FORMAT = "format";
    /** The offset's key of the end text. */
    static final String END = "end";
    /** The format version written. */
    static final int FORMAT_VERSION = 1;

    private static final Pattern END_TEXT = Pattern.compile("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}");

    private SourceOffsets() {
    }

    /**
     * The source partition of a database.
     *
     * @param server   the server, empty for the local store
     * @param database the database's file name
     * @return the partition map
     */
    static Map<String, String> partition(String server, String database) {
        // Connect keeps an offset under its partition's bytes as the key converter writes them, which follow the
        // map's order; the worker reads partitions back as HashMaps (server first), and so looks them up (GET
        // offsets) and writes them (PATCH offsets) in that order. Map.of's order changes from JVM to JVM: a
        // task's offsets would then be missed by the REST API, by a PATCH, and by the task itself after a restart.
        Map<String, String> partition = new LinkedHashMap<>();
        partition.put(SERVER, server);
        partition.put(DATABASE, database);
        return Collections.unmodifiableMap(partition);
    }

    /**
     * The offset of a position.
     *
     * @param endText the end text of the last window written, or null before the first
     * @return the offset map
     */
    static Map<String, Object> offset(String endText) {
        return Map.of(FORMAT, FORMAT_VERSION, END, endText == null ? "" : endText);
    }

    /**
     * The end text an offset holds, refusing any offset this connector did not write.
     *
     * @param partition the partition, for the message
     * @param offset    the offset Connect read, or null when it has none
     * @return the end text, or null when nothing was written yet
     * @throws ConnectException when the offset does not fit: another format version, a missing or
     *                          malformed end text, keys this connector does not write
     */
    static String endText(Map<String, ?> partition, Map<String, ?> offset) {
        if (offset == null) {
            return null;
        }
        Object format = offset.get(FORMAT);
        // The JSON converter reads numbers back as longs; an offset written through the REST API may hold an int.
        if (!(format instanceof Long || format instanceof Integer) || ((Number) format).longValue() != FORMAT_VERSION) {
            throw refused(partition, offset, "its format is not " + FORMAT_VERSION);
        }
        if (!(offset.get(END) instanceof String)) {
            throw refused(partition, offset, "it has no end text");
        }
        if (offset.size() != 2) {
            throw refused(partition, offset, "it holds keys other than " + FORMAT + " and " + END);
        }
        String end = (String) offset.get(END);
        if (end.isEmpty()) {
            return null;
        }
        if (!END_TEXT.matcher(end).matches()) {
            throw refused(partition, offset, "its end is not of the form YYYY-MM-DD HH:MM:SS.mmm");
        }
        return end;
    }

    private static ConnectException refused(Map<String, ?> partition, Map<String, ?> offset, String why) {
        return new ConnectException("The offset " + offset + " of " + partition + " is refused: " + why
            + ". Reset it (PATCH /connectors/NAME/offsets) to {\"" + FORMAT + "\": " + FORMAT_VERSION + ", \"" + END
            + "\": \"YYYY-MM-DD HH:MM:SS.mmm\"} or remove it");
    }
}
