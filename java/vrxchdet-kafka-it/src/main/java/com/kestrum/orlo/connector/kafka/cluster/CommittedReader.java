package com.kestrum.orlo.connector.kafka.cluster;

import java.time.Duration;
import java.util.ArrayList;
import java.util.Collection;
import java.util.List;
import java.util.Map;
import java.util.Properties;
import java.util.concurrent.TimeUnit;
import org.apache.kafka.clients.consumer.ConsumerConfig;
import org.apache.kafka.clients.consumer.ConsumerRecord;
import org.apache.kafka.clients.consumer.KafkaConsumer;
import org.apache.kafka.common.PartitionInfo;
import org.apache.kafka.common.TopicPartition;
import org.apache.kafka.common.serialization.ByteArrayDeserializer;

/**
 * Reads topics from their beginning to their end as a {@code read_committed} consumer sees them: the records
 * of committed transactions only, up to the last stable offset. It joins no group and commits nothing.
 */
public final class CommittedReader implements AutoCloseable {
    private final KafkaConsumer<byte[], byte[]> consumer;

    /**
     * A reader of the cluster at {@code bootstrapServers}.
     *
     * @param bootstrapServers the broker's address
     */
    public CommittedReader(String bootstrapServers) {
        consumer = new KafkaConsumer<>(consumerProperties(bootstrapServers));
    }

    /**
     * The settings of a consumer of raw bytes that reads only committed records and commits no offsets.
     *
     * @param bootstrapServers the broker's address
     * @return the settings
     */
    public static Properties consumerProperties(String bootstrapServers) {
        Properties props = new Properties();
        props.put(ConsumerConfig.BOOTSTRAP_SERVERS_CONFIG, bootstrapServers);
        props.put(ConsumerConfig.ISOLATION_LEVEL_CONFIG, "read_committed");
        props.put(ConsumerConfig.ENABLE_AUTO_COMMIT_CONFIG, "false");
        props.put(ConsumerConfig.KEY_DESERIALIZER_CLASS_CONFIG, ByteArrayDeserializer.class.getName());
        props.put(ConsumerConfig.VALUE_DESERIALIZER_CLASS_CONFIG, ByteArrayDeserializer.class.getName());
        return props;
    }

    /**
     * Every committed record of the topics, from the beginning to the end each had when the read started; in
     * order within each partition.
     *
     * @param topics the topics, each waited for until it exists
     * @param bound  how long the whole read may take
     * @return the records
     * @throws InterruptedException when interrupted
     * @throws IllegalStateException when a topic does not exist or the end is not reached within the bound
     */
    public List<ConsumerRecord<byte[], byte[]>> readToEnd(Collection<String> topics, Duration bound) throws InterruptedException {
        long giveUp = System.nanoTime() + bound.toNanos();
        List<TopicPartition> partitions = new ArrayList<>();
        for (String topic : topics) {
            List<PartitionInfo> infos = consumer.partitionsFor(topic, Duration.ofSeconds(5));
            while (infos == null || infos.isEmpty()) {
                if (System.nanoTime() - giveUp > 0) {
                    throw new IllegalStateException("waited " + bound.toSeconds() + " s for the topic " + topic + " to exist");
                }
                TimeUnit.MILLISECONDS.sleep(200);
                infos = consumer.partitionsFor(topic, Duration.ofSeconds(5));
            }
            infos.forEach(info -> partitions.add(new TopicPartition(info.topic(), info.partition())));
        }
        consumer.assign(partitions);
        consumer.seekToBeginning(partitions);
        Map<TopicPartition, Long> ends = consumer.endOffsets(partitions, Duration.ofSeconds(30));
        List<ConsumerRecord<byte[], byte[]>> records = new ArrayList<>();
        while (!reached(ends)) {
            if (System.nanoTime() - giveUp > 0) {
                throw new IllegalStateException("waited " + bound.toSeconds() + " s to read " + topics + " to its ends " + ends
                                                + "; read " + records.size() + " records");
            }
            consumer.poll(Duration.ofMillis(200)).forEach(records::add);
        }
        return records;
    }

    private boolean reached(Map<TopicPartition, Long> ends) {
        for (Map.Entry<TopicPartition, Long> end : ends.entrySet()) {
            if (consumer.position(end.getKey(), Duration.ofSeconds(30)) < end.getValue()) {
                return false;
            }
        }
        return true;
    }

    @Override
    public void close() {
        consumer.close();
    }
}
