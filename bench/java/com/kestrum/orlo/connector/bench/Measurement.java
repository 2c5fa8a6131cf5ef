package com.kestrum.orlo.connector.bench;

/** One timed query: its duration and the C heap in use just before and just after it. */
record Measurement(long nanos, long heapBefore, long heapAfter) {}
