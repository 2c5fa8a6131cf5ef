package com.kestrum.orlo.connector.feed;

import java.util.Arrays;
import java.util.Objects;

/**
 * One record's change as the store reports it: the record is present (added or changed) or deleted.
 * An immutable value, equal to another change of the same record in the same state.
 */
public final class Change {
    private static final int UNIVERSAL_ID_DIGITS = 32;
    private static final int MAX_RECORD_ID_DIGITS = 8;
    private static final int STATE_LENGTH = 3;
    private static final byte[] HEX_VALUES = hexValues();

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
        if (universalId.length() != UNIVERSAL_ID_DIGITS || !isHex(universalId, 0, UNIVERSAL_ID_DIGITS)) {
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
        // Runs once per entry of a batch: the fields have fixed places, so they are read where they
        // stand, without a regular expression and without copying more than the universal identifier.
        int stateColon = Objects.requireNonNull(entry, "entry").length() - STATE_LENGTH - 1;
        int recordIdDigits = stateColon - UNIVERSAL_ID_DIGITS - 1;
        boolean deleted = entry.startsWith("DEL", stateColon + 1);
        if (recordIdDigits < 1 || recordIdDigits > MAX_RECORD_ID_DIGITS || entry.charAt(UNIVERSAL_ID_DIGITS) != ':'
            || entry.charAt(stateColon) != ':' || !(deleted || entry.startsWith("NOR", stateColon + 1))
            || !isHex(entry, UNIVERSAL_ID_DIGITS + 1, stateColon)) {
            throw notAnEntry(entry);
        }
        long recordId = 0;
        for (int i = UNIVERSAL_ID_DIGITS + 1; i < stateColon; ++i) {
            recordId = recordId << 4 | hexDigit(entry.charAt(i));
        }
        try {
            return new Change(entry.substring(0, UNIVERSAL_ID_DIGITS), recordId, deleted);
        } catch (IllegalArgumentException universalIdNotHex) { // checked there, and only there
            throw notAnEntry(entry);
        }
    }

    private static IllegalArgumentException notAnEntry(String entry) {
        return new IllegalArgumentException("Not a change entry of the form UNIVERSALID:RECORDID:NOR|DEL: '" + entry + "'");
    }

    /** Whether the characters from {@code start} to {@code end} are all hexadecimal digits. */
    private static boolean isHex(String text, int start, int end) {
        // No branch on the digits themselves: digits and letters come in no order a processor could
        // predict, and a mispredicted branch per character would cost more than the rest of the parse.
        int all = 0;
        for (int i = start; i < end; ++i) {
            all |= hexDigit(text.charAt(i));
        }
        return all >= 0;
    }

    /**
     * The value of a digit 0-9, A-F or a-f, else -1; {@link Character#digit} would also take the
     * digits of other scripts, which no entry holds.
     */
    private static int hexDigit(char c) {
        return c < HEX_VALUES.length ? HEX_VALUES[c] : -1;
    }

    private static byte[] hexValues() {
        byte[] values = new byte[128];
        Arrays.fill(values, (byte) -1);
        for (int digit = 0; digit < 16; ++digit) {
            values[Character.forDigit(digit, 16)] = (byte) digit;
            values[Character.toUpperCase(Character.forDigit(digit, 16))] = (byte) digit;
        }
        return values;
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
