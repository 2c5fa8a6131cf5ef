#!/usr/bin/env bash
# Checks the run paths of the libraries that are shipped: those of the
# connector jar and those of an installed lib/. The bridge's is exactly
# $ORIGIN, as RPATH or RUNPATH, with no build folder and no empty entry (the
# current folder); the store library's is $ORIGIN or none.
#
# usage: check_run_paths.sh BUILD_DIR CONNECTOR_JAR
set -euo pipefail
build=$1
jar=$(readlink -f "$2")
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
failures=0

run_path() { # the RPATH and RUNPATH entries of a library, one "KIND value" a line
  readelf -d "$1" | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\1 \2/p'
}

check() { # LIBRARY EXPECTED...: the library's run path is one of the expected ones
  local library=$1 found
  shift
  found=$(run_path "$library")
  for expected in "$@"; do
    [ "$found" = "$expected" ] && { echo "ok: $library: ${found:-no run path}"; return; }
  done
  echo "FAILED: $library: run path <$found>, expected one of: $(printf '<%s> ' "$@")"
  failures=$((failures + 1))
}

mkdir -p "$scratch/jar"
(cd "$scratch/jar" && "${JAVA_HOME:+$JAVA_HOME/bin/}jar" xf "$jar" META-INF/native)
cmake --install "$build" --prefix "$scratch/installed" >/dev/null
for folder in "$scratch"/jar/META-INF/native/linux-* "$scratch/installed/lib"; do
  [ -f "$folder/libvrxchdet.so" ] && [ -f "$folder/libntesra.so" ] || {
    echo "FAILED: no libvrxchdet.so and libntesra.so in $folder"
    failures=$((failures + 1))
    continue
  }
  check "$folder/libvrxchdet.so" 'RUNPATH $ORIGIN' 'RPATH $ORIGIN'
  check "$folder/libntesra.so" '' 'RUNPATH $ORIGIN' 'RPATH $ORIGIN'
done
exit $((failures > 0))
