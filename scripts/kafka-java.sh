#!/usr/bin/env bash
# Runs a main class of java/vrxchdet-kafka-it (the Kafka demo, the Kafka
# benchmark) on the class path the Maven build wrote for it, building the
# Java side first when the Connect plugin folder or that class path is
# missing. The class gets BUILD, FOLDER, the plugin folder and the class path
# file, then the remaining arguments.
#
# usage: kafka-java.sh BUILD FOLDER CLASS [JVM_OPTION...] -- [ARGUMENT...]
set -euo pipefail
build=$(cd "$1" && pwd)
folder=$2
class=$3
shift 3
options=()
while [ $# -gt 0 ] && [ "$1" != "--" ]; do
  options+=("$1")
  shift
done
[ $# -gt 0 ] && shift
top=$(cd "$(dirname "$0")/.." && pwd)
java=${JAVA_HOME:+$JAVA_HOME/bin/}java
it=$top/java/vrxchdet-kafka-it/target
plugin=$top/java/vrxchdet-kafka-connect/target/plugin
if [ ! -f "$it/kafka-classpath.txt" ] || [ ! -d "$plugin" ] || [ ! -d "$it/classes" ]; then
  echo "$(basename "$0"): no Connect plugin folder or class path file; building the Java side"
  mvn -f "$top/java/pom.xml" -q -Dvrxchdet.build="$build" -pl vrxchdet-kafka-it -am package -DskipTests
fi
exec "$java" "${options[@]}" -cp "$it/classes:$(cat "$it/kafka-classpath.txt")" \
  "com.kestrum.orlo.connector.kafka.cluster.$class" "$build" "$folder" "$plugin" "$it/kafka-classpath.txt" "$@"
