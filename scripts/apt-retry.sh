# shellcheck shell=bash
# Sourced by the scripts that install Debian packages: apt_install PACKAGE...
# runs apt-get update, then apt-get install of the packages, and survives a
# mirror that is being synced.
#
# While a mirror syncs, one of its index files may fail to download ("File has
# unexpected size ... Mirror sync in progress?", "Hash Sum mismatch"):
# apt-get update then fails, but has fetched every other index, and those and
# the ones already on disk are often enough. So the install goes on after a
# failed update, and only when the install fails too are the update and the
# install tried again, after 15, 30, 60 and 120 s (times
# $VRXCHDET_APT_PAUSE_SCALE, default 1). Giving up, it names the indexes and
# files that could not be fetched and what the mirror said.
#
# With VRXCHDET_APT_DROP_BROKEN_SECURITY=1 (the throwaway root of
# scripts/fresh-debian.sh), a broken security suite (bookworm-security) is
# left out of the sources for the install, which then takes the release
# suite's packages alone.
#
# Sources are read from $VRXCHDET_APT_ETC (default /etc/apt); the pauses,
# sources and apt-get itself are replaceable so that tests/scripts can run
# this without a network and without root.

# The URL and message of each "Failed to fetch" line of apt-get's output
# (file $1), one "URL<TAB>message" line each.
_apt_fetch_failures() {
  sed -n -E 's/^[EW]: Failed to fetch ([^ ]+) +(.*)$/\1\t\2/p' "$1" \
    | sed -E 's/ *\[IP: [^]]*\] *$//' | sort -u
}

# What the messages of a mirror in the middle of a sync, or of a broken one, contain.
_apt_mirror_faults='unexpected size|Mirror sync|Hash Sum mismatch|404 +Not Found|Release file|Clearsigned'

# What a failed URL is: an index of a suite, or a package file.
_apt_what() {
  local path
  case $1 in
    */dists/*)
      path=${1#*/dists/}
      path=${path%%/by-hash/*}
      echo "the index ${path%%/*} ${path#*/}" ;;
    *) echo "the file ${1##*/}" ;;
  esac
}

# Prints each failure of file $1 to stderr, after the text $2.
_apt_tell_failures() {
  local url message
  while IFS=$'\t' read -r url message; do
    echo "$_apt_name: $2 $(_apt_what "$url"): $message"
    echo "$_apt_name:   ($url)"
  done < <(_apt_fetch_failures "$1") >&2
}

# Writes to directory $1 the sources of $_apt_etc without the security
# suites: one-line entries naming a suite or archive that ends in -security
# go, and such suites leave the Suites field of deb822 stanzas, the stanza
# with them when no suite is left.
_apt_sources_without_security() {
  local out=$1 file
  mkdir -p "$out/sources.list.d" || return 1
  : >"$out/sources.list"
  if [ -f "$_apt_etc/sources.list" ]; then
    _apt_drop_security_lines <"$_apt_etc/sources.list" >"$out/sources.list" || return 1
  fi
  for file in "$_apt_etc"/sources.list.d/*.list; do
    [ -f "$file" ] || continue
    _apt_drop_security_lines <"$file" >"$out/sources.list.d/${file##*/}" || return 1
  done
  for file in "$_apt_etc"/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    _apt_drop_security_stanzas <"$file" >"$out/sources.list.d/${file##*/}" || return 1
  done
}
_apt_drop_security_lines() {
  awk '/^[[:space:]]*deb(-src)?[[:space:]]/ { for (i = 2; i <= NF; i++) if ($i ~ /-security\/?$/) next } { print }'
}
_apt_drop_security_stanzas() {
  awk 'BEGIN { RS = ""; ORS = "\n\n" }
    {
      n = split($0, line, "\n"); out = ""; keep = 1
      for (i = 1; i <= n; i++) {
        if (line[i] ~ /^Suites:/) {
          k = split(substr(line[i], 8), suite, /[[:space:]]+/); kept = ""
          for (j = 1; j <= k; j++) if (suite[j] != "" && suite[j] !~ /-security$/) kept = kept " " suite[j]
          if (kept == "") keep = 0
          line[i] = "Suites:" kept
        }
        out = out line[i] "\n"
      }
      if (keep) printf "%s\n", out
    }'
}

# In the throwaway root (VRXCHDET_APT_DROP_BROKEN_SECURITY=1), when apt-get's
# output (file $1) shows a broken security suite, sets the sources of the
# following apt-get calls of this install to those without it, and says so;
# fails when it does not apply or was done already. Uses the caller's $tmp,
# $sources, $dropped and $next_pause.
_apt_drop_security() {
  [ "${VRXCHDET_APT_DROP_BROKEN_SECURITY:-0}" = 1 ] && [ "$dropped" -eq 0 ] \
    && _apt_fetch_failures "$1" | cut -f1 | grep -q -- '-security' || return 1
  dropped=1
  if ! _apt_sources_without_security "$tmp/sources"; then
    echo "$_apt_name: could not write the sources without the security suite" >&2
    return 1
  fi
  sources=(-o "Dir::Etc::SourceList=$tmp/sources/sources.list"
    -o "Dir::Etc::SourceParts=$tmp/sources/sources.list.d")
  echo "$_apt_name: the security suite's index or files are broken on the mirror; this root installs from the release suite alone, without the security suite in its sources for this install" >&2
  next_pause=0
}

# apt_install PACKAGE...: see above. apt-get's own output goes to stdout,
# this function's account of failures to stderr.
apt_install() {
  # The caller's set -e and its lack of pipefail stay outside.
  local - tmp status=0
  set +e -o pipefail
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/apt-retry.XXXXXX") || return 1
  _apt_install_in "$tmp" "$@" || status=$?
  rm -rf "$tmp"
  return "$status"
}

_apt_install_in() {
  local tmp=$1; shift
  local _apt_name=${0##*/} _apt_etc=${VRXCHDET_APT_ETC:-/etc/apt}
  local scale=${VRXCHDET_APT_PAUSE_SCALE:-1}
  local pauses=(0 15 30 60 120) sudo=() sources=() dropped=0
  local attempt=0 next_pause=0 pause update_status install_status start=$SECONDS
  if ! [[ $scale =~ ^[0-9]+([.][0-9]+)?$ ]]; then
    echo "$_apt_name: VRXCHDET_APT_PAUSE_SCALE must be a number, not '$scale'" >&2
    return 2
  fi
  if [ "$(id -u)" -ne 0 ]; then sudo=(sudo); fi
  # Another apt run (a second build, an unattended upgrade) may hold the lock for a while.
  local apt=("${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q -o DPkg::Lock::Timeout=600)
  while :; do
    attempt=$((attempt + 1))
    if [ "$next_pause" -gt 0 ]; then
      pause=$(awk -v b="${pauses[next_pause]}" -v s="$scale" 'BEGIN { printf "%g", b * s }')
      echo "$_apt_name: trying apt-get update and install again in $pause s (attempt $attempt)" >&2
      sleep "$pause"
    fi
    update_status=0
    "${apt[@]}" "${sources[@]}" update 2>&1 | tee "$tmp/update.log" || update_status=$?
    if [ "$update_status" -ne 0 ]; then
      _apt_tell_failures "$tmp/update.log" "apt-get update could not fetch"
      # Decided before anything is installed: packages of one version from the security suite beside
      # packages of another architecture from the release suite alone cannot be installed together.
      if _apt_drop_security "$tmp/update.log"; then
        continue
      fi
      echo "$_apt_name: apt-get update failed (status $update_status); going on with the indexes it fetched and those already on disk" >&2
    fi
    install_status=0
    "${apt[@]}" "${sources[@]}" install -y --no-install-recommends "$@" 2>&1 | tee "$tmp/install.log" \
      || install_status=$?
    [ "$install_status" -eq 0 ] && return 0
    cat "$tmp/update.log" "$tmp/install.log" >"$tmp/attempt.log"
    if [ "$update_status" -eq 0 ] && [ -z "$(_apt_fetch_failures "$tmp/attempt.log")" ]; then
      # Nothing failed to download: another try would fail the same way.
      echo "$_apt_name: apt-get install failed (status $install_status; its messages are above), with every download done: not tried again" >&2
      return 1
    fi
    _apt_tell_failures "$tmp/install.log" "apt-get install could not fetch"
    if _apt_drop_security "$tmp/attempt.log"; then
      continue
    fi
    next_pause=$((next_pause + 1))
    [ "$next_pause" -lt ${#pauses[@]} ] && continue
    {
      echo "$_apt_name: giving up on apt-get after $attempt attempts in $((SECONDS - start)) s."
      _apt_tell_failures "$tmp/attempt.log" "  the last attempt could not fetch"
      [ -n "$(_apt_fetch_failures "$tmp/attempt.log")" ] \
        || grep -E '^E: ' "$tmp/attempt.log" | sed "s/^/$_apt_name:   apt-get said: /"
      if cut -f2 <<<"$(_apt_fetch_failures "$tmp/attempt.log")" | grep -q -i -E "$_apt_mirror_faults"; then
        echo "$_apt_name: The Debian mirror is at fault (it is being synced or serves a broken file), not the build."
      else
        echo "$_apt_name: The network or the Debian mirror is at fault, not the build."
      fi
      echo "$_apt_name: Try again later."
    } >&2
    return 1
  done
}
