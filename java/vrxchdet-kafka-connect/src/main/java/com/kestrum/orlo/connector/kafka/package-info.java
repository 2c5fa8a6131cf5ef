/**
 * A Kafka Connect source connector over the change feed: {@link com.kestrum.orlo.connector.kafka.VrxchdetSourceConnector}
 * spreads the databases of its configuration ({@link com.kestrum.orlo.connector.kafka.VrxchdetSourceConfig}) over
 * its tasks, and each {@link com.kestrum.orlo.connector.kafka.VrxchdetSourceTask} follows its databases through
 * feeds whose store calls run in child processes, writing each change as a record
 * ({@link com.kestrum.orlo.connector.kafka.ChangeRecords}) whose source offset
 * ({@link com.kestrum.orlo.connector.kafka.SourceOffsets}) is the end of the window it belongs to.
 */
package com.kestrum.orlo.connector.kafka;
