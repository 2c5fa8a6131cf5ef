package com.kestrum.orlo.connector.kafka;

import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import com.kestrum.orlo.connector.feed.ChangeFeedException;
import com.kestrum.orlo.connector.feed.ChangeFeedOptions;
import com.kestrum.orlo.connector.feed.ChangeFeedStats;
import com.kestrum.orlo.connector.feed.Isolation;
import java.lang.management.ManagementFactory;
import java.nio.file.Path;
import java.time.Duration;
import java.time.Instant;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicInteger;
import java.util.concurrent.atomic.AtomicLong;
import javax.management.JMException;
import javax.management.ObjectName;
import javax.management.StandardMBean;
import org.apache.kafka.connect.errors.ConnectException;
import org.apache.kafka.connect.source.SourceRecord;
import org.apache.kafka.connect.source.SourceTask;

/**
 * A task: follows its databases ({@link VrxchdetSourceConfig#TASK_DATABASES}), each through a change feed
 * whose store calls run in a child process of its own, so that the worker never loads the native
 * library and a native crash ends only that child (the next poll of that database starts a new one). Each
 * {@link #poll()} asks every database once and returns the records of the windows found, each window
 * whole; when none had changes, it pauses for the poll interval and returns null.
 *
 * <p>A database whose poll fails with a transient failure is skipped until its next try, after a pause
 * that doubles from the poll interval up to {@link #LONGEST_RETRY_PAUSE_MS}, while the others go on being
 * polled; when its polls have failed for longer than {@link VrxchdetSourceConfig#STORE_RETRY_TIMEOUT_MS},
 * or at once for a failure that is not transient, the task fails with a {@link ConnectException} naming
 * the database, the store's status and its message. The figures of each database are an MBean while the
 * task runs ({@link SourceDatabaseMetricsMXBean}).
 */
public final class VrxchdetSourceTask extends SourceTask {
    /** The longest pause before a failing database is tried again. */
    static final long LONGEST_RETRY_PAUSE_MS = 30_000;
    /** The domain and type of the databases' MBeans. */
    static final String METRICS_TYPE = "com.kestrum.orlo.connector.kafka:type=source-database-metrics";
    private static final System.Logger LOG = System.getLogger(VrxchdetSourceTask.class.getName());
    // How long stop() waits for the feeds' closes, which kill their children at once.
    private static final long CLOSE_WAIT_MILLIS = 10_000;

    private final Object pause = new Object();
    private volatile boolean stopping;
    private volatile List<Followed> followed = List.of();
    private long pollIntervalMs;
    private long heartbeatIntervalNanos;
    private long retryTimeoutNanos;

    /** A task, configured by {@link #start}. */
    public VrxchdetSourceTask() {
    }

    @Override
    public String version() {
        return Versions.of(getClass());
    }

    /**
     * Opens a feed for each of the task's databases, from the offset Connect holds for it, and registers
     * each database's MBean.
     *
     * @param props the task's configuration
     * @throws ConnectException when an offset does not fit or a database cannot be opened
     */
    @Override
    public void start(Map<String, String> props) {
        VrxchdetSourceConfig config = new VrxchdetSourceConfig(props);
        pollIntervalMs = config.pollIntervalMs();
        heartbeatIntervalNanos = TimeUnit.MILLISECONDS.toNanos(config.heartbeatIntervalMs());
        retryTimeoutNanos = TimeUnit.MILLISECONDS.toNanos(config.storeRetryTimeoutMs());
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
                opened.add(new Followed(database, feed, checkpoint, new ChangeRecords(server, database,
                    config.topicOf(database), config.topicPrefix(), config.tombstonesOnDelete())));
            }
        } catch (RuntimeException failure) {
            close(opened);
            throw failure;
        }
        for (Followed database : opened) {
            database.register(config.connectorName(), config.taskId());
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
        // The task pauses a failing database itself, so that it never holds up the others: the feed
        // tries each poll once, and publishes no MBean of its own (the task's name its connector).
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withIsolation(isolation).withoutMBean()
            .withRetries(0, Duration.ofMillis(100), Duration.ofSeconds(5));
        return config.startFromBeginning() ? options.withStartFromBeginning() : options.withStartFromNow();
    }

    /**
     * Asks each database once for the changes since its last window, but for the failing databases whose
     * next try is not due yet.
     *
     * @return the records of every window found, or null when there were none (after the poll interval)
     * @throws ConnectException when a database fails with a failure that is not transient, or has failed
     *                          for longer than {@link VrxchdetSourceConfig#STORE_RETRY_TIMEOUT_MS}
     * @throws InterruptedException when interrupted during the pause
     */
    @Override
    public List<SourceRecord> poll() throws InterruptedException {
        List<SourceRecord> records = new ArrayList<>();
        for (Followed database : followed) {
            if (stopping) {
                return null;
            }
            if (database.due(System.nanoTime())) {
                database.poll(records);
            }
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

    /**
     * Closes every feed, each of which ends its child process at once (a store call in flight is not
     * waited for), and unregisters the MBeans; a poll in flight returns null. The feeds are closed side by
     * side, so this takes as long as the slowest close, not their sum.
     */
    @Override
    public void stop() {
        stopping = true;
        synchronized (pause) {
            pause.notifyAll();
        }
        close(followed);
    }

    private static void close(List<Followed> databases) {
        List<Thread> closes = new ArrayList<>();
        for (Followed database : databases) {
            Thread close = new Thread(database.feed::close, "vrxchdet close of " + database.name);
            close.setDaemon(true);
            close.start();
            closes.add(close);
        }
        long end = System.nanoTime() + TimeUnit.MILLISECONDS.toNanos(CLOSE_WAIT_MILLIS);
        try {
            for (Thread close : closes) {
                TimeUnit.NANOSECONDS.timedJoin(close, Math.max(1, end - System.nanoTime()));
                if (close.isAlive()) {
                    LOG.log(System.Logger.Level.WARNING, close.getName() + " has not ended after " + CLOSE_WAIT_MILLIS + " ms");
                }
            }
        } catch (InterruptedException interrupted) {
            Thread.currentThread().interrupt();
        }
        databases.forEach(Followed::unregister);
    }

    /** The MBean name of a database of a task. */
    static ObjectName metricsName(String connector, int task, String database) throws JMException {
        return new ObjectName(METRICS_TYPE + ",connector=" + quoted(connector) + ",task=" + task + ",database="
            + quoted(database));
    }

    private static String quoted(String value) {
        return !value.isEmpty() && value.matches("[\\w .@/-]*") ? value : ObjectName.quote(value);
    }

    /** One database of the task: its feed, its checkpoint, how its windows become records, its failures. */
    private final class Followed implements SourceDatabaseMetricsMXBean {
        final String name;
        final ChangeFeed feed;
        final OffsetCheckpoint checkpoint;
        final ChangeRecords mapping;
        long lastRecordAt = System.nanoTime();
        final AtomicLong retries = new AtomicLong();
        volatile Instant lastEvent;
        // Since when the polls fail (System.nanoTime), and when the next is due; failing only when failures > 0.
        volatile long failingSince;
        final AtomicInteger failures = new AtomicInteger();
        long nextTry;
        ObjectName registered;

        Followed(String name, ChangeFeed feed, OffsetCheckpoint checkpoint, ChangeRecords mapping) {
            this.name = name;
            this.feed = feed;
            this.checkpoint = checkpoint;
            this.mapping = mapping;
        }

        boolean due(long now) {
            return failures.get() == 0 || now - nextTry >= 0;
        }

        void poll(List<SourceRecord> into) {
            ChangeBatch batch;
            try {
                batch = feed.poll();
            } catch (ChangeFeedException failure) {
                failed(failure);
                return;
            } catch (InterruptedException interrupted) {
                Thread.currentThread().interrupt();
                return;
            } catch (IllegalStateException closed) {
                if (stopping) {
                    return;
                }
                throw closed;
            }
            int failed = failures.getAndSet(0);
            if (failed > 0) {
                LOG.log(System.Logger.Level.INFO, "Polls of " + name + " succeed again after " + failed + " failures");
            }
            List<SourceRecord> records = mapping.of(batch, checkpoint.current());
            long now = System.nanoTime();
            if (!batch.changes().isEmpty()) {
                lastEvent = Instant.now();
            }
            if (records.isEmpty()) {
                if (heartbeatIntervalNanos > 0 && now - lastRecordAt >= heartbeatIntervalNanos) {
                    records = List.of(mapping.heartbeat(batch));
                }
            }
            try {
                feed.commit(batch);
            } catch (ChangeFeedException failure) {
                throw new ConnectException("A window of the database " + name + " cannot be committed: "
                    + failure.getMessage(), failure);
            } catch (IllegalStateException closed) {
                if (stopping) {
                    return;
                }
                throw closed;
            }
            if (!records.isEmpty()) {
                lastRecordAt = now;
                into.addAll(records);
            }
        }

        /**
         * A failed poll: fails the task when the failure is not transient or the database has failed for
         * longer than the retry timeout, and sets the next try otherwise.
         */
        private void failed(ChangeFeedException failure) {
            long now = System.nanoTime();
            if (!failure.isTransient() || retryTimeoutNanos == 0) {
                throw new ConnectException("Polls of the database " + name + " failed with status " + failure.statusHex()
                    + (failure.isTransient() ? "" : ", not transient") + ": " + failure.getMessage(), failure);
            }
            if (failures.get() == 0) {
                failingSince = now;
            }
            long failingFor = now - failingSince;
            if (failingFor >= retryTimeoutNanos) {
                throw new ConnectException("Polls of the database " + name + " kept failing for "
                    + TimeUnit.NANOSECONDS.toMillis(failingFor) + " ms, longer than "
                    + VrxchdetSourceConfig.STORE_RETRY_TIMEOUT_MS + " (" + TimeUnit.NANOSECONDS.toMillis(retryTimeoutNanos)
                    + " ms); the last with status " + failure.statusHex() + ": " + failure.getMessage(), failure);
            }
            int inARow = failures.incrementAndGet();
            long pauseMs = Math.min(pollIntervalMs << Math.min(inARow - 1, 20), LONGEST_RETRY_PAUSE_MS);
            long pauseNanos = Math.min(TimeUnit.MILLISECONDS.toNanos(pauseMs), retryTimeoutNanos - failingFor);
            nextTry = now + pauseNanos;
            retries.incrementAndGet();
            LOG.log(System.Logger.Level.WARNING, "A poll of " + name + " failed (" + inARow + " in a row, for "
                + TimeUnit.NANOSECONDS.toMillis(failingFor) + " ms); tried again in "
                + TimeUnit.NANOSECONDS.toMillis(pauseNanos) + " ms: " + failure.getMessage());
        }

        void register(String connector, int task) {
            try {
                ObjectName objectName = metricsName(connector, task, name);
                ManagementFactory.getPlatformMBeanServer().registerMBean(
                    new StandardMBean(this, SourceDatabaseMetricsMXBean.class, true), objectName);
                registered = objectName;
            } catch (JMException | SecurityException failure) {
                LOG.log(System.Logger.Level.WARNING, "The MBean of " + name + " could not be registered", failure);
            }
        }

        void unregister() {
            if (registered != null) {
                try {
                    ManagementFactory.getPlatformMBeanServer().unregisterMBean(registered);
                } catch (JMException | SecurityException failure) {
                    LOG.log(System.Logger.Level.WARNING, "The MBean of " + name + " could not be unregistered", failure);
                }
                registered = null;
            }
        }

        @Override
        public boolean isConnected() {
            return feed.stats().open() && failures.get() == 0;
        }

        @Override
        public long getMilliSecondsBehindSource() {
            Duration lag = feed.stats().lag();
            return lag == null ? -1 : lag.toMillis();
        }

        @Override
        public long getMilliSecondsSinceLastEvent() {
            Instant last = lastEvent;
            return last == null ? -1 : Duration.between(last, Instant.now()).toMillis();
        }

        @Override
        public long getTotalNumberOfEventsSeen() {
            return feed.stats().changesSeen();
        }

        @Override
        public long getNumberOfCommittedTransactions() {
            return feed.stats().commits();
        }

        @Override
        public long getNumberOfPolls() {
            return feed.stats().polls();
        }

        @Override
        public long getNumberOfFailedPolls() {
            return feed.stats().failedPolls();
        }

        @Override
        public long getNumberOfRetries() {
            return retries.get() + feed.stats().retries();
        }

        @Override
        public long getNumberOfResyncs() {
            return feed.stats().resyncs();
        }

        @Override
        public String getLastError() {
            ChangeFeedStats stats = feed.stats();
            return stats.lastError() == null ? null : stats.lastErrorTime() + " " + stats.lastError();
        }

        @Override
        public long getMilliSecondsFailing() {
            return failures.get() == 0 ? -1 : TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - failingSince);
        }

        @Override
        public String getCommittedUntil() {
            return feed.committedUntil();
        }
    }
}
