package com.kestrum.orlo.connector.feed;

import java.util.Objects;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

/**
 * One record's change as the store reports it: the record is present (added or changed) or deleted.
 * An immutable value, equal to another change of the same record in the same state.
 */
public final class Change {
    private static final Pattern ENTRY = Pattern.compile("([0-9A-Fa-f]{32}):([0-9A-Fa-f]{1,8}):(NOR|DEL)");
    private static final Pattern UNIVERSAL_ID = Pattern.compile("[0-9A-Fa-f]{32}");

    private final String universalId;
    private final long recordId;
    private final boolean deleted;

    /**
     * Checks the identifiers.
     *
     * @param universalId the record's universal identifier, 32 hexadecimal digits, the same in every
     *                    replica of the database
     * @param recordId    the record's identifier within this database, 0 to 0xFFFFFFFF
     * @param deleted     whether the record was deleted; otherwise it is present in the state it was
     *                    changed to
     * @throws IllegalArgumentException when the universal identifier is not 32 hexadecimal digits or the
     *                                  record identifier does not fit the store's 32 bits
     */
    public Change(String universalId, long recordId, boolean deleted) {
        Objects.requireNonNull(universalId, "universalId");
        if (!UNIVERSAL_ID.matcher(universalId).matches()) {
            throw new IllegalArgumentException("A universal identifier is 32 hexadecimal digits, not '" + universalId + "'");
        }
        if (recordId < 0 || recordId > 0xFFFFFFFFL) {
            throw new IllegalArgumentException("A record identifier has 32 bits, not " + recordId);
        }
        this.universalId = universalId;
        this.recordId = recordId;
        this.deleted = deleted;
    }

    /**
     * A record added or changed, for a consumer's tests.
     *
     * @param universalId the record's universal identifier, 32 hexadecimal digits
     * @param recordId    the record's identifier within this database
     * @return the change
     * @throws IllegalArgumentException for identifiers of another form
     */
    public static Change present(String universalId, long recordId) {
        return new Change(universalId, recordId, false);
    }

    /**
     * A record deleted, for a consumer's tests.
     *
     * @param universalId the record's universal identifier, 32 hexadecimal digits
     * @param recordId    the record's identifier within this database
     * @return the change
     * @throws IllegalArgumentException for identifiers of another form
     */
    public static Change deletion(String universalId, long recordId) {
        return new Change(universalId, recordId, true);
    }

    /**
     * The record's universal identifier.
     *
     * @return 32 hexadecimal digits, the same in every replica of the database
     */
    public String universalId() {
        return universalId;
    }

    /**
     * The record's identifier within this database.
     *
     * @return 0 to 0xFFFFFFFF
     */
    public long recordId() {
        return recordId;
    }

    /**
     * Whether the record was deleted.
     *
     * @return true for a deletion; false when the record is present in the state it was changed to
     */
    public boolean deleted() {
        return deleted;
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

    @Override
    public boolean equals(Object other) {
        if (!(other instanceof Change)) {
            return false;
        }
        Change that = (Change) other;
        return recordId == that.recordId && deleted == that.deleted && universalId.equals(that.universalId);
    }

    @Override
    public int hashCode() {
        return Objects.hash(universalId, recordId, deleted);
    }

    @Override
    public String toString() {
        return "Change[universalId=" + universalId + ", recordId=" + recordId + ", deleted=" + deleted + "]";
    }
}
