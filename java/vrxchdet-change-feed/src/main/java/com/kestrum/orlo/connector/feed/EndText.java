package com.kestrum.orlo.connector.feed;

import java.time.DateTimeException;
import java.time.Instant;
import java.time.LocalDateTime;
import java.time.ZoneId;
import java.time.format.DateTimeFormatter;
import java.time.format.ResolverStyle;
import java.util.regex.Pattern;

/** The store's end text, {@code YYYY-MM-DD HH:MM:SS.mmm}, in the store's time zone. */
final class EndText {
    private static final Pattern FORM = Pattern.compile("\\d{4}-\\d{2}-\\d{2} \\d{2}:\\d{2}:\\d{2}\\.\\d{3}");
    private static final DateTimeFormatter TEXT =
        DateTimeFormatter.ofPattern("uuuu-MM-dd HH:mm:ss.SSS").withResolverStyle(ResolverStyle.STRICT);

    private EndText() {}

    /** What is wrong with the text as an end text, or null when it is one. */
    static String problem(String text) {
        if (text == null || !FORM.matcher(text).matches()) {
            return quoted(text) + " is not an end text of the form YYYY-MM-DD HH:MM:SS.mmm";
        }
        try {
            LocalDateTime.parse(text, TEXT);
            return null;
        } catch (DateTimeException impossible) {
            return quoted(text) + " is not a date and time that exists";
        }
    }

    /**
     * The text in single quotes for a message, with what would not show escaped: control characters
     * ({@code \r}, {@code \n}, {@code \t}, others as {@code \}{@code uXXXX}), a byte-order mark and other
     * invisible format characters, and backslashes.
     */
    static String quoted(String text) {
        if (text == null) {
            return "null";
        }
        StringBuilder out = new StringBuilder(text.length() + 2).append('\'');
        for (int i = 0; i < text.length(); ++i) {
            char c = text.charAt(i);
            if (c == '\\') {
                out.append("\\\\");
            } else if (c == '\r') {
                out.append("\\r");
            } else if (c == '\n') {
                out.append("\\n");
            } else if (c == '\t') {
                out.append("\\t");
            } else if (Character.isISOControl(c) || Character.getType(c) == Character.FORMAT) {
                out.append(String.format("\\u%04X", (int) c));
            } else {
                out.append(c);
            }
        }
        return out.append('\'').toString();
    }

    static Instant toInstant(String text, ZoneId zone) {
        return LocalDateTime.parse(text, TEXT).atZone(zone).toInstant();
    }

    static String of(Instant time, ZoneId zone) {
        return TEXT.format(LocalDateTime.ofInstant(time, zone));
    }
}
