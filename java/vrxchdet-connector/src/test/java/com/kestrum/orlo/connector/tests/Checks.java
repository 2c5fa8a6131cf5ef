package com.kestrum.orlo.connector.tests;

import java.util.ArrayList;
import java.util.List;
import java.util.Objects;

/**
 * Checks that go on after a failure, so that one run of a long scenario reports every check that did
 * not hold; {@link #verify()} then fails the test with all of them.
 */
final class Checks {
    private final List<String> failures = new ArrayList<>();

    void equal(String what, Object expected, Object actual) {
        check(what, Objects.equals(expected, actual), "expected <" + expected + "> but was <" + actual + ">");
    }

    void check(String what, boolean holds, String detail) {
        if (!holds) {
            failures.add(what + ": " + detail);
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

    /** Fails with every check that did not hold. */
    void verify() {
        if (!failures.isEmpty()) {
            throw new AssertionError(failures.size() + " checks failed:\n" + String.join("\n", failures));
        }
    }

    interface ThrowingAction {
        void run() throws Exception;
    }
}
