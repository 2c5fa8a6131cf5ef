package com.kestrum.orlo.connector.kafka;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Map;
import org.apache.kafka.common.config.ConfigException;
import org.apache.kafka.connect.source.ConnectorTransactionBoundaries;
import org.apache.kafka.connect.source.ExactlyOnceSupport;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.CsvSource;

class VrxchdetSourceConnectorTest {
    private static VrxchdetSourceConnector started(int databases) {
        List<String> names = new ArrayList<>();
        for (int i = 1; i <= databases; ++i) {
            names.add("db" + i + ".tdb");
        }
        VrxchdetSourceConnector connector = new VrxchdetSourceConnector();
        connector.start(Map.of("databases", String.join(",", names), "topic.prefix", "shop", "password", "secret"));
        return connector;
    }

    @ParameterizedTest(name = "{0} databases over at most {1} tasks: {2} tasks")
    @CsvSource({"5, 2, 2", "3, 3, 3", "2, 8, 2", "1, 1, 1", "7, 3, 3"})
    void theDatabasesAreSpreadOverAtMostTasksMaxTasksEachOnce(int databases, int maxTasks, int tasks) {
        List<Map<String, String>> configs = started(databases).taskConfigs(maxTasks);
        assertEquals(tasks, configs.size());
        List<String> served = new ArrayList<>();
        int fewest = Integer.MAX_VALUE;
        int most = 0;
        for (int id = 0; id < configs.size(); ++id) {
            VrxchdetSourceConfig task = new VrxchdetSourceConfig(configs.get(id));
            assertEquals(id, task.taskId(), "each task its number, for the names of its metrics");
            assertFalse(task.taskDatabases().isEmpty());
            fewest = Math.min(fewest, task.taskDatabases().size());
            most = Math.max(most, task.taskDatabases().size());
            served.addAll(task.taskDatabases());
            assertEquals("shop", task.topicPrefix());
            assertEquals("secret", task.password().value());
        }
        Collections.sort(served);
        assertEquals(new VrxchdetSourceConfig(configs.get(0)).databases().stream().sorted().toList(), served);
        assertEquals(true, most - fewest <= 1, "as even as can be: " + fewest + " to " + most);
    }

    @Test
    void aConnectorWithAMalformedConfigurationDoesNotStart() {
        VrxchdetSourceConnector connector = new VrxchdetSourceConnector();
        assertThrows(ConfigException.class, () -> connector.start(Map.of("databases", "a.tdb", "topic.prefix", "no spaces")));
        assertThrows(IllegalStateException.class, () -> connector.taskConfigs(1));
    }

    @Test
    void exactlyOnceWithTheWorkersPollBoundaries() {
        VrxchdetSourceConnector connector = started(1);
        assertEquals(ExactlyOnceSupport.SUPPORTED, connector.exactlyOnceSupport(Map.of()));
        assertEquals(ConnectorTransactionBoundaries.UNSUPPORTED, connector.canDefineTransactionBoundaries(Map.of()));
        assertEquals(VrxchdetSourceTask.class, connector.taskClass());
    }
}
