package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.io.BufferedInputStream;
import java.io.BufferedOutputStream;
import java.io.DataInputStream;
import java.io.DataOutputStream;
import java.io.FileInputStream;
import java.io.FileOutputStream;
import java.io.IOException;
import java.util.List;
import java.util.concurrent.BlockingQueue;
import java.util.concurrent.LinkedBlockingQueue;

/**
 * The child of an isolated feed: opens one database through the connector class and answers the feed's
 * searches. Started by {@link ChildProcessCalls} with the framing's output on file descriptor 3 (the
 * native library's trace goes to descriptor 1, which the start joins to standard error) and requests on
 * standard input. The end of standard input is its parent's end: the child halts at once, even in the
 * middle of a store call.
 */
final class ChildMain {
    /** Exit status when the parent's first bytes are not the framing's. */
    static final int WRONG_FRAMING = 3;

    private ChildMain() {
    }

    /**
     * Runs the child.
     *
     * @param args the file the framing is written to ({@code /dev/fd/3})
     * @throws IOException never in practice: every failure to talk to the parent halts the child
     */
    public static void main(String[] args) throws IOException {
        DataOutputStream out;
        DataInputStream in;
        try {
            out = new DataOutputStream(new BufferedOutputStream(new FileOutputStream(args[0]), 1 << 16));
            in = new DataInputStream(new BufferedInputStream(new FileInputStream(java.io.FileDescriptor.in), 1 << 12));
            ChildProtocol.hello(out);
            String wrong = ChildProtocol.checkHello(in);
            if (wrong != null) {
                System.err.println("vrxchdet child: " + wrong);
                Runtime.getRuntime().halt(WRONG_FRAMING);
            }
        } catch (IOException failure) {
            System.err.println("vrxchdet child: cannot talk to the feed: " + failure);
            Runtime.getRuntime().halt(WRONG_FRAMING);
            return;
        }
        BlockingQueue<ChildProtocol.Received> requests = new LinkedBlockingQueue<>();
        Thread reader = new Thread(() -> readRequests(in, requests), "vrxchdet child requests");
        reader.setDaemon(true);
        reader.start();
        try {
            serve(requests, out);
        } catch (IOException parentGone) {
            // A broken pipe: nobody is left to answer.
            System.err.println("vrxchdet child: " + parentGone);
            Runtime.getRuntime().halt(1);
        } catch (Throwable fatal) { // out of memory, a broken request: told to the feed, which ends this child
            System.err.println("vrxchdet child: " + fatal);
            try {
                failed(out, ChildProtocol.DYING, fatal.toString());
            } catch (Throwable alsoFailed) { // the pipe may be gone too: nothing is left to tell
                System.err.println("vrxchdet child: " + alsoFailed);
            }
            Runtime.getRuntime().halt(1);
        }
    }

    /** Queues each request; at the end of standard input, or a close, stops. The end halts the child. */
    private static void readRequests(DataInputStream in, BlockingQueue<ChildProtocol.Received> requests) {
        try {
            while (true) {
                ChildProtocol.Received request = ChildProtocol.read(in);
                requests.add(request);
                if (request.type == ChildProtocol.CLOSE) {
                    return;
                }
            }
        } catch (IOException parentGone) {
            Runtime.getRuntime().halt(0);
        }
    }

    private static void serve(BlockingQueue<ChildProtocol.Received> requests, DataOutputStream out)
            throws IOException, InterruptedException {
        VarnexChangeDetectionConnector connector = null;
        boolean open = false;
        while (true) {
            ChildProtocol.Received request = requests.take();
            switch (request.type) {
                case ChildProtocol.OPEN: {
                    String server = request.string();
                    String database = request.string();
                    String password = request.string();
                    try {
                        if (connector == null) {
                            connector = new VarnexChangeDetectionConnector();
                        }
                        connector.initTesra(server.isEmpty() ? null : server, database, password);
                        open = true;
                        System.err.println("vrxchdet child: " + database + " open");
                        new ChildProtocol.Frame(ChildProtocol.OPENED).sendTo(out);
                    } catch (Exception failure) {
                        failed(out, ChildProtocol.STORE_FAILURE, String.valueOf(failure.getMessage()));
                    } catch (LinkageError failure) {
                        failed(out, ChildProtocol.OTHER_FAILURE, "the native library did not load: " + failure.getMessage());
                    }
                    break;
                }
                case ChildProtocol.SEARCH: {
                    String since = request.flag() ? request.string() : null;
                    if (!open) {
                        failed(out, ChildProtocol.OTHER_FAILURE, "a search before the database was opened");
                        break;
                    }
                    search(connector, since, out);
                    break;
                }
                case ChildProtocol.CLOSE:
                    if (open) {
                        connector.termTesra();
                    }
                    new ChildProtocol.Frame(ChildProtocol.CLOSED).sendTo(out);
                    Runtime.getRuntime().halt(0);
                    break;
                default:
                    failed(out, ChildProtocol.OTHER_FAILURE, "unknown request type " + request.type);
            }
        }
    }

    private static void search(VarnexChangeDetectionConnector connector, String since, DataOutputStream out)
            throws IOException {
        @SuppressWarnings("JdkObsolete") // the connector's method, fixed, takes a StringBuffer
        StringBuffer endText = new StringBuffer();
        List<String> entries;
        try {
            entries = connector.getModifiedTesra(since, endText);
        } catch (Exception failure) {
            failed(out, ChildProtocol.STORE_FAILURE, String.valueOf(failure.getMessage()));
            return;
        }
        int size = entries.size();
        for (int first = 0; first < size; first += ChildProtocol.CHUNK) {
            int last = Math.min(size, first + ChildProtocol.CHUNK);
            ChildProtocol.Frame chunk = new ChildProtocol.Frame(ChildProtocol.ENTRIES).integer(last - first);
            for (int i = first; i < last; ++i) {
                chunk.string(entries.get(i));
            }
            chunk.sendTo(out);
        }
        new ChildProtocol.Frame(ChildProtocol.END).string(endText.toString()).sendTo(out);
    }

    private static void failed(DataOutputStream out, byte kind, String message) throws IOException {
        new ChildProtocol.Frame(ChildProtocol.FAILED).octet(kind).string(message).sendTo(out);
    }
}
