#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when missing.
set -euo pipefail
packages=(cmake make g++ openjdk-17-jdk-headless libgtest-dev libsqlite3-dev libssl-dev junit5 libxerial-sqlite-jdbc-java "$@")
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
