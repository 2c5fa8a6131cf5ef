#!/usr/bin/env bash
# Runs every shell example of the given READMEs as a user would after
# "make install PREFIX=$HOME/vrxchdet" with $HOME/vrxchdet/bin on PATH: the
# build is installed into a scratch folder, copied to $HOME/vrxchdet of a
# scratch home (so that the installed libraries work only through their own
# run path) and each ```sh block runs in an empty folder of its own, with the
# README's ```java files ("// Name.java" on their first line) beside it.
# A block fails the test when a command in it fails. Every Java example must
# be such a file, compiled (javac ... Name.java) and run (java ... Name) by a
# shell example of its README, so that each one is shown to work as written.
#
# usage: run_examples.sh BUILD_DIR README...
set -euo pipefail
build=$1
shift
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
home=$scratch/home
mkdir -p "$home"
cmake --install "$build" --prefix "$scratch/staging" >/dev/null
cp -r "$scratch/staging" "$home/vrxchdet"
rm -rf "$scratch/staging"
# Maven, where an example runs it, as this machine's user has it set up.
if [ -f "$HOME/.m2/settings.xml" ]; then
  mkdir -p "$home/.m2"
  cp "$HOME/.m2/settings.xml" "$home/.m2/"
fi
java_bin=$(dirname "$(readlink -f "$(command -v java)")")

failures=0
for readme in "$@"; do
  name=$(basename "$(dirname "$(readlink -f "$readme")")")-$(basename "$readme" .md)
  blocks=$scratch/blocks-$name
  mkdir -p "$blocks"
  # Splits the README into blocks: sh-N.sh for each shell example and the named Java files.
  awk -v dir="$blocks" '
    /^```sh$/ { n++; out = sprintf("%s/sh-%02d.sh", dir, n); next }
    /^```java$/ { java = 1; next }
    java && /^\/\/ [A-Za-z]+\.java$/ { out = dir "/" $2; java = 0; next }
    java { print "line " NR ": " $0 > (dir "/unnamed-java"); out = ""; java = 0; next }
    /^```/ { out = ""; java = 0; next }
    out != "" { print > out }
  ' "$readme"
  examples=$(ls "$blocks"/sh-*.sh 2>/dev/null || true)
  if [ -z "$examples" ]; then
    echo "FAILED: $readme has no shell example"
    failures=$((failures + 1))
    continue
  fi
  if [ -f "$blocks/unnamed-java" ]; then
    echo "FAILED: $readme has a Java example without a \"// Name.java\" first line:"
    sed 's/^/    | /' "$blocks/unnamed-java"
    failures=$((failures + 1))
  fi
  for source in "$blocks"/*.java; do
    [ -f "$source" ] || continue
    class=$(basename "$source" .java)
    if ! grep -qE "javac .*\b$class\.java" $examples || ! grep -qE "(^|[ ;])java .* $class( |$)" $examples; then
      echo "FAILED: $readme: no shell example compiles and runs $class.java"
      failures=$((failures + 1))
    fi
  done
  for example in $examples; do
    work=$scratch/$name-$(basename "$example" .sh)
    mkdir -p "$work"
    cp "$blocks"/*.java "$work"/ 2>/dev/null || true
    status=0
    (cd "$work" && timeout 300 env -i HOME="$home" PATH="$home/vrxchdet/bin:$java_bin:/usr/bin:/bin" \
      bash -e -o pipefail "$example") >"$work.out" 2>&1 || status=$?
    if [ "$status" -eq 0 ]; then
      echo "ok: $readme, $(basename "$example"): $(head -n 1 "$example")"
    else
      echo "FAILED: $readme, $(basename "$example"), exit status $status:"
      sed 's/^/    | /' "$example"
      echo "  its output:"
      sed 's/^/    > /' "$work.out"
      failures=$((failures + 1))
    fi
  done
done
[ "$failures" -eq 0 ]
