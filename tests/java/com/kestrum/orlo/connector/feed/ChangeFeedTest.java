package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.tests.SampleStore;

import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.Vector;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;

import org.junit.jupiter.api.BeforeEach;
import org.junit.jupiter.api.Test;

/** The change feed over the native library and a local store of five records. */
class ChangeFeedTest {
    static final Path ADMIN = Path.of(System.getProperty("tesra.admin"));
    private static final String DATABASE = SampleStore.DATABASE;

    private SampleStore store;
    private Path checkpoint;

    @BeforeEach
    void createStore() throws Exception {
        store = SampleStore.create(ADMIN, 5);
        checkpoint = store.folder.resolve("feed.checkpoint");
    }

    private ChangeFeed open() throws Exception {
        return ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint);
    }

    private static List<Long> recordIds(ChangeBatch batch) {
        return batch.changes().stream().map(Change::recordId).toList();
    }

    @Test
    void batchesFollowTheirCommitsAndARestartResumesFromTheLast() throws Exception {
        String lastUntil;
        try (ChangeFeed feed = open()) {
            assertNull(feed.committedUntil());
            ChangeBatch first = feed.poll();
            assertNull(first.since());
            assertFalse(first.resync());
            assertEquals(List.of(1L, 2L, 3L, 4L, 5L), recordIds(first));
            assertTrue(first.changes().stream().noneMatch(Change::deleted));
            feed.commit(first);
            assertEquals(first.until() + "\n", Files.readString(checkpoint, StandardCharsets.UTF_8));

            store.admin("delete", DATABASE, "2");
            store.admin("change", DATABASE, "4");
            ChangeBatch second = feed.poll();
            assertEquals(first.until(), second.since());
            assertEquals(List.of(new Change(first.changes().get(1).universalId(), 2, true), first.changes().get(3)),
                         second.changes());
            assertThrows(IllegalArgumentException.class, () -> feed.commit(first));
            feed.commit(second);
            lastUntil = second.until();
        }
        try (ChangeFeed feed = open()) {
            assertEquals(lastUntil, feed.committedUntil());
            ChangeBatch resumed = feed.poll();
            assertEquals(lastUntil, resumed.since());
            assertEquals(List.of(), resumed.changes());
        }
    }

    @Test
    void aBatchNotCommittedIsDeliveredAgainAfterARestart() throws Exception {
        String committed;
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            committed = feed.committedUntil();
            store.admin("change", DATABASE, "3");
            assertEquals(List.of(3L), recordIds(feed.poll()));
        }
        store.admin("change", DATABASE, "1");
        try (ChangeFeed feed = open()) {
            ChangeBatch again = feed.poll();
            assertEquals(committed, again.since());
            assertEquals(List.of(3L, 1L), recordIds(again));
        }
    }

    @Test
    void aPurgedHistoryTurnsIntoAFullListingMarkedResync() throws Exception {
        try (ChangeFeed feed = open()) {
            feed.commit(feed.poll());
            store.admin("delete", DATABASE, "2");
            String until = feed.poll().until();
            // The purge removes the deletion record and cuts the history the committed end text points into.
            store.admin("purge", DATABASE, "--before", until.substring(0, until.length() - 1));
        }
        ChangeFeedOptions noResync = ChangeFeedOptions.defaults().withResyncStatuses();
        try (ChangeFeed feed = ChangeFeed.open(null, DATABASE, SampleStore.PASSWORD, checkpoint, noResync)) {
            assertEquals(ChangeFeedOptions.RESYNCHRONISE, assertThrows(ChangeFeedException.class, feed::poll).status());
        }
        try (ChangeFeed feed = open()) {
            ChangeBatch resync = feed.poll();
            assertTrue(resync.resync());
            assertNull(resync.since());
            assertEquals(List.of(1L, 3L, 4L, 5L), recordIds(resync));
            assertTrue(resync.changes().stream().noneMatch(Change::deleted));
            feed.commit(resync);
            ChangeBatch next = feed.poll();
            assertFalse(next.resync());
            assertEquals(resync.until(), next.since());
        }
    }

    @Test
    void aLockedDatabaseIsRetriedAndItsChangesDelivered() throws Exception {
        LockedAtFirst connector = new LockedAtFirst(2);
        ChangeFeedOptions options = ChangeFeedOptions.defaults().withRetries(2, Duration.ofMillis(1), Duration.ofMillis(2));
        try (ChangeFeed feed = ChangeFeed.open(connector, null, DATABASE, SampleStore.PASSWORD, checkpoint, options)) {
            assertEquals(5, feed.poll().changes().size());
            assertEquals(3, connector.calls);
        }
    }

    @Test
    void oneFeedAtATimeAndOneCallAtATime() throws Exception {
        ChangeFeedException wrongPassword = assertThrows(ChangeFeedException.class,
            () -> ChangeFeed.open(null, DATABASE, "not it", checkpoint));
        assertEquals(0x0112, wrongPassword.status());

        ChangeFeed feed = open();
        try {
            IllegalStateException second = assertThrows(IllegalStateException.class,
                () -> ChangeFeed.open("north", "other.tdb", SampleStore.PASSWORD, checkpoint));
            assertTrue(second.getMessage().contains(DATABASE), second.getMessage());

            // Polls on several threads, and a close among them: each poll runs whole, before or after the close.
            ExecutorService threads = Executors.newFixedThreadPool(4);
            List<Future<?>> pollers = new ArrayList<>();
            for (int i = 0; i < 4; ++i) {
                pollers.add(threads.submit(() -> {
                    try {
                        for (int poll = 0; poll < 50; ++poll) {
                            assertEquals(5, feed.poll().changes().size());
                        }
                    } catch (IllegalStateException closed) {
                        assertTrue(closed.getMessage().contains("closed"), closed.getMessage());
                    }
                    return null;
                }));
            }
            Thread.sleep(50);
            feed.close();
            threads.shutdown();
            for (Future<?> poller : pollers) {
                poller.get();
            }
        } finally {
            feed.close();
        }
        assertThrows(IllegalStateException.class, feed::poll);
        try (ChangeFeed again = open()) {
            assertEquals(5, again.poll().changes().size());
        }
    }

    @Test
    void anEntryNotOfTheEntryFormThrows() throws Exception {
        String universalId = "000B4A76005C144AAE74F9F100000001";
        assertEquals(new Change(universalId, 0xFFFFFFFFL, true), Change.parse(universalId + ":FFFFFFFF:DEL"));
        assertEquals(new Change(universalId.toLowerCase(), 0x2A, false), Change.parse(universalId.toLowerCase() + ":2a:NOR"));
        for (String bad : new String[] {"", universalId.substring(1) + ":1:NOR", universalId + "0:1:NOR",
                                        universalId.replace('B', 'G') + ":1:NOR", universalId + "::NOR",
                                        universalId + ":100000000:NOR", universalId + ":-1:NOR", universalId + ":1:MOD",
                                        universalId + ":1:NOR ", universalId + ":1:NOR:1", universalId + ":1",
                                        universalId + ":+1:NOR", universalId + ":\uFF11:NOR", universalId + ":1:del"}) {
            assertThrows(IllegalArgumentException.class, () -> Change.parse(bad), bad);
        }

        VarnexChangeDetectionConnector addsABadEntry = new VarnexChangeDetectionConnector() {
            @Override
            public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
                Vector<String> entries = super.getModifiedTesra(since, endText);
                entries.add(universalId + ":6:MOD");
                return entries;
            }
        };
        try (ChangeFeed feed = ChangeFeed.open(addsABadEntry, null, DATABASE, SampleStore.PASSWORD, checkpoint,
                                               ChangeFeedOptions.defaults())) {
            ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
            assertTrue(failure.getMessage().contains(":6:MOD"), failure.getMessage());
            assertNull(feed.committedUntil());
        }
    }

    /** Fails its first queries as the native library does when the store stays locked. */
    private static final class LockedAtFirst extends VarnexChangeDetectionConnector {
        private final int lockedCalls;
        int calls;

        LockedAtFirst(int lockedCalls) {
            this.lockedCalls = lockedCalls;
        }

        @Override
        public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
            if (++calls <= lockedCalls) {
                throw new Exception(
                    "Native call QRVSearch failed with error: code 336, 'The database stayed locked by another process'");
            }
            return super.getModifiedTesra(since, endText);
        }
    }
}
