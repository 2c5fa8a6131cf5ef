package example;

import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import java.nio.file.Paths;

/** Polls once through the change feed, commits, and reports the batch on standard error. */
public final class Consumer {
    public static void main(String[] args) throws Exception {
        try (ChangeFeed feed = ChangeFeed.open(null, args[0], args[1], Paths.get(args[2]))) {
            ChangeBatch batch = feed.poll();
            feed.commit(batch);
            System.err.println("polled " + batch.changes().size() + " changes");
        }
    }
}
