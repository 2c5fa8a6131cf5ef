package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import org.junit.jupiter.api.Test;

class TopicNamesTest {
    @Test
    void charactersATopicCannotHoldBecomeUnderscores() {
        assertEquals("shop.orders.tdb", TopicNames.forDatabase("shop", "orders.tdb"));
        assertEquals("shop.sales_2026_orders_d_.tdb", TopicNames.forDatabase("shop", "sales/2026 orders\\d\u00e9.tdb"));
        assertEquals("shop.A-z_0.9", TopicNames.forDatabase("shop", "A-z_0.9"));
    }

    @Test
    void aLongNameIsCutToKafkasLimitAndStaysApartFromAnother() {
        String common = "x".repeat(300);
        String first = TopicNames.forDatabase("shop", common + "1.tdb");
        String second = TopicNames.forDatabase("shop", common + "2.tdb");
        assertEquals(TopicNames.MAX_LENGTH, first.length());
        assertEquals(TopicNames.MAX_LENGTH, second.length());
        assertNotEquals(first, second);
        assertTrue(first.matches("shop\\.x+_[0-9a-f]{16}"), first);
        String longest = "y".repeat(TopicNames.MAX_LENGTH - "shop.".length());
        assertEquals("shop." + longest, TopicNames.forDatabase("shop", longest), "a name that fits is kept whole");
    }

    @Test
    void formatsPlaceTheDatabaseAndThePrefixAndKeepTheirOwnText() {
        assertEquals("cdc.shop-orders.tdb.v1", TopicNames.forDatabase("cdc.${prefix}-${database}.v1", "shop", "orders.tdb"));
        assertEquals("orders_2026.tdb", TopicNames.forDatabase("${database}", "shop", "orders 2026.tdb"));
        assertEquals(TopicNames.forDatabase("shop", "a.tdb"), TopicNames.forDatabase(TopicNames.DEFAULT_FORMAT, "shop", "a.tdb"));
        String cut = TopicNames.forDatabase("${database}.x", "shop", "d".repeat(300));
        assertEquals(TopicNames.MAX_LENGTH, cut.length());
        assertTrue(cut.matches("d+_[0-9a-f]{16}"), cut);

        assertNull(TopicNames.formatProblem("cdc.${prefix}-${database}.v1"));
        assertNull(TopicNames.formatProblem("all-changes"));
        assertNull(TopicNames.formatProblem("f".repeat(TopicNames.MAX_PREFIX_LENGTH) + "${database}"));
        assertNotNull(TopicNames.formatProblem("f".repeat(TopicNames.MAX_PREFIX_LENGTH + 1) + "${database}"));
        for (String wrong : new String[] {"", "${prefix}:${database}", "${Database}", "${prefix}$", "$${database}", ".", ".."}) {
            assertNotNull(TopicNames.formatProblem(wrong), wrong);
        }
    }

    @Test
    void prefixes() {
        assertNull(TopicNames.prefixProblem("shop-1.eu_west"));
        assertNull(TopicNames.prefixProblem("p".repeat(TopicNames.MAX_PREFIX_LENGTH)));
        assertNotNull(TopicNames.prefixProblem("p".repeat(TopicNames.MAX_PREFIX_LENGTH + 1)));
        assertNotNull(TopicNames.prefixProblem(""));
        assertNotNull(TopicNames.prefixProblem(null));
        assertNotNull(TopicNames.prefixProblem("shop:eu"));
        assertEquals("__vrxchdet-heartbeat.shop", TopicNames.heartbeats("shop"));
    }
}
