#!/usr/bin/env bash
# The connector jar for every platform, build-windows64/connector-VERSION.jar:
# the Linux connector jar of build/ (built here when missing, without touching
# how build/ is configured) with the 32-bit and 64-bit vrxchdet.dll of
# build-windows/ and build-windows64/ added under META-INF/native/. The store
# vendor's nTESRA.dll is not in it: Windows finds it where it finds a DLL's
# dependencies. With --check, only lists the jar and checks the three platforms.
#
# usage: windows-jar.sh [--check]
set -euo pipefail
cd "$(dirname "$0")/.."
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-windows64/CMakeCache.txt)
jar=build-windows64/connector-$version.jar
jar_tool=${JAVA_HOME:+$JAVA_HOME/bin/}jar

if [ "${1:-}" = --check ]; then
  listing=$("$jar_tool" tf "$jar")
  for entry in linux-x86_64/libvrxchdet.so linux-x86_64/libntesra.so windows-x86/vrxchdet.dll \
               windows-x86_64/vrxchdet.dll com/kestrum/orlo/connector/VarnexChangeDetectionConnector.class; do
    grep -qx "\(META-INF/native/\)\?$entry" <<<"$listing" || { echo "FAILED: $jar lacks $entry" >&2; exit 1; }
  done
  echo "ok: $jar carries linux-x86_64, windows-x86 and windows-x86_64"
  exit 0
fi

[ -f build/CMakeCache.txt ] || cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVRXCHDET_BUILD_TESTS=OFF
cmake --build build -j 2 --target java
natives=build-windows64/natives
rm -rf "$natives"
mkdir -p "$natives/META-INF/native/windows-x86" "$natives/META-INF/native/windows-x86_64"
cp build-windows/bridge/vrxchdet.dll "$natives/META-INF/native/windows-x86/"
cp build-windows64/bridge/vrxchdet.dll "$natives/META-INF/native/windows-x86_64/"
cp "build/java/connector-$version.jar" "$jar"
"$jar_tool" --update --file "$jar" -C "$natives" META-INF/native
echo "$jar: the connector jar for linux-x86_64, windows-x86 and windows-x86_64"
