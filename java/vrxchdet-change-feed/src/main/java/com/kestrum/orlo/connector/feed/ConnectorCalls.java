package com.kestrum.orlo.connector.feed;

import com.kestrum.orlo.connector.VarnexChangeDetectionConnector;

import java.util.List;
import java.util.function.Consumer;

/** The store calls made in this JVM, through the connector class. */
final class ConnectorCalls implements StoreCalls {
    private final VarnexChangeDetectionConnector connector;
    private boolean open;

    ConnectorCalls(VarnexChangeDetectionConnector connector) {
        this.connector = connector;
    }

    @Override
    public void open(String server, String database, String password, long deadline) throws Exception {
        connector.initTesra(server, database, password);
        open = true;
    }

    @Override
    public boolean isOpen() {
        return open;
    }

    @Override
    public void search(String since, StringBuilder endText, Consumer<String> entries, long deadline) throws Exception {
        @SuppressWarnings("JdkObsolete") // the connector's method, fixed, takes a StringBuffer
        StringBuffer end = new StringBuffer();
        List<String> found = connector.getModifiedTesra(since, end);
        for (String entry : found) {
            entries.accept(entry);
        }
        endText.append(end);
    }

    @Override
    public void close() {
        if (open) {
            connector.termTesra();
            open = false;
        }
    }

    @Override
    public void abort() {
        // A native call cannot be cut short: close waits for it.
    }

    @Override
    public boolean isolated() {
        return false;
    }

    @Override
    public String tesraIni() {
        return System.getenv("TESRA_INI");
    }
}
