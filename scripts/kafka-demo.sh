#!/usr/bin/env bash
# The Kafka demo: a KRaft broker and a Connect worker on loopback, each a JVM
# of its own, with the source connector installed from its plugin folder and
# following a sample database while a writer adds, changes and deletes records
# for 15 seconds; then what a read_committed consumer reads, a line per record,
# and whether it saw every write once (exit status 0 only then). Everything is
# stopped at the end; the servers' logs stay in FOLDER/cluster/ (FOLDER is
# BUILD/kafka-demo unless VRXCHDET_KAFKA_DEMO names another). The Java side
# is built by make product (mvn deploy of java/).
#
# usage: kafka-demo.sh [BUILD]
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
exec "$(dirname "$0")/kafka-java.sh" "$build" "${VRXCHDET_KAFKA_DEMO:-$build/kafka-demo}" KafkaDemo --
