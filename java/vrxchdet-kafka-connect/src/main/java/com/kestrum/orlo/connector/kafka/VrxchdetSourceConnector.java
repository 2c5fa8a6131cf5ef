package com.kestrum.orlo.connector.kafka;

import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import org.apache.kafka.common.config.Config;
import org.apache.kafka.common.config.ConfigDef;
import org.apache.kafka.common.config.ConfigValue;
import org.apache.kafka.common.config.types.Password;
import org.apache.kafka.connect.connector.Task;
import org.apache.kafka.connect.errors.ConnectException;
import org.apache.kafka.connect.source.ConnectorTransactionBoundaries;
import org.apache.kafka.connect.source.ExactlyOnceSupport;
import org.apache.kafka.connect.source.SourceConnector;
import org.apache.kafka.connect.util.ConnectorUtils;

/**
 * The source connector: each database of {@link VrxchdetSourceConfig#DATABASES} is a source partition,
 * spread over at most {@code tasks.max} {@link VrxchdetSourceTask}s.
 *
 * <p>Exactly once is supported with the worker's default transaction boundary ({@code poll}): a task
 * returns every record of a window, and its new offset, from one {@code poll()}, so each window is
 * committed in one transaction however many records it holds.
 */
public final class VrxchdetSourceConnector extends SourceConnector {
    /** The longest {@link #validate} spends opening the databases: within the REST API's 90 s. */
    static final Duration STORE_CHECK_BUDGET = Duration.ofSeconds(60);
    private final boolean checkStore;
    private Map<String, String> settings;

    /** A connector, configured by {@link #start}. */
    public VrxchdetSourceConnector() {
        this(true);
    }

    /**
     * A connector whose {@link #validate} opens the databases, or only checks the values.
     *
     * @param checkStore false for tests of the values alone, without a store
     */
    VrxchdetSourceConnector(boolean checkStore) {
        this.checkStore = checkStore;
    }

    @Override
    public String version() {
        return Versions.of(getClass());
    }

    @Override
    public void start(Map<String, String> props) {
        new VrxchdetSourceConfig(props); // throws ConfigException on a malformed value
        this.settings = Map.copyOf(props);
    }

    @Override
    public Class<? extends Task> taskClass() {
        return VrxchdetSourceTask.class;
    }

    /**
     * The tasks' configurations: the databases spread over at most {@code maxTasks} tasks, none
     * without a database.
     *
     * @param maxTasks the most tasks to make
     * @return one configuration per task
     */
    @Override
    public List<Map<String, String>> taskConfigs(int maxTasks) {
        if (settings == null) {
            throw new IllegalStateException("The connector is not started");
        }
        List<String> databases = new VrxchdetSourceConfig(settings).databases();
        List<Map<String, String>> tasks = new ArrayList<>();
        for (List<String> group : ConnectorUtils.groupPartitions(databases, Math.min(maxTasks, databases.size()))) {
            Map<String, String> task = new HashMap<>(settings);
            task.put(VrxchdetSourceConfig.TASK_DATABASES, String.join(",", group));
            task.put(VrxchdetSourceConfig.TASK_ID, Integer.toString(tasks.size()));
            tasks.add(task);
        }
        return tasks;
    }

    @Override
    public void stop() {
        settings = null;
    }

    @Override
    public ConfigDef config() {
        return VrxchdetSourceConfig.CONFIG_DEF;
    }

    /**
     * Checks each value on its own, then the databases together (none twice, no two on one topic), then,
     * when every value is valid, opens each database as a task would (through a child process,
     * within {@link #STORE_CHECK_BUDGET}): a wrong password is reported on {@code password}, a missing
     * database on {@code databases} (naming it), an ID file or store configuration that cannot be read on
     * {@code tesra.ini}, an unknown server on {@code server}, and any other failure of the store on
     * {@code databases}, each with the store's status and message.
     *
     * @param connectorConfigs the configuration to check
     * @return the values, with an error message on each that is at fault
     */
    @Override
    public Config validate(Map<String, String> connectorConfigs) {
        Config checked = super.validate(connectorConfigs);
        Map<String, ConfigValue> values = new HashMap<>();
        for (ConfigValue value : checked.configValues()) {
            values.put(value.name(), value);
        }
        ConfigValue databases = values.get(VrxchdetSourceConfig.DATABASES);
        ConfigValue prefix = values.get(VrxchdetSourceConfig.TOPIC_PREFIX);
        ConfigValue format = values.get(VrxchdetSourceConfig.TOPIC_NAME_FORMAT);
        if (valid(databases, List.class) && valid(prefix, String.class) && valid(format, String.class)) {
            @SuppressWarnings("unchecked") // a LIST key's value, as ConfigDef parsed it
            List<String> names = (List<String>) databases.value();
            String problem = VrxchdetSourceConfig.databasesProblem((String) prefix.value(), (String) format.value(), names);
            if (problem != null) {
                boolean formatAtFault = names.size() > 1 && !((String) format.value()).contains(TopicNames.DATABASE);
                (formatAtFault ? format : databases).addErrorMessage(problem);
            }
        }
        ConfigValue server = values.get(VrxchdetSourceConfig.SERVER);
        ConfigValue ini = values.get(VrxchdetSourceConfig.TESRA_INI);
        ConfigValue password = values.get(VrxchdetSourceConfig.PASSWORD);
        boolean fieldsValid = checked.configValues().stream().allMatch(value -> value.errorMessages().isEmpty());
        if (checkStore && fieldsValid && valid(databases, List.class) && valid(server, String.class)
            && valid(ini, String.class) && valid(password, Password.class)) {
            @SuppressWarnings("unchecked") // a LIST key's value, as ConfigDef parsed it
            List<String> names = (List<String>) databases.value();
            String file = (String) ini.value();
            try {
                StoreCheck.problems((String) server.value(), names, file.isEmpty() ? null : Path.of(file),
                        ((Password) password.value()).value(), STORE_CHECK_BUDGET)
                    .forEach((key, messages) -> messages.forEach(values.get(key)::addErrorMessage));
            } catch (InterruptedException interrupted) {
                Thread.currentThread().interrupt();
                databases.addErrorMessage("The check of the store was interrupted");
            }
        }
        return checked;
    }

    private static boolean valid(ConfigValue value, Class<?> type) {
        return value != null && value.errorMessages().isEmpty() && type.isInstance(value.value());
    }

    @Override
    public ExactlyOnceSupport exactlyOnceSupport(Map<String, String> connectorConfig) {
        return ExactlyOnceSupport.SUPPORTED;
    }

    /**
     * The connector leaves transaction boundaries to the worker: with {@code poll}, each window is one
     * transaction.
     *
     * @param connectorConfig the configuration
     * @return {@link ConnectorTransactionBoundaries#UNSUPPORTED}
     */
    @Override
    public ConnectorTransactionBoundaries canDefineTransactionBoundaries(Map<String, String> connectorConfig) {
        return ConnectorTransactionBoundaries.UNSUPPORTED;
    }

    /**
     * Accepts offsets of this connector's form only: a partition {@code {"server", "database"}}, its keys in
     * that order, and an
     * offset {@code {"format": 1, "end": "YYYY-MM-DD HH:MM:SS.mmm"}} (an empty end starts the database as
     * configured), or null to remove it.
     *
     * @param connectorConfig the configuration
     * @param offsets         the offsets an operator wants to write
     * @return true: the offsets are taken as they are
     * @throws ConnectException naming the first partition or offset that does not fit
     */
    @Override
    public boolean alterOffsets(Map<String, String> connectorConfig, Map<Map<String, ?>, Map<String, ?>> offsets) {
        for (Map.Entry<Map<String, ?>, Map<String, ?>> entry : offsets.entrySet()) {
            Map<String, ?> partition = entry.getKey();
            if (partition == null || partition.size() != 2 || !(partition.get(SourceOffsets.SERVER) instanceof String)
                || !(partition.get(SourceOffsets.DATABASE) instanceof String)) {
                throw new ConnectException("Not a partition of this connector: " + partition + "; it is {\""
                    + SourceOffsets.SERVER + "\": SERVER, \"" + SourceOffsets.DATABASE + "\": DATABASE}");
            }
            if (!SourceOffsets.SERVER.equals(partition.keySet().iterator().next())) {
                // The worker keeps an offset under its partition's bytes, which follow the keys' order: a partition
                // written database first would be kept apart from the task's, which would never read it.
                throw new ConnectException("The partition " + partition + " names its keys in another order than the "
                    + "task's; write them in this order: {\"" + SourceOffsets.SERVER + "\": SERVER, \""
                    + SourceOffsets.DATABASE + "\": DATABASE}");
            }
            SourceOffsets.endText(partition, entry.getValue());
        }
        return true;
    }
}
