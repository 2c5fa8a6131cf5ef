package com.kestrum.orlo.connector.feed;

import java.util.Objects;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * One record's change as the store reports it: the record is present (added or changed) or deleted.
 *
 * @param universalId the record's universal identifier, 32 hexadecimal digits, the same in every
 *                    replica of the database
 * @param recordId    the record's identifier within this database, 0 to 0xFFFFFFFF
 * @param deleted     whether the record was deleted; otherwise it is present in the state it was
 *                    changed to
 */
public record Change(String universalId, long recordId, boolean deleted) {
    private static final Pattern ENTRY = Pattern.compile("([0-9A-Fa-f]{32}):([0-9A-Fa-f]{1,8}):(NOR|DEL)");
    private static final Pattern UNIVERSAL_ID = Pattern.compile("[0-9A-Fa-f]{32}");

    /**
     * Checks the identifiers.
     *
     * @param universalId the record's universal identifier
     * @param recordId    the record's identifier within this database
     * @param deleted     whether the record was deleted
     * @throws IllegalArgumentException when the universal identifier is not 32 hexadecimal digits or the
     *                                  record identifier does not fit the store's 32 bits
     */
    public Change {
        Objects.requireNonNull(universalId, "universalId");
        if (!UNIVERSAL_ID.matcher(universalId).matches()) {
            throw new IllegalArgumentException("A universal identifier is 32 hexadecimal digits, not '" + universalId + "'");
        }
        if (recordId < 0 || recordId > 0xFFFFFFFFL) {
            throw new IllegalArgumentException("A record identifier has 32 bits, not " + recordId);
        }
    }

    /**
     * Reads one change entry of the connector, {@code UNIVERSALID:RECORDID:NOR} or
     * {@code UNIVERSALID:RECORDID:DEL}: 32 hexadecimal digits, the record identifier in 1 to 8
     * hexadecimal digits, and the state.
     *
     * @param entry the entry text
     * @return the change it describes
     * @throws IllegalArgumentException when the entry has any other form
     */
    public static Change parse(String entry) {
        Matcher parts = ENTRY.matcher(Objects.requireNonNull(entry, "entry"));
        if (!parts.matches()) {
            throw new IllegalArgumentException("Not a change entry of the form UNIVERSALID:RECORDID:NOR|DEL: '" + entry + "'");
        }
        return new Change(parts.group(1), Long.parseLong(parts.group(2), 16), parts.group(3).equals("DEL"));
    }
}
