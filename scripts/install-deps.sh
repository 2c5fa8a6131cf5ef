#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing; with --tests
# those of the tests too (GoogleTest, JUnit, the sqlite3 command the change
# feed's restore test runs, and Maven with the plugins the Maven consumer test
# builds with, offline). apt-get goes through
# scripts/apt-retry.sh, which waits out a mirror in the middle of a sync.
#
# usage: install-deps.sh [--tests] [PACKAGE...]
set -euo pipefail
packages=(cmake make g++ openjdk-17-jdk-headless libsqlite3-dev libssl-dev)
if [ "${1:-}" = --tests ]; then
  shift
  packages+=(libgtest-dev junit5 sqlite3 maven libmaven-compiler-plugin-java libmaven-jar-plugin-java
    libmaven-resources-plugin-java libsurefire-java libmaven-dependency-plugin-java
    libxerial-sqlite-jdbc-java)
fi
packages+=("$@")
missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
# shellcheck source=scripts/apt-retry.sh
source "$(dirname "$0")/apt-retry.sh"
apt_install "${missing[@]}"
