package com.kestrum.orlo.connector.bench;

/**
 * One timed query: its duration, the calling thread's CPU time in it, and the C heap in use just
 * before and just after it.
 */
record Measurement(long nanos, long cpuNanos, long heapBefore, long heapAfter) {}
