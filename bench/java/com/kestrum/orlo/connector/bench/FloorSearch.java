package com.kestrum.orlo.connector.bench;

import java.util.Vector;

/**
 * The floor of a change query: the same store search as the bridge's, adding a fixed entry of 39
 * characters to the Vector for every record, with no formatting and no trace; and the limit, which
 * adds each record's own entry and writes the bridge's trace lines, byte for byte.
 */
final class FloorSearch {
    static {
        System.loadLibrary("vrxchdet_floor");
    }

    private FloorSearch() {}

    /** Opens a database of the store runtime the bridge has started; returns its handle. */
    static native int openDatabase(String path);

    static native void closeDatabase(int handle);

    /** Adds one entry per record changed since the beginning. */
    static native void search(int handle, Vector<String> entries);

    /**
     * Adds each record's entry, changed since the beginning, and writes the lines the bridge's trace
     * of that query holds to standard output, each line in one write.
     */
    static native void searchTracing(int handle, Vector<String> entries);

    /** Opens a file, device or named pipe for writing; returns its descriptor. */
    static native int openForWriting(String path);

    static native void closeDescriptor(int descriptor);

    /**
     * Points standard output at the descriptor, or back where it was for -1; buffered output is
     * written out first, so the trace keeps its order.
     */
    static native void pointStandardOutputAt(int descriptor);

    /** Bytes of the C heap in use (glibc mallinfo2: uordblks + hblkhd). */
    static native long nativeHeapInUse();
}
