#!/usr/bin/env bash
# Watches a sample database change: a writer adds, changes and deletes records
# while the Java change watcher polls once a second through the native
# library; then the watcher is restarted and resumes from its checkpoint.
set -euo pipefail
build=$(cd "${1:-build}" && pwd)
admin=$build/localstore/tesra-admin
demo=$build/demo
java=${JAVA_HOME:+$JAVA_HOME/bin/}java

rm -rf "$demo"
mkdir -p "$demo"
echo demo | "$admin" setup "$demo/store" --user "Demo User" --password-stdin --database sample.tdb --records 5
export TESRA_INI=$demo/store/tesra.ini

watch() {
  # The watcher reports on standard error, with the feed's log lines (one line each);
  # standard output is the native trace. The natives come from the connector jar.
  "$java" -Djava.util.logging.SimpleFormatter.format='%4$s: %5$s%6$s%n' \
    -cp "$build/java/connector.jar:$build/java/change-feed.jar:$build/java/change-watcher.jar" \
    com.kestrum.orlo.connector.demo.ChangeWatcher sample.tdb demo "$demo/checkpoint" "$@" 2>&1 >> "$demo/trace.log"
}

echo
echo "== First run: 6 polls, one a second, while a writer changes the database"
"$admin" churn sample.tdb --rate 2 --seconds 5 --seed 7 --log "$demo/writes.log" > "$demo/writer.out" &
writer=$!
watch 6 1000
wait "$writer"
echo
echo "== What the writer did (operation, record, time):"
cut -d' ' -f1-4 "$demo/writes.log" | sed 's/^/    /'

echo
echo "== While the watcher is stopped: a record is added, another changed and deleted"
"$admin" add sample.tdb --title "Added while the watcher was stopped" | sed 's/^/    /'
present=$("$admin" list sample.tdb | head -n 1 | cut -d' ' -f1)
"$admin" change sample.tdb "$present" | sed 's/^/    /'
"$admin" delete sample.tdb "$present" | sed 's/^/    /'

echo
echo "== Second run: resumes from the checkpoint $(cat "$demo/checkpoint")"
watch 2 1000

echo
echo "The native trace is in $demo/trace.log ($(wc -l < "$demo/trace.log") lines); its end:"
tail -n 6 "$demo/trace.log" | sed 's/^/    /'
