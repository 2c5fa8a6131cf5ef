package example;

import com.kestrum.orlo.connector.feed.ChangeBatch;
import com.kestrum.orlo.connector.feed.ChangeFeed;
import java.nio.file.Paths;

/** Polls once through the change feed, commits, and reports the batch on standard error. */
public final class Consumer {
    public static void main(String[] args) throws Exception {
        try (ChangeFeed feed = ChangeFeed.builder().database(args[0]).password(args[1].toCharArray())
                 .checkpoint(Paths.get(args[2])).open()) {
            ChangeBatch batch = feed.poll();
            feed.commit(batch);
            System.err.println("polled " + batch.changes().size() + " changes");
        }
    }
}
