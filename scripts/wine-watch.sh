# Watching a Wine program under emulation (sourced by scripts/setup-wine.sh
# and scripts/run-under-wine.sh). Wine's server can die there; its clients
# then wait in pipe reads for ever. So each attempt runs with a marker in its
# environment (VRXCHDET_WINE_ATTEMPT), inherited by every process it starts,
# the server included; a dead server (clients but no server for server_grace
# seconds) or an attempt longer than its bound ends them all, and the caller
# tries again.
server_grace=${VRXCHDET_WINE_SERVER_GRACE:-15}

# The processes of the attempt with the given marker.
attempt_pids() {
  grep -lzx "VRXCHDET_WINE_ATTEMPT=$1" /proc/[0-9]*/environ 2>/dev/null | cut -d/ -f3 || true
}

# The program names of the given processes (under qemu, the emulated program's).
process_names() {
  local pid words
  for pid in "$@"; do
    # Skips the emulator, Wine's preloader and loader, and options, to the program.
    words=$(tr '\0' '\n' 2>/dev/null < "/proc/$pid/cmdline" | grep -vE '^-|qemu|preloader$|/wine(64)?$' | head -n 1) || true
    [ -z "$words" ] || printf '%s ' "$(basename "${words//\\//}")"
  done
}

end_attempt() {
  local marker=$1 pids
  for _ in 1 2 3 4 5 6 7 8 9 10; do
    pids=$(attempt_pids "$marker")
    [ -z "$pids" ] && return 0
    # shellcheck disable=SC2086
    kill -9 $pids 2>/dev/null || true
    sleep 1
  done
  echo "processes of the attempt still there after 10 s: $(attempt_pids "$marker")" >&2
}

# watch_attempt MARKER PID SECONDS WHAT [all]: waits for the process PID
# (with "all", also for every process of the attempt) and sets watch_outcome
# to "ended" (watch_status holds PID's exit status), "serverless" or
# "timeout"; in the last two cases the attempt's processes have been ended.
# Says every 15 s what it is waiting for.
watch_attempt() {
  local marker=$1 pid=$2 seconds=$3 what=$4 mode=${5:-} start elapsed pids names serverless=0 reported=0
  start=$(date +%s)
  watch_status=0
  while :; do
    sleep 1
    elapsed=$(($(date +%s) - start))
    pids=$(attempt_pids "$marker")
    if ! kill -0 "$pid" 2>/dev/null && { [ "$mode" != all ] || [ -z "$pids" ]; }; then
      wait "$pid" || watch_status=$?
      watch_outcome=ended
      return 0
    fi
    # shellcheck disable=SC2086
    names=$(process_names $pids)
    if [[ " $names" == *" wineserver"* ]]; then
      serverless=0
    else
      serverless=$((serverless + 1))
    fi
    if [ "$serverless" -ge "$server_grace" ]; then
      echo "Wine's server is gone while these wait for it: $names; ending them" >&2
      watch_outcome=serverless
      break
    fi
    if [ "$elapsed" -ge "$seconds" ]; then
      echo "$what did not end within $seconds s; still running: $names; ending them" >&2
      watch_outcome=timeout
      break
    fi
    if [ $((elapsed - reported)) -ge 15 ]; then
      echo "  waiting ${elapsed} s for $what to end: $names"
      reported=$elapsed
    fi
  done
  end_attempt "$marker"
  wait "$pid" 2>/dev/null || true
}
