package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.stream.Collectors;
import org.apache.kafka.common.config.ConfigException;
import org.apache.kafka.common.config.ConfigValue;
import org.junit.jupiter.api.Nested;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class VrxchdetSourceConfigTest {
    @TempDir
    Path folder;

    private Map<String, String> valid() throws IOException {
        Path ini = Files.writeString(folder.resolve("tesra.ini"), "[store]\n");
        Map<String, String> props = new HashMap<>();
        props.put("databases", "orders.tdb, stock.tdb");
        props.put("topic.prefix", "shop");
        props.put("tesra.ini", ini.toString());
        props.put("password", "open sesame");
        return props;
    }

    /** The error messages of each key that has any. */
    private static Map<String, List<String>> errors(Map<String, String> props) {
        return new VrxchdetSourceConnector(false).validate(props).configValues().stream()
            .filter(value -> !value.errorMessages().isEmpty())
            .collect(Collectors.toMap(ConfigValue::name, ConfigValue::errorMessages));
    }

    @Test
    void aValidConfigurationHasNoErrorsAndTheDocumentedDefaults() throws IOException {
        assertEquals(Map.of(), errors(valid()));
        VrxchdetSourceConfig config = new VrxchdetSourceConfig(valid());
        assertEquals(List.of("orders.tdb", "stock.tdb"), config.databases());
        assertEquals("", config.server());
        assertTrue(config.tombstonesOnDelete());
        assertTrue(config.startFromBeginning());
        assertEquals(1000L, config.pollIntervalMs());
        assertEquals(60_000L, config.heartbeatIntervalMs());
        assertEquals(300_000L, config.storeRetryTimeoutMs());
        assertEquals(folder.resolve("tesra.ini"), config.tesraIni());
        assertEquals("shop.orders.tdb", config.topicOf("orders.tdb"));
        assertEquals("unnamed", config.connectorName());
        assertEquals(0, config.taskId());
    }

    @Test
    void thePasswordIsMaskedAndKeptWhole() throws IOException {
        VrxchdetSourceConfig config = new VrxchdetSourceConfig(valid());
        assertEquals("open sesame", config.password().value());
        assertFalse(config.password().toString().contains("sesame"));
        assertFalse(config.values().toString().contains("sesame"), "as Connect logs the values");
    }

    @Test
    void everyKeyIsDocumentedInAGroup() {
        VrxchdetSourceConfig.CONFIG_DEF.configKeys().values().stream()
            .filter(key -> !key.internalConfig)
            .forEach(key -> {
                assertFalse(key.documentation == null || key.documentation.isBlank(), key.name);
                assertFalse(key.group == null, key.name);
            });
    }

    @Nested
    class ValidateReportsTheFieldAtFault {
        @ParameterizedTest(name = "{0}={1}")
        @CsvSource(delimiter = '|', value = {
            "databases|''",
            "databases|orders.tdb,orders.tdb",
            "topic.prefix|''",
            "topic.prefix|shop floor",
            "topic.prefix|shop/orders",
            "start|later",
            "poll.interval.ms|0",
            "poll.interval.ms|soon",
            "heartbeat.interval.ms|-1",
            "tombstones.on.delete|maybe",
            "server|bad\u0001name",
            "topic.name.format|''",
            "topic.name.format|${prefix}/${database}",
            "topic.name.format|${prefix}.${db}",
            "topic.name.format|..",
            "store.retry.timeout.ms|-1",
        })
        void aMalformedValue(String key, String value) throws IOException {
            Map<String, String> props = valid();
            props.put(key, value);
            Map<String, List<String>> errors = errors(props);
            assertEquals(List.of(key), List.copyOf(errors.keySet()), errors.toString());
            assertThrows(ConfigException.class, () -> new VrxchdetSourceConfig(props));
        }

        @Test
        void aMissingRequiredValue() throws IOException {
            Map<String, String> props = valid();
            props.remove("topic.prefix");
            props.remove("databases");
            assertEquals(List.of("databases", "topic.prefix"), errors(props).keySet().stream().sorted().toList());
        }

        @Test
        void aStoreConfigurationFileThatIsMissingOrAFolder() throws IOException {
            Map<String, String> props = valid();
            props.put("tesra.ini", folder.resolve("absent.ini").toString());
            assertEquals(List.of("tesra.ini"), List.copyOf(errors(props).keySet()));
            props.put("tesra.ini", folder.toString());
            assertEquals(List.of("tesra.ini"), List.copyOf(errors(props).keySet()));
        }

        @Test
        void twoDatabasesWhoseTopicsWouldBeTheSame() throws IOException {
            Map<String, String> props = valid();
            props.put("databases", "sales/orders.tdb,sales_orders.tdb");
            Map<String, List<String>> errors = errors(props);
            assertEquals(List.of("databases"), List.copyOf(errors.keySet()));
            assertTrue(errors.get("databases").get(0).contains("shop.sales_orders.tdb"), errors.toString());

            props.put("databases", "orders.tdb,stock.tdb");
            props.put("topic.name.format", "changes-${prefix}");
            errors = errors(props);
            assertEquals(List.of("topic.name.format"), List.copyOf(errors.keySet()), "the format names one topic for all");
            assertTrue(errors.get("topic.name.format").get(0).contains("changes-shop"), errors.toString());

            props.put("databases", "orders.tdb");
            assertEquals(Map.of(), errors(props), "one database may have a topic of its own");
            props.put("topic.name.format", "${database}");
            props.put("databases", "__vrxchdet-heartbeat.shop");
            assertEquals(List.of("databases"), List.copyOf(errors(props).keySet()), "no database on the heartbeats' topic");
        }
    }
}
