package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertInstanceOf;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.tests.SampleStore;

import java.nio.file.Path;
import java.time.Duration;
import java.util.List;
import java.util.Vector;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;

import org.junit.jupiter.api.Test;

/** Runs with TESRA_FAULTS making every search of the local store fail as locked. */
class StoreStaysLockedIT {
    private static final Duration SLACK = Duration.ofMillis(100);

    @Test
    void lockedIsRetriedUpToTheLimitWithDoublingPausesAndOtherStatusesAreNot() throws Exception {
        SampleStore store = SampleStore.create(1);
        Path checkpoint = store.folder.resolve("feed.checkpoint");
        ChangeFeedOptions threeRetries = ChangeFeedOptions.defaults().withRetries(3, Duration.ofMillis(1), Duration.ofMillis(4));
        for (ChangeFeedOptions options : new ChangeFeedOptions[] {threeRetries, threeRetries.withTransientStatuses(0x0124)}) {
            ChangeFeedTest.CountingConnector connector = new ChangeFeedTest.CountingConnector();
            ChangeFeedTest.Warnings logged = new ChangeFeedTest.Warnings();
            try (ChangeFeed feed = ChangeFeedTest.sample().connector(connector).checkpoint(checkpoint).options(options)
                     .open()) {
                ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
                assertEquals(ChangeFeedOptions.DATABASE_LOCKED, failure.status());
                assertTrue(failure.getMessage().startsWith("Native call QRVSearch failed with error: code 336, 'The database"),
                           failure.getMessage());
                boolean retried = options.transientStatuses().contains(0x0150);
                assertEquals(retried, failure.isTransient());
                assertEquals(retried ? 4 : 1, connector.calls);
                List<Object> pauses = logged.records.stream().filter(record -> record.getMessage().startsWith("Retry"))
                    .map(record -> record.getParameters()[3]).toList();
                assertEquals(retried ? List.of(1L, 2L, 4L) : List.of(), pauses, "the pauses logged before each retry");
                assertEquals(retried ? 3 : 0, feed.stats().retries());
            } finally {
                logged.close();
            }
        }
    }

    @Test
    void thePollTimeoutEndsTheRetriesWithTheLastStatus() throws Exception {
        SampleStore store = SampleStore.create(1);
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withRetries(1000, Duration.ofMillis(50), Duration.ofMillis(100))
            .withPollTimeout(Duration.ofMillis(700));
        try (ChangeFeed feed = ChangeFeed.open(null, SampleStore.DATABASE, SampleStore.PASSWORD,
                                               store.folder.resolve("feed.checkpoint"), options)) {
            long start = System.nanoTime();
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
            long millis = TimeUnit.NANOSECONDS.toMillis(System.nanoTime() - start);
            System.err.printf("a poll with a timeout of 700 ms gave up after %d ms and %d retries%n", millis,
                              feed.stats().retries());
            assertEquals(ChangeFeedOptions.DATABASE_LOCKED, failure.status());
            assertTrue(failure.getMessage().startsWith("The poll timeout of 700 ms ran out after "), failure.getMessage());
            assertEquals(1, feed.stats().failedPolls());
            assertTrue(millis < 700 + 1000, millis + " ms");
            assertTrue(feed.stats().retries() >= 5, feed.stats().toString());
        }
    }

    @Test
    void closeDuringARetryingPollWakesItsPauseAndWaitsOnlyForTheNativeCallInFlight() throws Exception {
        SampleStore store = SampleStore.create(1);
        ChangeFeedOptions patient = ChangeFeedOptions.defaults().withRetries(1000, Duration.ofSeconds(2), Duration.ofSeconds(5))
            .withPollTimeout(Duration.ofMinutes(5));
        TimedConnector connector = new TimedConnector();
        ChangeFeed feed = ChangeFeedTest.sample().connector(connector).checkpoint(store.folder.resolve("feed.checkpoint"))
            .options(patient).open();
        ExecutorService poller = Executors.newSingleThreadExecutor();
        try {
            AtomicReference<Thread> polling = new AtomicReference<>();
            Future<ChangeBatch> poll = poller.submit(() -> {
                polling.set(Thread.currentThread());
                return feed.poll();
            });
            // Closed while the poll sleeps in its pause, not before it begins to.
            long giveUp = System.nanoTime() + TimeUnit.SECONDS.toNanos(30);
            while (feed.stats().retries() < 1 || polling.get().getState() != Thread.State.TIMED_WAITING) {
                assertTrue(System.nanoTime() < giveUp, "waited 30 s for the poll to pause before its first retry");
                Thread.sleep(1);
            }
            long readStart = System.nanoTime();
            feed.committedUntil();
            feed.stats();
            long readNanos = System.nanoTime() - readStart;

            long closeStart = System.nanoTime();
            feed.close();
            long closeNanos = System.nanoTime() - closeStart;
            ExecutionException ended = assertThrows(ExecutionException.class, () -> poll.get(1, TimeUnit.SECONDS),
                                                    "the poll to end within 1 s of close, woken from its 2 s pause");
            assertInstanceOf(IllegalStateException.class, ended.getCause());
            System.err.printf("close() during a retrying poll: %.2f ms (longest search %.2f ms, its own close %.2f ms); "
                              + "committedUntil() and stats(): %.3f ms%n", closeNanos / 1e6, connector.longestSearch / 1e6,
                              connector.termNanos / 1e6, readNanos / 1e6);
            assertTrue(closeNanos <= connector.longestSearch + connector.termNanos + SLACK.toNanos(), closeNanos + " ns");
            assertTrue(readNanos < SLACK.toNanos(), readNanos + " ns");
        } finally {
            feed.close();
            poller.shutdownNow();
        }
    }

    /** Times its searches and its close. */
    private static final class TimedConnector extends VarnexChangeDetectionConnector {
        volatile long longestSearch;
        volatile long termNanos;

        @Override
        public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
            long start = System.nanoTime();
            try {
                return super.getModifiedTesra(since, endText);
            } finally {
                longestSearch = Math.max(longestSearch, System.nanoTime() - start);
            }
        }

        @Override
        public void termTesra() {
            long start = System.nanoTime();
            super.termTesra();
            termNanos = System.nanoTime() - start;
        }
    }
}
