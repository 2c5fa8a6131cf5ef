/**
 * A Kafka test cluster of real servers on loopback, for the end-to-end tests of the Connect source and the
 * Kafka demo: {@link com.kestrum.orlo.connector.kafka.cluster.KafkaCluster} starts a KRaft broker and
 * distributed Connect workers as JVMs of their own, which load the connector from its plugin folder alone;
 * {@link com.kestrum.orlo.connector.kafka.cluster.ConnectRest} speaks to a worker's REST API and
 * {@link com.kestrum.orlo.connector.kafka.cluster.CommittedReader} reads topics as a {@code read_committed}
 * consumer.
 */
package com.kestrum.orlo.connector.kafka.cluster;
