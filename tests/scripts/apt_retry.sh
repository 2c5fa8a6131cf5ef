#!/usr/bin/env bash
# scripts/install-deps.sh and scripts/apt-retry.sh against a mirror in the
# middle of a sync: the stand-ins of fake-apt/ (apt-get, dpkg-query, sudo,
# sleep) come first on PATH, so nothing is downloaded or installed. Pauses
# are scaled down to a thousandth.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
install_deps=$here/../../scripts/install-deps.sh
work=$(mktemp -d "${TMPDIR:-/tmp}/apt-retry-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
real_sleep=$(command -v sleep)
failures=0

# The sources of the machine: one-line and deb822 ones, each with the
# security suite.
mkdir -p "$work/etc/sources.list.d"
cat >"$work/etc/sources.list" <<'SOURCES'
deb http://deb.debian.org/debian bookworm main
deb http://security.debian.org/debian-security bookworm-security main
SOURCES
cat >"$work/etc/sources.list.d/debian.sources" <<'SOURCES'
Types: deb
# http://snapshot.debian.org/archive/debian/20250520T000000Z
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg

Types: deb
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg
SOURCES
echo "deb [arch=amd64] https://example.org/apt stable main" >"$work/etc/sources.list.d/example.list"

# run NAME [VAR=VALUE...]: install-deps.sh wine32:i386 with the stand-ins
# configured by the variables; its stdout, stderr and status in $out, $err,
# $status, the stand-ins' records in $state.
run() {
  name=$1; shift
  state=$work/$name
  mkdir -p "$state/tmp"
  status=0
  timeout 30 env -u VRXCHDET_APT_DROP_BROKEN_SECURITY PATH="$here/fake-apt:$PATH" \
    FAKE_APT_STATE="$state" FAKE_REAL_SLEEP="$real_sleep" TMPDIR="$state/tmp" \
    VRXCHDET_APT_PAUSE_SCALE=0.001 VRXCHDET_APT_ETC="$work/etc" "$@" \
    "$install_deps" wine32:i386 >"$state/out" 2>"$state/err" || status=$?
  [ "$status" -ne 124 ] || fail "did not end within 30 s (install-deps.sh against the stand-ins)"
  err=$(cat "$state/err")
  [ -z "$(ls -A "$state/tmp")" ] || fail "left behind in TMPDIR: $(ls -A "$state/tmp")"
}
fail() {
  echo "FAILED: $name: $*"
  echo "--- stderr:"; cat "$state/err"
  failures=$((failures + 1))
}
calls() { tr '\n' ';' 2>/dev/null <"$state/calls" || true; }
pauses() { tr '\n' ' ' 2>/dev/null <"$state/sleeps" || true; }
expect_in() { # TEXT WHAT: TEXT is in $err
  grep -q -F -- "$1" <<<"$err" || fail "stderr lacks $2: '$1'"
}
all=(cmake make g++ openjdk-17-jdk-headless maven libsqlite3-dev libssl-dev)
install_all="install ${all[*]} wine32:i386;"

# Only the packages dpkg-query does not report installed are installed; none
# left, apt-get is not run.
run installed FAKE_INSTALLED="*"
[ "$status" -eq 0 ] || fail "status $status"
[ ! -e "$state/calls" ] || fail "calls '$(calls)' with every package installed"
run some-installed FAKE_INSTALLED="cmake g++ libssl-dev"
[ "$status" -eq 0 ] || fail "status $status"
[ "$(calls)" = "update;install make openjdk-17-jdk-headless maven libsqlite3-dev wine32:i386;" ] || fail "calls '$(calls)'"

# A failed update (one index of the wrong size) does not stop the install,
# which may do with the other indexes; it is not repeated when that works.
run goes-on FAKE_APT_BROKEN=i386 FAKE_APT_UPDATE_FAILS=99 FAKE_APT_INSTALL=ok
[ "$status" -eq 0 ] || fail "status $status"
[ "$(calls)" = "update;$install_all" ] || fail "calls '$(calls)'"
[ -z "$(pauses)" ] || fail "paused: $(pauses)"
expect_in "apt-get update could not fetch the index bookworm main/binary-i386/Packages.xz: File has unexpected size (8793796 != 8793692). Mirror sync in progress?" "the failed index"
expect_in "going on with the indexes it fetched" "that it goes on"

# Update and install fail while the index is broken: both are tried again
# after longer and longer pauses, until the index is back.
run recovers FAKE_APT_BROKEN=i386 FAKE_APT_UPDATE_FAILS=2 FAKE_APT_INSTALL=needs-index
[ "$status" -eq 0 ] || fail "status $status"
[ "$(calls)" = "update;$install_all""update;$install_all""update;$install_all" ] || fail "calls '$(calls)'"
[ "$(pauses)" = "0.015 0.03 " ] || fail "pauses '$(pauses)', not 15 s and 30 s scaled"

# The index stays broken: five attempts, 15, 30, 60 and 120 s apart (scaled),
# then the index, the mirror's message, and whose fault it is. The security
# suite stays in the sources unless asked.
run gives-up FAKE_APT_BROKEN=security FAKE_APT_UPDATE_FAILS=99 FAKE_APT_INSTALL=needs-index
[ "$status" -ne 0 ] || fail "status 0 though every install failed"
[ "$(calls)" = "$(printf "update;$install_all%.0s" 1 2 3 4 5)" ] || fail "calls '$(calls)'"
[ "$(pauses)" = "0.015 0.03 0.06 0.12 " ] || fail "pauses '$(pauses)', not 15, 30, 60 and 120 s scaled"
expect_in "giving up on apt-get after 5 attempts" "the give-up"
expect_in "the last attempt could not fetch the index bookworm-security main/binary-amd64: Hash Sum mismatch" "the failed index"
expect_in "(http://deb.debian.org/debian-security/dists/bookworm-security/main/binary-amd64/by-hash/SHA256/5d3c9e0f1a)" "the failed URL"
expect_in "could not fetch the file libssl-dev_3.0.15-1~deb12u1_amd64.deb: 404  Not Found" "the failed package file"
expect_in "The Debian mirror is at fault" "the mirror's fault"
expect_in "not the build" "that the build is not at fault"
expect_in "Try again later." "the advice"
! grep -q "release suite alone" <<<"$err" || fail "dropped the security suite unasked"

# An install that fails with every download done is not tried again, and the
# mirror is not blamed.
run not-retried FAKE_APT_INSTALL=unknown
[ "$status" -ne 0 ] || fail "status 0 though the install failed"
[ "$(calls)" = "update;$install_all" ] || fail "calls '$(calls)'"
[ -z "$(pauses)" ] || fail "paused: $(pauses)"
expect_in "with every download done: not tried again" "why it stops"
! grep -q -i "mirror" <<<"$err" || fail "blames the mirror"

# In the throwaway root of fresh-debian.sh a broken security suite is left
# out of the sources as soon as the update shows it, before anything is
# installed, each form of them, and the install takes the release suite alone.
run release-alone VRXCHDET_APT_DROP_BROKEN_SECURITY=1 FAKE_APT_BROKEN=security FAKE_APT_UPDATE_FAILS=99 \
  FAKE_APT_INSTALL=needs-index
[ "$status" -eq 0 ] || fail "status $status"
[ "$(calls)" = "update;update [own sources];${install_all%;} [own sources];" ] || fail "calls '$(calls)'"
[ -z "$(pauses)" ] || fail "paused: $(pauses)"
expect_in "installs from the release suite alone" "that the security suite was dropped"
sources=$(cat "$state/sources-seen" 2>/dev/null || true)
! grep -q -- -security <<<"$sources" || fail "the security suite is still in the sources: $sources"
for kept in "deb http://deb.debian.org/debian bookworm main" "Suites: bookworm bookworm-updates" \
  "URIs: http://deb.debian.org/debian" "deb [arch=amd64] https://example.org/apt stable main"; do
  grep -q -F -x -- "$kept" <<<"$sources" || fail "the sources lost '$kept': $sources"
done

if [ "$failures" -ne 0 ]; then
  echo "FAILED: $failures checks"
  exit 1
fi
echo "apt retry: all checks passed"
