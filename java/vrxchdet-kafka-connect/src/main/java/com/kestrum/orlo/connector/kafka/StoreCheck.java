package com.kestrum.orlo.connector.kafka;

import com.kestrum.orlo.connector.feed.ChangeFeed;
import com.kestrum.orlo.connector.feed.ChangeFeedException;
import com.kestrum.orlo.connector.feed.ChangeFeedOptions;
import com.kestrum.orlo.connector.feed.Isolation;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.Set;
import java.util.concurrent.TimeUnit;

/**
 * Opens each database of a configuration the way a task would, through an isolated feed (so this JVM
 * never loads the native library), starting "now" so that nothing is listed, polls once and closes it at
 * once; and tells which configuration key each failure belongs to.
 */
final class StoreCheck {
    private static final System.Logger LOG = System.getLogger(StoreCheck.class.getName());
    /** Statuses of an ID file or store configuration that cannot be read or is out of range. */
    private static final Set<Integer> CONFIGURATION_STATUSES = Set.of(ChangeFeedException.CONFIGURATION_UNREADABLE,
        ChangeFeedException.CONFIGURATION_INVALID, ChangeFeedException.ID_FILE_MISSING,
        ChangeFeedException.ID_FILE_DAMAGED, ChangeFeedException.ID_FILE_OLD_FORMAT,
        ChangeFeedException.NO_DATA_DIRECTORY);
    /** The longest a database's open and poll may take. */
    private static final Duration LONGEST_OPEN = Duration.ofSeconds(20);

    private StoreCheck() {
    }

    /**
     * Opens each database and says what failed.
     *
     * @param server    the server, empty for the local store
     * @param databases the databases
     * @param tesraIni  the store's configuration file, or null for the worker's
     * @param password  the password
     * @param budget    how long the whole check may take; databases not reached by then are not checked
     * @return the error messages of each key at fault, in the order found; empty when every database opened
     * @throws InterruptedException when interrupted
     */
    static Map<String, List<String>> problems(String server, List<String> databases, Path tesraIni, String password,
                                              Duration budget) throws InterruptedException {
        Map<String, List<String>> problems = new LinkedHashMap<>();
        long end = System.nanoTime() + budget.toNanos();
        for (String database : databases) {
            long left = end - System.nanoTime();
            if (left <= TimeUnit.SECONDS.toNanos(1)) {
                LOG.log(System.Logger.Level.INFO, "The check of the store ran out of time before " + database
                    + "; it and the databases after it are not checked");
                break;
            }
            Duration timeout = Duration.ofNanos(Math.min(left, LONGEST_OPEN.toNanos()));
            ChangeFeedException failure = open(server, database, tesraIni, password, timeout);
            if (failure == null) {
                continue;
            }
            String key = keyAtFault(failure.status());
            problems.computeIfAbsent(key, k -> new ArrayList<>()).add(message(key, database, failure));
            if (!VrxchdetSourceConfig.DATABASES.equals(key)) {
                break; // every other database would fail the same way
            }
        }
        return problems;
    }

    /** The configuration key a store status belongs to. */
    static String keyAtFault(int status) {
        if (status == ChangeFeedException.WRONG_PASSWORD) {
            return VrxchdetSourceConfig.PASSWORD;
        } else if (CONFIGURATION_STATUSES.contains(status)) {
            return VrxchdetSourceConfig.TESRA_INI;
        } else if (status == ChangeFeedException.UNKNOWN_SERVER) {
            return VrxchdetSourceConfig.SERVER;
        }
        return VrxchdetSourceConfig.DATABASES;
    }

    private static String message(String key, String database, ChangeFeedException failure) {
        String status = "status " + failure.statusHex() + ": " + failure.getMessage();
        return switch (key) {
            case VrxchdetSourceConfig.PASSWORD -> "The password does not open the store's ID file (" + status + ")";
            case VrxchdetSourceConfig.TESRA_INI ->
                "The store cannot read its configuration or the ID file it names (" + status + ")";
            case VrxchdetSourceConfig.SERVER -> "The store's configuration does not name this server (" + status + ")";
            default -> failure.status() == ChangeFeedException.NO_SUCH_DATABASE
                ? "The database " + database + " does not exist (" + status + ")"
                : "The database " + database + " cannot be opened (" + status + ")";
        };
    }

    /** Opens, polls and closes one database; the failure, or null when it opened. */
    private static ChangeFeedException open(String server, String database, Path tesraIni, String password,
                                            Duration timeout) throws InterruptedException {
        Isolation isolation = Isolation.childProcess().withTraceToLogger();
        if (tesraIni != null) {
            isolation = isolation.withTesraIni(tesraIni);
        }
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withIsolation(isolation).withStartFromNow()
            .withoutMBean().withRetries(0, Duration.ofMillis(100), Duration.ofSeconds(1)).withPollTimeout(timeout);
        char[] characters = password.toCharArray();
        try (ChangeFeed feed = ChangeFeed.builder().server(server).database(database).password(characters)
                 .checkpoint(new OffsetCheckpoint(database, null)).options(options).open()) {
            feed.poll();
            return null;
        } catch (ChangeFeedException failure) {
            return failure;
        } finally {
            Arrays.fill(characters, '\0');
        }
    }
}
