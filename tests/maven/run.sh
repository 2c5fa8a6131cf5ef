#!/usr/bin/env bash
# Builds tests/maven, a project that depends on vrxchdet-change-feed by its
# coordinates alone, with Debian's Maven, offline: its local repository is a
# copy of Debian's /usr/share/maven-repo (plugins) and every other repository
# is mirrored by the share/maven-repo of an installed copy of this build. Then
# runs it on the class path Maven resolved alone (no java.library.path, no
# lib/ folder): it opens a database tesra-admin made, polls and commits, twice.
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
# Debian's repository links into /usr/share/java with relative links: copy what they point at.
cp -rL /usr/share/maven-repo "$scratch/m2"
cat > "$scratch/settings.xml" <<XML
<settings>
  <localRepository>$scratch/m2</localRepository>
  <mirrors>
    <mirror><id>installed</id><mirrorOf>*</mirrorOf><url>file://$install/share/maven-repo</url></mirror>
  </mirrors>
</settings>
XML
dependency_plugin=$(ls /usr/share/maven-repo/org/apache/maven/plugins/maven-dependency-plugin | grep -v debian | sort -V | tail -n 1)
cp -r "$project/pom.xml" "$project/src" "$scratch/"
echo "mvn package (offline mirror: $install/share/maven-repo)"
(cd "$scratch" && timeout 300 mvn -B -q -Dstyle.color=never -s settings.xml -Dvrxchdet.version="$version" package \
  "org.apache.maven.plugins:maven-dependency-plugin:$dependency_plugin:build-classpath" \
  -Dmdep.outputFile=classpath.txt) || fail "the Maven build failed (status $?)"
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
