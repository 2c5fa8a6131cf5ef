package com.kestrum.orlo.connector.kafka;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/**
 * The topics records go to, made of characters Kafka accepts and no longer than it allows: a database's
 * topic is named by a format ({@link #DEFAULT_FORMAT} unless configured) in which {@link #PREFIX} stands for
 * the topic prefix and {@link #DATABASE} for the database's name.
 */
final class TopicNames {
    /** Kafka's longest topic name. */
    static final int MAX_LENGTH = 249;
    /** The longest prefix, leaving room for a database's part. */
    static final int MAX_PREFIX_LENGTH = 200;
    /** The first part of a heartbeat topic, before the prefix. */
    static final String HEARTBEAT_PREFIX = "__vrxchdet-heartbeat.";
    /** The placeholder of the topic prefix in a format. */
    static final String PREFIX = "${prefix}";
    /** The placeholder of the database's name in a format. */
    static final String DATABASE = "${database}";
    /** The format of a database's topic unless configured: {@code ${prefix}.${database}}. */
    static final String DEFAULT_FORMAT = PREFIX + "." + DATABASE;
    private static final int DIGEST_CHARACTERS = 16;

    private TopicNames() {
    }

    /**
     * What is wrong with a topic prefix.
     *
     * @param prefix the prefix
     * @return the problem, or null when the prefix is fine
     */
    static String prefixProblem(String prefix) {
        if (prefix == null || prefix.isEmpty()) {
            return "A topic prefix is not empty";
        }
        if (prefix.length() > MAX_PREFIX_LENGTH) {
            return "A topic prefix has at most " + MAX_PREFIX_LENGTH + " characters, not " + prefix.length();
        }
        for (int i = 0; i < prefix.length(); ++i) {
            if (!legal(prefix.charAt(i))) {
                return "A topic name holds only a-z, A-Z, 0-9, '.', '_' and '-', not '" + prefix.charAt(i) + "'";
            }
        }
        return null;
    }

    /**
     * What is wrong with a topic name format.
     *
     * @param format the format
     * @return the problem, or null when the format is fine
     */
    static String formatProblem(String format) {
        if (format == null || format.isEmpty()) {
            return "A topic name format is not empty";
        }
        int literal = 0;
        for (int i = 0; i < format.length(); ) {
            if (format.startsWith(PREFIX, i)) {
                i += PREFIX.length();
            } else if (format.startsWith(DATABASE, i)) {
                i += DATABASE.length();
            } else if (format.charAt(i) == '$') {
                return "A topic name format knows only the placeholders " + PREFIX + " and " + DATABASE + ", not "
                    + format.substring(i);
            } else if (!legal(format.charAt(i))) {
                return "A topic name holds only a-z, A-Z, 0-9, '.', '_' and '-', not '" + format.charAt(i) + "'";
            } else {
                ++literal;
                ++i;
            }
        }
        if (literal > MAX_PREFIX_LENGTH) {
            return "A topic name format has at most " + MAX_PREFIX_LENGTH + " characters besides its placeholders, not "
                + literal;
        }
        if (format.equals(".") || format.equals("..")) {
            return "A topic is not named '" + format + "'";
        }
        return null;
    }

    /**
     * The topic of a database's changes under the default format: {@code PREFIX.DATABASE}.
     *
     * @param prefix   a valid prefix
     * @param database the database's file name
     * @return the topic
     */
    static String forDatabase(String prefix, String database) {
        return forDatabase(DEFAULT_FORMAT, prefix, database);
    }

    /**
     * The topic of a database's changes: the format with {@link #PREFIX} replaced by the prefix and
     * {@link #DATABASE} by the database's name, each character of that name Kafka does not accept replaced
     * by '_'. A name that would be longer than Kafka allows is cut, and ends with a digest of the whole
     * database name, so that two long names stay apart.
     *
     * @param format   a valid format
     * @param prefix   a valid prefix
     * @param database the database's file name
     * @return the topic
     */
    static String forDatabase(String format, String prefix, String database) {
        StringBuilder topic = new StringBuilder(format.length() + prefix.length() + database.length());
        for (int i = 0; i < format.length(); ) {
            if (format.startsWith(PREFIX, i)) {
                topic.append(prefix);
                i += PREFIX.length();
            } else if (format.startsWith(DATABASE, i)) {
                for (int j = 0; j < database.length(); ++j) {
                    char c = database.charAt(j);
                    topic.append(legal(c) ? c : '_');
                }
                i += DATABASE.length();
            } else {
                topic.append(format.charAt(i++));
            }
        }
        if (topic.length() > MAX_LENGTH) {
            topic.setLength(MAX_LENGTH - DIGEST_CHARACTERS - 1);
            topic.append('_').append(digest(database));
        }
        return topic.toString();
    }

    /**
     * The topic of a connector's heartbeats.
     *
     * @param prefix a valid prefix
     * @return {@code __vrxchdet-heartbeat.PREFIX}
     */
    static String heartbeats(String prefix) {
        return HEARTBEAT_PREFIX + prefix;
    }

    private static boolean legal(char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
    }

    private static String digest(String text) {
        try {
            byte[] hash = MessageDigest.getInstance("SHA-256").digest(text.getBytes(StandardCharsets.UTF_8));
            StringBuilder hex = new StringBuilder(DIGEST_CHARACTERS);
            for (int i = 0; hex.length() < DIGEST_CHARACTERS; ++i) {
                hex.append(Character.forDigit(hash[i] >> 4 & 0xF, 16)).append(Character.forDigit(hash[i] & 0xF, 16));
            }
            return hex.toString();
        } catch (NoSuchAlgorithmException missing) {
            throw new IllegalStateException("Every JVM has SHA-256", missing);
        }
    }
}
