/**
 * A change feed over {@link com.kestrum.orlo.connector.VarnexChangeDetectionConnector}: the polling loop
 * every consumer of the connector needs, with its place kept in a checkpoint file, delivery at least
 * once, a full listing after the store purged its history, and retries of transient failures.
 *
 * <p>Open a {@link com.kestrum.orlo.connector.feed.ChangeFeed}, then poll, handle the
 * {@link com.kestrum.orlo.connector.feed.ChangeBatch} and commit it, again and again.
 */
package com.kestrum.orlo.connector.feed;
