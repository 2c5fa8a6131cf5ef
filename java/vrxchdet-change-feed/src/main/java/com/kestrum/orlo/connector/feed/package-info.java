/**
 * A change feed over {@link com.kestrum.orlo.connector.VarnexChangeDetectionConnector}: the polling loop
 * every consumer of the connector needs, with its place kept in a checkpoint bound to its database,
 * delivery at least once (a checkpoint file) or exactly once (the checkpoint in the consumer's own
 * database, in its transaction, following its rollbacks, one feed per checkpoint), a full listing after
 * the store's history is gone or the database was replaced, waiting for changes with a timeout, retries of
 * transient failures within a poll timeout, logging through {@link System.Logger}, and health figures as
 * {@link com.kestrum.orlo.connector.feed.ChangeFeedStats} and a JMX MBean.
 *
 * <p>Open a {@link com.kestrum.orlo.connector.feed.ChangeFeed} with
 * {@link com.kestrum.orlo.connector.feed.ChangeFeed#builder()}, then poll, handle the
 * {@link com.kestrum.orlo.connector.feed.ChangeBatch} and commit it, again and again. Write consumers
 * against {@link com.kestrum.orlo.connector.feed.ChangeSource} to test them without a store.
 */
package com.kestrum.orlo.connector.feed;
