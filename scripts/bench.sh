#!/usr/bin/env bash
# make bench: a Release build in its own directory, the benchmark's databases
# (made once and kept), then one JVM timing the bridge against the floor and
# the limit, and one timing the change feed against the raw query.
# usage: scripts/bench.sh [BUILD_DIR]        (default build-release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build-release}
sizes=(10000 100000 1000000)
password=bench

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DVRXCHDET_BUILD_TESTS=OFF >/dev/null
cmake --build "$build" -j 2 --target vrxchdet vrxchdet_floor bridge_bench java tesra_admin \
  tesra_search_bench

admin="$build/localstore/tesra-admin"
store="$build/bench/store"
marker="$store/made-for-${sizes[*]// /-}"
# Made again when missing, or made by a tesra-admin that wrote an older ID file.
if [ ! -f "$marker" ] || ! head -n 1 "$store/user.id" | grep -qx 'tesra-id-file 2'; then
  echo "making the benchmark's databases (${sizes[*]} records, a tenth of each deleted) in $store"
  rm -rf "$store"
  start=$SECONDS
  printf '%s\n' "$password" | "$admin" setup "$store" --user Bench --password-stdin --iterations 100000 >/dev/null
  for n in "${sizes[@]}"; do
    "$admin" create-db "records-$n.tdb" --ini "$store/tesra.ini" >/dev/null
    "$admin" add "records-$n.tdb" --count "$n" --ini "$store/tesra.ini" >/dev/null
    "$admin" delete "records-$n.tdb" --random $((n / 10)) --seed 1 --ini "$store/tesra.ini" >/dev/null
  done
  echo "made in $((SECONDS - start)) s"
  touch "$marker"
fi

# The trace goes to a file on disk that grows as the bridge writes, as in a
# deployment; the bridge is also timed with its trace going to a named pipe
# that cat drains, and to /dev/null. The limit's trace and the feed's go to
# growing files of their own, which are not read.
trace="${BENCH_TRACE:-$build/bench/trace.log}"
limitTrace="$build/bench/limit-trace.log"
feedTrace="$build/bench/feed-trace.log"
pipe="$build/bench/trace.pipe"
report="$build/bench/report.txt"
rm -f "$trace" "$limitTrace" "$feedTrace" "$pipe"
touch "$limitTrace"
mkfifo "$pipe"
cat "$pipe" >/dev/null &
drain=$!
trap 'kill "$drain" 2>/dev/null || true; rm -f "$pipe" "$trace" "$limitTrace" "$feedTrace"' EXIT
bench_java() {
  TESRA_INI="$store/tesra.ini" "${JAVA_HOME:+$JAVA_HOME/bin/}java" -Xms4g -Xmx4g -XX:+UseParallelGC \
    -XX:+AlwaysPreTouch -Djava.library.path="$build/bridge:$build/bench" -cp "$(cat "$build/bench/classpath.txt")" \
    "com.kestrum.orlo.connector.bench.$@"
}
load() { cut -d' ' -f1-3 /proc/loadavg; }
echo "running; the bridge's trace goes to $trace, to a pipe and to /dev/null"
{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'), $(free -g | awk '/^Mem:/ {print $2}') GiB"
  echo "load average (1, 5, 15 min) before: $(load)"
} >"$report"
bench_java BridgeBench "$password" 7 "$pipe" "$limitTrace" "${sizes[@]}" >"$trace" 2>>"$report" || { cat "$report"; exit 1; }
echo "the change feed's poll and commit against the raw query, the trace to a growing file" >>"$report"
bench_java FeedBench "$password" 7 "$build/bench" "${sizes[@]}" >"$feedTrace" 2>>"$report" || { cat "$report"; exit 1; }
echo "poll and commit through an isolated feed (store calls in a child process) against one in process" >>"$report"
bench_java IsolatedBench "$password" 7 "$build/bench" "${sizes[@]}" >>"$feedTrace" 2>>"$report" || { cat "$report"; exit 1; }
echo "load average (1, 5, 15 min) after: $(load)" >>"$report"
cat "$report"

# Every trace line whole and of a known form; then the trace (hundreds of MB) goes.
lineForms='^((End of )?Java_com_kestrum_orlo_connector_VarnexChangeDetectionConnector_[A-Za-z]+\(\)|returnData: [0-9A-F]{32}:[0-9A-F]{1,8}:(NOR|DEL)|remoteDbName: .*|strTimeSince: .*|Since time hundredthsOfSec: [0-9]+|strEndDate: .*)$'
lines=$(wc -l <"$trace")
broken=$(grep -cvE "$lineForms" "$trace" || true)
echo "trace: $lines lines, $broken not of a known form"
[ "$broken" -eq 0 ]

echo "the local store alone: a full search of 1,000,000 records, and a writer beside full polls"
"$build/localstore/tesra_search_bench" 1000000 | tee -a "$report"
