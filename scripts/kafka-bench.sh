#!/usr/bin/env bash
# The Kafka benchmark: a KRaft broker and a Connect worker with exactly-once
# source support on loopback, each a JVM of its own. For each size (10^5 and
# 10^6 records unless --sizes says otherwise) the source connector lists a
# database of that many records, timed until a read_committed consumer has
# seen them all, against a bare producer sending the same bytes (idempotent,
# and transactional); then the lag of each write of a steady writer (1,000
# writes per second for 30 s) until that consumer receives its record. Prints
# name=value lines (connector_over_producer=R per size, lag_p50_ms, lag_p99_ms,
# lag_max_ms), the machine and its load before and after. The databases are
# made once and kept in FOLDER/store (FOLDER is BUILD/kafka-bench unless
# VRXCHDET_KAFKA_BENCH names another); the servers' logs stay in
# FOLDER/cluster/. Everything started is stopped at the end.
#
# usage: kafka-bench.sh [BUILD] [--sizes N,N...] [--warmup N] [--lag-rate R]
#                       [--lag-seconds S] [--poll-interval-ms MS]
#                       [--connector-producer KEY=VALUE]... (the worker's producer for
#                       the connector: producer.override.KEY)
#                       [--server-jvm-option OPTION]... (broker and worker JVMs)
#   a quick run: scripts/kafka-bench.sh build --sizes 10000 --lag-seconds 10
set -euo pipefail
build=build
if [ $# -gt 0 ] && [ "${1#--}" = "$1" ]; then
  build=$1
  shift
fi
build=$(cd "$build" && pwd)
exec "$(dirname "$0")/kafka-java.sh" "$build" "${VRXCHDET_KAFKA_BENCH:-$build/kafka-bench}" ConnectorBench \
  -Xms1g -Xmx2g -XX:+UseG1GC -- "$@"
