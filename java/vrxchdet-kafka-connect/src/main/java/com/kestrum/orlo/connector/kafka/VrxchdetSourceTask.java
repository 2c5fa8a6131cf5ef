package com.kestrum.orlo.connector.kafka;

import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import com.kestrum.orlo.connector.feed.ChangeFeedException;
import com.kestrum.orlo.connector.feed.ChangeFeedOptions;
import com.kestrum.orlo.connector.feed.Isolation;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import org.apache.kafka.connect.errors.ConnectException;
import org.apache.kafka.connect.source.SourceRecord;
import org.apache.kafka.connect.source.SourceTask;

/**
 * A task: follows its databases ({@link VrxchdetSourceConfig#TASK_DATABASES}), each through a change feed
 * whose store calls run in a child process of its own, so that the worker never loads the native
 * library and a native crash ends only that child. Each {@link #poll()} asks every database once and
 * returns the records of the windows found, each window whole; when none had changes, it pauses for the
 * poll interval and returns null.
 */
public final class VrxchdetSourceTask extends SourceTask {
    private static final System.Logger LOG = System.getLogger(VrxchdetSourceTask.class.getName());

    private final Object pause = new Object();
    private volatile boolean stopping;
    private List<Followed> followed = List.of();
    private long pollIntervalMs;
    private long heartbeatIntervalNanos;

    /** A task, configured by {@link #start}. */
    public VrxchdetSourceTask() {
    }

    @Override
    public String version() {
        return Versions.of(getClass());
    }

    /**
     * Opens a feed for each of the task's databases, from the offset Connect holds for it.
     *
     * @param props the task's configuration
     * @throws ConnectException when an offset does not fit or a database cannot be opened
     */
    @Override
    public void start(Map<String, String> props) {
        VrxchdetSourceConfig config = new VrxchdetSourceConfig(props);
        pollIntervalMs = config.pollIntervalMs();
        heartbeatIntervalNanos = TimeUnit.MILLISECONDS.toNanos(config.heartbeatIntervalMs());
        String server = config.server();
        List<Map<String, String>> partitions = new ArrayList<>();
        for (String database : config.taskDatabases()) {
            partitions.add(SourceOffsets.partition(server, database));
        }
        Map<Map<String, String>, Map<String, Object>> offsets = context.offsetStorageReader().offsets(partitions);
        ChangeFeedOptions options = options(config);
        List<Followed> opened = new ArrayList<>();
        try {
            for (Map<String, String> partition : partitions) {
                String database = partition.get(SourceOffsets.DATABASE);
                OffsetCheckpoint checkpoint = new OffsetCheckpoint(database,
                    SourceOffsets.endText(partition, offsets == null ? null : offsets.get(partition)));
                char[] password = config.password().value().toCharArray();
                ChangeFeed feed;
                try {
                    feed = ChangeFeed.builder().server(server).database(database).password(password)
                        .checkpoint(checkpoint).options(options).open();
                } catch (ChangeFeedException failure) {
                    // The feed's message names the database and the store's status.
                    throw new ConnectException("The database " + database + " cannot be opened: " + failure.getMessage(),
                        failure);
                } finally {
                    Arrays.fill(password, '\0');
                }
                opened.add(new Followed(feed, checkpoint,
                    new ChangeRecords(server, database, config.topicPrefix(), config.tombstonesOnDelete())));
            }
        } catch (RuntimeException failure) {
            opened.forEach(f -> f.feed.close());
            throw failure;
        }
        stopping = false;
        followed = List.copyOf(opened);
    }

    private static ChangeFeedOptions options(VrxchdetSourceConfig config) {
        Isolation isolation = Isolation.childProcess().withTraceToLogger();
        Path ini = config.tesraIni();
        if (ini != null) {
            isolation = isolation.withTesraIni(ini);
        }
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withIsolation(isolation);
        return config.startFromBeginning() ? options.withStartFromBeginning() : options.withStartFromNow();
    }

    /**
     * Asks each database once for the changes since its last window.
     *
     * @return the records of every window found, or null when there were none (after the poll interval)
     * @throws ConnectException when a database fails with a failure that is not transient
     * @throws InterruptedException when interrupted during the pause
     */
    @Override
    public List<SourceRecord> poll() throws InterruptedException {
        List<SourceRecord> records = new ArrayList<>();
        for (Followed database : followed) {
            if (stopping) {
                return null;
            }
            database.poll(records);
        }
        if (!records.isEmpty()) {
            return records;
        }
        synchronized (pause) {
            long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(pollIntervalMs);
            for (long left = pollIntervalMs; !stopping && left > 0;
                 left = TimeUnit.NANOSECONDS.toMillis(end - System.nanoTime())) {
                pause.wait(left);
            }
        }
        return null;
    }

    /** Closes every feed, which ends its child process; a poll in flight returns null. */
    @Override
    public void stop() {
        stopping = true;
        synchronized (pause) {
            pause.notifyAll();
        }
        for (Followed database : followed) {
            database.feed.close();
        }
    }

    /** One database of the task: its feed, its checkpoint and how its windows become records. */
    private final class Followed {
        final ChangeFeed feed;
        final OffsetCheckpoint checkpoint;
        final ChangeRecords mapping;
        long lastRecordAt = System.nanoTime();

        Followed(ChangeFeed feed, OffsetCheckpoint checkpoint, ChangeRecords mapping) {
            this.feed = feed;
            this.checkpoint = checkpoint;
            this.mapping = mapping;
        }

        void poll(List<SourceRecord> into) throws InterruptedException {
            ChangeBatch batch;
            try {
                batch = feed.poll();
            } catch (ChangeFeedException failure) {
                if (failure.isTransient()) {
                    LOG.log(System.Logger.Level.WARNING, "A poll failed and is tried again: " + failure.getMessage());
                    return;
                }
                // The feed's message names the database and the store's status.
                throw new ConnectException("A poll failed: " + failure.getMessage(), failure);
            } catch (IllegalStateException closed) {
                if (stopping) {
                    return;
                }
                throw closed;
            }
            List<SourceRecord> records = mapping.of(batch, checkpoint.current());
            long now = System.nanoTime();
            if (records.isEmpty()) {
                if (heartbeatIntervalNanos > 0 && now - lastRecordAt >= heartbeatIntervalNanos) {
                    records = List.of(mapping.heartbeat(batch));
                }
            }
            try {
                feed.commit(batch);
            } catch (ChangeFeedException failure) {
                throw new ConnectException("A window cannot be committed: " + failure.getMessage(), failure);
            }
            if (!records.isEmpty()) {
                lastRecordAt = now;
                into.addAll(records);
            }
        }
    }
}
