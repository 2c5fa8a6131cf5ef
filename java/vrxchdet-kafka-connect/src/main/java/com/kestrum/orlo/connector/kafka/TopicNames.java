package com.kestrum.orlo.connector.kafka;

import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;

/** The topics records go to, made of characters Kafka accepts and no longer than it allows. */
final class TopicNames {
    /** Kafka's longest topic name. */
    static final int MAX_LENGTH = 249;
    /** The longest prefix, leaving room for a database's part. */
    static final int MAX_PREFIX_LENGTH = 200;
    /** The first part of a heartbeat topic, before the prefix. */
    static final String HEARTBEAT_PREFIX = "__vrxchdet-heartbeat.";
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
     * The topic of a database's changes: {@code PREFIX.DATABASE}, each character Kafka does not accept
     * replaced by '_'. A name that would be longer than Kafka allows is cut, and ends with a digest of the
     * whole database name, so that two long names stay apart.
     *
     * @param prefix   a valid prefix
     * @param database the database's file name
     * @return the topic
     */
    static String forDatabase(String prefix, String database) {
        StringBuilder topic = new StringBuilder(prefix.length() + 1 + database.length()).append(prefix).append('.');
        for (int i = 0; i < database.length(); ++i) {
            char c = database.charAt(i);
            topic.append(legal(c) ? c : '_');
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
