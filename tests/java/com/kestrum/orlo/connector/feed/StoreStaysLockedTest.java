package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;
import com.kestrum.orlo.connector.tests.SampleStore;

import java.nio.file.Path;
import java.time.Duration;
import java.util.Vector;

import org.junit.jupiter.api.Test;

/** Runs with TESRA_FAULTS making every search of the local store fail as locked. */
class StoreStaysLockedTest {
    @Test
    void lockedIsRetriedUpToTheLimitAndOtherStatusesAreNot() throws Exception {
        SampleStore store = SampleStore.create(ChangeFeedTest.ADMIN, 1);
        Path checkpoint = store.folder.resolve("feed.checkpoint");
        ChangeFeedOptions threeRetries = ChangeFeedOptions.defaults().withRetries(3, Duration.ofMillis(1), Duration.ofMillis(4));
        for (ChangeFeedOptions options : new ChangeFeedOptions[] {threeRetries, threeRetries.withTransientStatuses(0x0124)}) {
            CountingConnector connector = new CountingConnector();
            try (ChangeFeed feed = ChangeFeed.open(connector, null, SampleStore.DATABASE, SampleStore.PASSWORD, checkpoint,
                                                   options)) {
                ChangeFeedException failure = assertThrows(ChangeFeedException.class, feed::poll);
                assertEquals(ChangeFeedOptions.DATABASE_LOCKED, failure.status());
                assertTrue(failure.getMessage().startsWith("Native call QRVSearch failed with error: code 336, 'The database"),
                           failure.getMessage());
                assertEquals(options.transientStatuses().contains(0x0150) ? 4 : 1, connector.calls);
            }
        }
    }

    private static final class CountingConnector extends VarnexChangeDetectionConnector {
        int calls;

        @Override
        public Vector<String> getModifiedTesra(String since, StringBuffer endText) throws Exception {
            ++calls;
            return super.getModifiedTesra(since, endText);
        }
    }
}
