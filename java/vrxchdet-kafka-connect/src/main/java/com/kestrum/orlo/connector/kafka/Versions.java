package com.kestrum.orlo.connector.kafka;

/** The version of the connector's jar. */
final class Versions {
    private Versions() {
    }

    /**
     * The version in the manifest of the jar a class came from.
     *
     * @param type the class
     * @return the version, or {@code unknown} when run from classes outside a jar
     */
    static String of(Class<?> type) {
        String version = type.getPackage().getImplementationVersion();
        return version == null ? "unknown" : version;
    }
}
