package com.kestrum.orlo.connector.kafka;

import java.nio.file.Files;
import java.nio.file.InvalidPathException;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.function.Function;
import org.apache.kafka.common.config.AbstractConfig;
import org.apache.kafka.common.config.ConfigDef;
import org.apache.kafka.common.config.ConfigDef.Importance;
import org.apache.kafka.common.config.ConfigDef.Width;
import org.apache.kafka.common.config.ConfigException;
import org.apache.kafka.common.config.types.Password;

/**
 * The connector's configuration: which store and databases, how to reach them, and how their changes
 * become records. {@link #CONFIG_DEF} documents every key; a task receives the same keys plus
 * {@link #TASK_DATABASES}, its share of the databases.
 */
public final class VrxchdetSourceConfig extends AbstractConfig {
    /** The server holding the databases; empty for databases of the local store. */
    public static final String SERVER = "server";
    /** The databases to follow, a comma-separated list of file names. */
    public static final String DATABASES = "databases";
    /** The store's configuration file, given to each feed's child process. */
    public static final String TESRA_INI = "tesra.ini";
    /** The password of the ID file the store's configuration names. */
    public static final String PASSWORD = "password";
    /** The first part of every topic name. */
    public static final String TOPIC_PREFIX = "topic.prefix";
    /** How a database's topic is named, from {@code ${prefix}} and {@code ${database}}. */
    public static final String TOPIC_NAME_FORMAT = "topic.name.format";
    /** How long a database's polls may keep failing with transient failures before its task fails. */
    public static final String STORE_RETRY_TIMEOUT_MS = "store.retry.timeout.ms";
    /** The connector's name, which Connect sets in every connector's and task's configuration. */
    public static final String NAME = "name";
    /** The pause between two store polls of a database that had no changes. */
    public static final String POLL_INTERVAL_MS = "poll.interval.ms";
    /** Where a database without an offset starts: {@code beginning} or {@code now}. */
    public static final String START = "start";
    /** Whether a deletion is followed by a tombstone. */
    public static final String TOMBSTONES_ON_DELETE = "tombstones.on.delete";
    /** How often a database without changes writes a heartbeat that moves its offset; 0 for never. */
    public static final String HEARTBEAT_INTERVAL_MS = "heartbeat.interval.ms";
    /** The databases of one task, set by the connector in each task's configuration. */
    public static final String TASK_DATABASES = "task.databases";
    /** The number of a task among its connector's, set by the connector in each task's configuration. */
    public static final String TASK_ID = "task.id";

    /** {@link #START}: list every record of a database that has no offset yet. */
    public static final String START_BEGINNING = "beginning";
    /** {@link #START}: follow only the changes made after the task started. */
    public static final String START_NOW = "now";

    private static final String STORE_GROUP = "Store";
    private static final String RECORDS_GROUP = "Records";
    private static final String POLLING_GROUP = "Polling";

    /** The definition of the connector's keys, with their documentation, groups and validators. */
    public static final ConfigDef CONFIG_DEF = configDef();

    /**
     * Parses a connector's or a task's configuration.
     *
     * @param originals the keys and values as Connect gives them
     * @throws ConfigException when a value is missing or malformed
     */
    public VrxchdetSourceConfig(Map<String, String> originals) {
        super(CONFIG_DEF, originals);
    }

    private static ConfigDef configDef() {
        int store = 0;
        int records = 0;
        int polling = 0;
        return new ConfigDef()
            .define(SERVER, ConfigDef.Type.STRING, "", new NoControlCharacters(), Importance.HIGH,
                "The server holding the databases; empty for databases of the local store.",
                STORE_GROUP, ++store, Width.MEDIUM, "Server")
            .define(DATABASES, ConfigDef.Type.LIST, ConfigDef.NO_DEFAULT_VALUE, new DatabaseList(), Importance.HIGH,
                "The databases to follow, as file names the store knows, separated by commas. Each is a source "
                + "partition and gets a topic of its own; the connector spreads them over at most tasks.max tasks.",
                STORE_GROUP, ++store, Width.LONG, "Databases")
            .define(TESRA_INI, ConfigDef.Type.STRING, "", new ReadableFile(), Importance.HIGH,
                "The store's configuration file (tesra.ini) for this connector, read by each database's child "
                + "process; empty for the worker's TESRA_INI, else tesra.ini in the worker's working folder.",
                STORE_GROUP, ++store, Width.LONG, "Store configuration file")
            .define(PASSWORD, ConfigDef.Type.PASSWORD, "", Importance.HIGH,
                "The password of the ID file the store's configuration names. Masked in logs and in the REST API; "
                + "a config provider reference such as ${file:/etc/secrets.properties:password} keeps it out of "
                + "the connector's configuration.",
                STORE_GROUP, ++store, Width.MEDIUM, "Password")
            .define(TOPIC_PREFIX, ConfigDef.Type.STRING, ConfigDef.NO_DEFAULT_VALUE, new TopicNameText(TopicNames::prefixProblem,
                "1 to " + TopicNames.MAX_PREFIX_LENGTH + " of the characters a-z, A-Z, 0-9, '.', '_' and '-'"), Importance.HIGH,
                "The first part of every topic name: the changes of a database go to PREFIX.DATABASE (see "
                + "topic.name.format), its heartbeats to __vrxchdet-heartbeat.PREFIX.",
                RECORDS_GROUP, ++records, Width.MEDIUM, "Topic prefix")
            .define(TOPIC_NAME_FORMAT, ConfigDef.Type.STRING, TopicNames.DEFAULT_FORMAT, new TopicNameText(TopicNames::formatProblem,
                "the characters a-z, A-Z, 0-9, '.', '_' and '-' around ${prefix} and ${database}"),
                Importance.MEDIUM,
                "The name of a database's topic: ${prefix} stands for topic.prefix and ${database} for the "
                + "database's file name, each character a topic name cannot hold replaced by '_'; the rest is "
                + "taken as it is. A name longer than Kafka allows is cut and ends with a digest of the database's "
                + "name. No two databases may share a topic, so with several databases the format holds "
                + "${database}.",
                RECORDS_GROUP, ++records, Width.MEDIUM, "Topic name format")
            .define(TOMBSTONES_ON_DELETE, ConfigDef.Type.BOOLEAN, true, Importance.MEDIUM,
                "Whether the record of a deletion is followed by a tombstone (the same key, a null value), so that "
                + "log compaction can remove the key.",
                RECORDS_GROUP, ++records, Width.SHORT, "Tombstones on delete")
            .define(POLL_INTERVAL_MS, ConfigDef.Type.LONG, 1000L, ConfigDef.Range.between(10L, 3_600_000L), Importance.MEDIUM,
                "How long a task pauses, in milliseconds, after a round of store polls that found no changes in "
                + "any of its databases.",
                POLLING_GROUP, ++polling, Width.SHORT, "Poll interval (ms)")
            .define(START, ConfigDef.Type.STRING, START_BEGINNING, ConfigDef.ValidString.in(START_BEGINNING, START_NOW),
                Importance.MEDIUM,
                "Where a database without an offset starts: 'beginning' lists every record present, 'now' "
                + "follows only the changes made after the task started.",
                POLLING_GROUP, ++polling, Width.SHORT, "Start")
            .define(HEARTBEAT_INTERVAL_MS, ConfigDef.Type.LONG, 60_000L, ConfigDef.Range.between(0L, 86_400_000L),
                Importance.LOW,
                "How often, in milliseconds, a database without changes writes a heartbeat record to "
                + "__vrxchdet-heartbeat.PREFIX, which moves its offset so that a restart does not read a long "
                + "quiet stretch again; 0 writes none.",
                POLLING_GROUP, ++polling, Width.SHORT, "Heartbeat interval (ms)")
            .define(STORE_RETRY_TIMEOUT_MS, ConfigDef.Type.LONG, 300_000L, ConfigDef.Range.between(0L, 86_400_000L),
                Importance.MEDIUM,
                "How long, in milliseconds, the polls of a database may keep failing with a transient failure (a "
                + "database locked or being written, a child process that ended) before the task fails with the "
                + "store's status and message. Meanwhile the database is tried again after pauses that double from "
                + "poll.interval.ms up to 30 s, and the task's other databases go on being polled. A failure that "
                + "is not transient fails the task at once; 0 fails it at the first failure of any kind.",
                POLLING_GROUP, ++polling, Width.SHORT, "Store retry timeout (ms)")
            .defineInternal(TASK_DATABASES, ConfigDef.Type.LIST, "", Importance.LOW)
            .defineInternal(TASK_ID, ConfigDef.Type.INT, 0, Importance.LOW);
    }

    /**
     * The server.
     *
     * @return the server's name, empty for the local store
     */
    public String server() {
        return getString(SERVER);
    }

    /**
     * The databases of the connector.
     *
     * @return the file names, in the configured order
     */
    public List<String> databases() {
        return getList(DATABASES);
    }

    /**
     * The databases a task serves.
     *
     * @return the task's share of {@link #databases()}
     */
    public List<String> taskDatabases() {
        return getList(TASK_DATABASES);
    }

    /**
     * The store's configuration file.
     *
     * @return the file, or null for the worker's
     */
    public Path tesraIni() {
        String file = getString(TESRA_INI);
        return file.isEmpty() ? null : Path.of(file);
    }

    /**
     * The password.
     *
     * @return the password, masked in its {@code toString()}
     */
    public Password password() {
        return getPassword(PASSWORD);
    }

    /**
     * The topic prefix.
     *
     * @return the first part of every topic name
     */
    public String topicPrefix() {
        return getString(TOPIC_PREFIX);
    }

    /**
     * The topic name format.
     *
     * @return the format, with {@code ${prefix}} and {@code ${database}}
     */
    public String topicNameFormat() {
        return getString(TOPIC_NAME_FORMAT);
    }

    /**
     * The topic of a database's changes.
     *
     * @param database the database
     * @return the topic, as {@link #topicNameFormat()} names it
     */
    public String topicOf(String database) {
        return TopicNames.forDatabase(topicNameFormat(), topicPrefix(), database);
    }

    /**
     * How long a database's polls may keep failing with transient failures.
     *
     * @return milliseconds
     */
    public long storeRetryTimeoutMs() {
        return getLong(STORE_RETRY_TIMEOUT_MS);
    }

    /**
     * The connector's name, for the names of the task's metrics.
     *
     * @return the {@code name} Connect set, or {@code unnamed} when there is none
     */
    public String connectorName() {
        return originals().get(NAME) instanceof String name && !name.isEmpty() ? name : "unnamed";
    }

    /**
     * The task's number.
     *
     * @return the number the connector gave the task, 0 when none
     */
    public int taskId() {
        return getInt(TASK_ID);
    }

    /**
     * The poll interval.
     *
     * @return milliseconds
     */
    public long pollIntervalMs() {
        return getLong(POLL_INTERVAL_MS);
    }

    /**
     * Whether a database without an offset starts from the beginning.
     *
     * @return true for {@code beginning}, false for {@code now}
     */
    public boolean startFromBeginning() {
        return START_BEGINNING.equals(getString(START));
    }

    /**
     * Whether deletions are followed by tombstones.
     *
     * @return the setting
     */
    public boolean tombstonesOnDelete() {
        return getBoolean(TOMBSTONES_ON_DELETE);
    }

    /**
     * The heartbeat interval.
     *
     * @return milliseconds, 0 for no heartbeats
     */
    public long heartbeatIntervalMs() {
        return getLong(HEARTBEAT_INTERVAL_MS);
    }

    /**
     * What is wrong with a list of databases as a whole: two names that are the same, or whose topics
     * would be the same.
     *
     * @param topicPrefix the topic prefix, or null when it is itself malformed (names are then compared
     *                    as they are)
     * @param format      the topic name format, or null when it is itself malformed
     * @param databases   the databases
     * @return the problem, or null when there is none
     */
    static String databasesProblem(String topicPrefix, String format, List<String> databases) {
        Set<String> seen = new HashSet<>();
        Map<String, String> byTopic = new HashMap<>();
        for (String database : databases) {
            if (!seen.add(database)) {
                return "The database '" + database + "' is listed twice";
            }
            if (topicPrefix != null && format != null) {
                String topic = TopicNames.forDatabase(format, topicPrefix, database);
                String other = byTopic.putIfAbsent(topic, database);
                if (other != null) {
                    return "The databases '" + other + "' and '" + database + "' would share the topic " + topic
                        + (format.contains(TopicNames.DATABASE) ? "" : " (" + TOPIC_NAME_FORMAT + " has no "
                        + TopicNames.DATABASE + ")");
                }
                if (topic.equals(TopicNames.heartbeats(topicPrefix))) {
                    return "The database '" + database + "' would share the topic " + topic + " with the heartbeats";
                }
            }
        }
        return null;
    }

    private static boolean hasControlCharacter(String text) {
        return text.chars().anyMatch(Character::isISOControl);
    }

    /** No control characters in a name. */
    private static final class NoControlCharacters implements ConfigDef.Validator {
        @Override
        public void ensureValid(String name, Object value) {
            if (value != null && hasControlCharacter((String) value)) {
                throw new ConfigException(name, value, "A name holds no control characters");
            }
        }

        @Override
        public String toString() {
            return "a name without control characters";
        }
    }

    /** At least one database, each a non-empty name without control characters, none twice. */
    private static final class DatabaseList implements ConfigDef.Validator {
        @Override
        public void ensureValid(String name, Object value) {
            @SuppressWarnings("unchecked") // ConfigDef.Type.LIST parses to a List<String>
            List<String> databases = (List<String>) value;
            if (databases == null || databases.isEmpty()) {
                throw new ConfigException(name, value, "Name at least one database");
            }
            for (String database : databases) {
                if (database.isEmpty() || hasControlCharacter(database)) {
                    throw new ConfigException(name, value, "A database's name is not empty and holds no control characters");
                }
            }
            String problem = databasesProblem(null, null, databases);
            if (problem != null) {
                throw new ConfigException(name, value, problem);
            }
        }

        @Override
        public String toString() {
            return "a non-empty list of database file names, each once";
        }
    }

    /** Empty, or a regular file this process can read. */
    private static final class ReadableFile implements ConfigDef.Validator {
        @Override
        public void ensureValid(String name, Object value) {
            String file = (String) value;
            if (file == null || file.isEmpty()) {
                return;
            }
            Path path;
            try {
                path = Path.of(file);
            } catch (InvalidPathException notAPath) {
                throw new ConfigException(name, value, "Not a file name: " + notAPath.getMessage());
            }
            if (!Files.isRegularFile(path)) {
                throw new ConfigException(name, value, "No such file on this worker");
            }
            if (!Files.isReadable(path)) {
                throw new ConfigException(name, value, "The file cannot be read by this worker");
            }
        }

        @Override
        public String toString() {
            return "empty, or a readable file on every worker";
        }
    }

    /** A text whose problem, if any, a function of the value names; for the topic names' keys. */
    private static final class TopicNameText implements ConfigDef.Validator {
        private final Function<String, String> problem;
        private final String description;

        TopicNameText(Function<String, String> problem, String description) {
            this.problem = problem;
            this.description = description;
        }

        @Override
        public void ensureValid(String name, Object value) {
            String found = problem.apply((String) value);
            if (found != null) {
                throw new ConfigException(name, value, found);
            }
        }

        @Override
        public String toString() {
            return description;
        }
    }
}
