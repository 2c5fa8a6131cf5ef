package com.kestrum.orlo.connector.tests;

import java.util.Objects;

/** Counts checks and prints the closing "N passed, N failed" line. */
final class Checks {
    private int passed;
    private int failed;

    void equal(String what, Object expected, Object actual) {
        check(what, Objects.equals(expected, actual), "expected <" + expected + "> but was <" + actual + ">");
    }

    void check(String what, boolean holds, String detail) {
        if (holds) {
            ++passed;
        } else {
            ++failed;
            System.err.println("FAILED: " + what + ": " + detail);
        }
    }

    void isTrue(String what, boolean holds) {
        check(what, holds, "did not hold");
    }

    /** Runs the action and checks it threw a java.lang.Exception (exactly that class) with the message. */
    void throwsException(String what, String expectedMessage, ThrowingAction action) {
        try {
            action.run();
            check(what, false, "nothing was thrown");
        } catch (Throwable thrown) {
            equal(what + " (class)", Exception.class, thrown.getClass());
            if (expectedMessage != null) {
                equal(what + " (message)", expectedMessage, thrown.getMessage());
            }
        }
    }

    int finish() {
        System.out.flush();
        System.err.println(passed + " passed, " + failed + " failed");
        return failed == 0 ? 0 : 1;
    }

    interface ThrowingAction {
        void run() throws Exception;
    }
}
