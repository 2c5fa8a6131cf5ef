#!/usr/bin/env bash
# Installs the Debian packages the build needs, when missing (Maven builds
# the Java side, with its plugins and libraries from Maven Central); with
# --tests those of the tests too (GoogleTest, and the sqlite3 command the
# change feed's restore test runs). apt-get goes through scripts/apt-retry.sh,
# which waits out a mirror in the middle of a sync.
#
# usage: install-deps.sh [--tests] [PACKAGE...]
set -euo pipefail
packages=(cmake make g++ openjdk-17-jdk-headless maven libsqlite3-dev libssl-dev)
if [ "${1:-}" = --tests ]; then
  shift
  packages+=(libgtest-dev sqlite3)
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
