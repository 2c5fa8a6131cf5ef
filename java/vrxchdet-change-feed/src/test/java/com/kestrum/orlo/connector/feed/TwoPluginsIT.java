package com.kestrum.orlo.connector.feed;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotSame;

import com.kestrum.orlo.connector.tests.SampleStore;

import java.lang.reflect.Method;
import java.net.URL;
import java.net.URLClassLoader;
import java.nio.file.Path;
import java.util.List;

import org.junit.jupiter.api.Test;

/**
 * Two plugins: this class loader and one of its own (the connector jar with natives, and the change feed
 * jar) each open a feed on their own database. They share the process's one store library: closing the
 * first leaves the second polling, and after the last close a feed opens again.
 */
class TwoPluginsIT {
    @Test
    void twoClassLoadersEachPollTheirOwnFeedAndClosingOneLeavesTheOther() throws Exception {
        SampleStore store = SampleStore.create(3);
        store.admin("create-db", "plugin.tdb");
        store.admin("add", "plugin.tdb", "--count", "2");
        ClassLoader plugin = new URLClassLoader(new URL[] {jar("connector.jar"), jar("change-feed.jar")},
                                                ClassLoader.getPlatformClassLoader());
        Class<?> pluginFeedType = Class.forName(ChangeFeed.class.getName(), true, plugin);
        assertNotSame(ChangeFeed.class, pluginFeedType, "the plugin has a change feed class of its own");
        Method open = pluginFeedType.getMethod("open", String.class, String.class, String.class, Path.class);
        AutoCloseable second;
        try (ChangeFeed first = ChangeFeed.open(null, SampleStore.DATABASE, SampleStore.PASSWORD,
                                                store.folder.resolve("first.checkpoint"))) {
            second = (AutoCloseable) open.invoke(null, null, "plugin.tdb", SampleStore.PASSWORD,
                                                 store.folder.resolve("plugin.checkpoint"));
            ChangeBatch firstBatch = first.poll();
            first.commit(firstBatch);
            assertEquals(3, firstBatch.changes().size(), "the first feed lists its database");
            assertEquals(2, pollAndCommit(second), "the plugin's feed lists its own");
        }
        store.admin("add", "plugin.tdb", "--count", "1");
        assertEquals(1, pollAndCommit(second), "the plugin's feed polls after the first closed");
        second.close();
        second = (AutoCloseable) open.invoke(null, null, "plugin.tdb", SampleStore.PASSWORD,
                                             store.folder.resolve("plugin.checkpoint"));
        try (AutoCloseable again = second) {
            store.admin("add", "plugin.tdb", "--count", "1");
            assertEquals(1, pollAndCommit(again), "the plugin opens its feed again after the last close");
        }
    }

    private static URL jar(String property) throws Exception {
        return Path.of(System.getProperty(property)).toUri().toURL();
    }

    /** Polls a feed of another class loader, commits the batch and returns the number of its changes. */
    private static int pollAndCommit(Object feed) throws Exception {
        Object batch = feed.getClass().getMethod("poll").invoke(feed);
        feed.getClass().getMethod("commit", batch.getClass()).invoke(feed, batch);
        return ((List<?>) batch.getClass().getMethod("changes").invoke(batch)).size();
    }
}
