#!/usr/bin/env bash
# Builds tests/maven, a project that depends on vrxchdet-change-feed by its
# coordinates alone, with strict checksums (mvn -C): our artefacts come from
# the share/maven-repo of an installed copy of this build, everything else
# from Maven Central. A checksum or metadata warning fails it. Then runs it on
# the class path Maven resolved alone (no java.library.path, no lib/ folder):
# it opens a database tesra-admin made, polls and commits, twice. The local
# repository is kept in BUILD_DIR/maven-consumer-m2, without our group.
#
# usage: run.sh BUILD_DIR VERSION
set -euo pipefail
build=$(cd "$1" && pwd)
version=$2
project=$(cd "$(dirname "$0")" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
fail() { echo "FAILED: $*"; exit 1; }

install=$scratch/install
cmake --install "$build" --prefix "$install" >/dev/null
local_repository=$build/maven-consumer-m2
rm -rf "$local_repository/com/kestrum"
cp -r "$project/pom.xml" "$project/src" "$scratch/"
echo "mvn -C package (repository: $install/share/maven-repo and Maven Central)"
(cd "$scratch" && timeout 600 mvn -B -ntp -C -Dstyle.color=never -Dmaven.repo.local="$local_repository" \
  -Dvrxchdet.repository="file://$install/share/maven-repo" -Dvrxchdet.version="$version" package \
  dependency:build-classpath -Dmdep.outputFile=classpath.txt >maven.log 2>&1) \
  || { tail -n 40 "$scratch/maven.log"; fail "the Maven build failed"; }
if grep -E '^\[WARNING\].*([Cc]hecksum|metadata|integrity)' "$scratch/maven.log"; then
  fail "Maven warned about our repository"
fi
classpath=$(cat "$scratch/classpath.txt")
echo "resolved class path: $classpath"
case "$classpath" in
  *vrxchdet-change-feed-$version.jar*vrxchdet-connector-$version.jar* | \
  *vrxchdet-connector-$version.jar*vrxchdet-change-feed-$version.jar*) ;;
  *) fail "the class path does not hold both artefacts" ;;
esac

# The connector class runs on Java 8, the feed on Java 11.
major() { javap -v -cp "$classpath" "$1" | sed -n 's/^ *major version: //p'; }
[ "$(major com.kestrum.orlo.connector.VarnexChangeDetectionConnector)" = 52 ] || fail "the connector class is not class file 52"
[ "$(major com.kestrum.orlo.connector.feed.ChangeFeed)" = 55 ] || fail "the change feed is not class file 55"

cd "$scratch"
echo secret | "$install/bin/tesra-admin" setup store --user "Maven User" --password-stdin --database sample.tdb --records 3 >/dev/null
export TESRA_INI=$scratch/store/tesra.ini
mkdir tmp
# The feed's own log lines (java.util.logging, on standard error) go to feed.log.
run() {
  timeout 120 env -u LD_LIBRARY_PATH java -Djava.io.tmpdir="$scratch/tmp" -cp "target/classes:$classpath" \
    example.Consumer sample.tdb secret checkpoint 2>&1 >>trace.log | tee -a feed.log | grep '^polled'
}
[ "$(run)" = "polled 3 changes" ] || fail "the first poll did not report the 3 records: $(cat feed.log)"
[ "$(run)" = "polled 0 changes" ] || fail "the second run did not resume from the checkpoint"
grep -q '^returnData: ' trace.log || fail "no trace"
# What stays is the user's folder of copies, with the lock that loads take to sweep it.
left=$(cd tmp && find . -mindepth 1 ! -path "./vrxchdet-$(id -un)" ! -path "./vrxchdet-$(id -un)/copies.lock")
[ -z "$left" ] || fail "the extracted natives were left behind: $left"
echo "ok: built offline by Maven, ran on its class path alone"
