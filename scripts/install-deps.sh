#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing; with --tests
# those of the tests too (GoogleTest, JUnit, and Maven with the plugins the
# Maven consumer test builds with, offline).
#
# usage: install-deps.sh [--tests] [PACKAGE...]
set -euo pipefail
packages=(cmake make g++ openjdk-17-jdk-headless libsqlite3-dev libssl-dev)
if [ "${1:-}" = --tests ]; then
  shift
  packages+=(libgtest-dev junit5 maven libmaven-compiler-plugin-java libmaven-jar-plugin-java
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
SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
# Another apt run (a second build, an unattended upgrade) may hold the lock for a while.
apt=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
for attempt in 1 2 3; do
  "${apt[@]}" update && "${apt[@]}" install -y --no-install-recommends "${missing[@]}" && exit 0
  echo "apt-get failed (attempt $attempt); trying again" >&2
  sleep 10
done
exit 1
