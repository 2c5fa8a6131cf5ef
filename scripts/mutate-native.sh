#!/usr/bin/env bash
# How strong the fast native tests are: plants each fault listed in
# tests/mutation/native-mutations.txt in the C++ sources, one at a time,
# rebuilds the GoogleTest binaries and runs the CTest tests labelled "fast"
# (the local store's tests and the bridge's). A mutant is killed when a test
# fails or the run outlasts its bound, and survives when every test passes.
#
#   scripts/mutate-native.sh [--build DIR] [--only ID[,ID...]] [--list] [--timeout SECONDS]
#
#   --build DIR      build folder (default build-mutation/, configured on first use)
#   --only IDS       only these mutations, by id, comma-separated
#   --list           print the mutations and where they apply, and stop
#   --timeout SECS   bound of one mutant's test run (default: three times the
#                    unmutated run, at least 120 s); a mutant that outlasts it is killed
#
# One line per mutation, then "native mutants: K killed, S survived of N (P%)";
# mutants that do not compile are reported as such and counted nowhere. Exits
# 0 whatever survives; 2 when the list is bad, the build folder cannot build or
# its tests fail unmutated, or a source file could not be put back as it was.
# Logs of each build and test run are kept in DIR/mutation-logs/.
set -uo pipefail

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$repo" || exit 2

list_file=tests/mutation/native-mutations.txt
build_dir=build-mutation
only=""
list_only=0
run_timeout=""
java_home=/usr/lib/jvm/java-17-openjdk-amd64
# the test binaries a mutant must reach; make rebuilds only what changed
targets=(localstore_tests bridge_scripted_tests bridge_local_store_tests)
label='^(localstore|bridge)$'
test_timeout=120  # one CTest test

# The script's own standard error, for what a trap says while a build's or a
# test run's output goes to its log.
exec 3>&2
say() { echo "mutate-native: $*" >&3; }

fail() {
    say "$*"
    exit 2
}

while (($#)); do
    case "$1" in
        --build) [[ $# -ge 2 ]] || fail "--build needs a folder"; build_dir=$2; shift 2 ;;
        --build=*) build_dir=${1#--build=}; shift ;;
        --only) [[ $# -ge 2 ]] || fail "--only needs ids"; only=$2; shift 2 ;;
        --only=*) only=${1#--only=}; shift ;;
        --list) list_only=1; shift ;;
        --timeout) [[ $# -ge 2 ]] || fail "--timeout needs seconds"; run_timeout=$2; shift 2 ;;
        --timeout=*) run_timeout=${1#--timeout=}; shift ;;
        -h|--help) sed -n '2,20p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) fail "unknown argument '$1' (see --help)" ;;
    esac
done
[[ -z $run_timeout || $run_timeout =~ ^[1-9][0-9]*$ ]] || fail "--timeout takes whole seconds, not '$run_timeout'"
[[ -f $list_file ]] || fail "no mutation list at $list_file"

# ---- the list -------------------------------------------------------------

ids=() files=() originals=() replacements=() descriptions=() lines=()

# Prints the line number of the one occurrence of text $2 in file $1, or
# fails with the number of occurrences found.
locate() {
    [[ -r $1 ]] || return 1
    ORIGINAL=$2 perl -0777 -ne '
        my $o = $ENV{ORIGINAL}; my ($n, $at, $p) = (0, -1, 0);
        while (($p = index($_, $o, $p)) >= 0) { $at = $p if $n++ == 0; $p += 1; }
        if ($n != 1) { print "$n\n"; exit 1; }
        print 1 + (substr($_, 0, $at) =~ tr/\n//), "\n";' "$1"
}

unescape() { local text=$1; printf '%s' "${text//\\|/|}"; }

number=0
while IFS= read -r raw || [[ -n $raw ]]; do
    number=$((number + 1))
    [[ $raw =~ ^[[:space:]]*(#|$) ]] && continue
    rest=$raw fields=()
    for _ in 1 2 3 4; do
        [[ $rest == *" | "* ]] || fail "$list_file:$number: needs five fields separated by ' | '"
        fields+=("${rest%%" | "*}")
        rest=${rest#*" | "}
    done
    fields+=("$rest")
    id=${fields[0]//[[:space:]]/} file=${fields[1]//[[:space:]]/}
    original=$(unescape "${fields[2]}") replacement=$(unescape "${fields[3]}")
    description=$(sed 's/[[:space:]]*$//' <<<"${fields[4]}")
    [[ $id =~ ^[A-Za-z0-9_.-]+$ ]] || fail "$list_file:$number: the id '$id' is not letters, digits, '.', '_' or '-'"
    for known in "${ids[@]}"; do [[ $known != "$id" ]] || fail "$list_file:$number: the id $id is used twice"; done
    [[ $file != /* && $file != *..* && -f $file ]] || fail "$list_file:$number: $id: no file '$file' in the work tree"
    [[ -n $original ]] || fail "$list_file:$number: $id: the original text is empty"
    [[ $original != "$replacement" ]] || fail "$list_file:$number: $id: the replacement is the original text"
    [[ -n $description ]] || fail "$list_file:$number: $id: says nothing of what it breaks"
    if ! line=$(locate "$file" "$original") || [[ ! $line =~ ^[1-9][0-9]*$ ]]; then
        fail "$list_file:$number: $id: the original text occurs ${line:-?} times in $file, not once: '$original'"
    fi
    ids+=("$id") files+=("$file") originals+=("$original") replacements+=("$replacement")
    descriptions+=("$description") lines+=("$line")
done <"$list_file"
((${#ids[@]})) || fail "$list_file holds no mutations"

chosen=()
if [[ -n $only ]]; then
    IFS=, read -r -a wanted <<<"$only"
    for want in "${wanted[@]}"; do
        found=""
        for i in "${!ids[@]}"; do [[ ${ids[i]} == "$want" ]] && found=$i; done
        [[ -n $found ]] || fail "--only: no mutation with the id '$want' in $list_file"
        chosen+=("$found")
    done
else
    chosen=("${!ids[@]}")
fi

if ((list_only)); then
    for i in "${chosen[@]}"; do
        printf '%-26s %s:%s  %s\n' "${ids[i]}" "${files[i]}" "${lines[i]}" "${descriptions[i]}"
    done
    exit 0
fi

# ---- restoring the tree ----------------------------------------------------

# The files the run changes; those without edits of their own now must show
# none to git afterwards. Edits made elsewhere meanwhile are not the run's.
touched=()
for i in "${chosen[@]}"; do
    [[ " ${touched[*]} " == *" ${files[i]} "* ]] || touched+=("${files[i]}")
done
clean=()
for file in "${touched[@]}"; do git diff --quiet -- "$file" 2>/dev/null && clean+=("$file"); done
scratch=$(mktemp -d "${TMPDIR:-/tmp}/mutate-native.XXXXXX") || fail "no scratch folder"
applied_file=""  # the file now holding a mutant
run_token="mutate-native-$$-$RANDOM"

# Kills, by id, whatever a test run left running: every process that carries
# this run's token in its environment.
stop_leftovers() {
    local environ pid left=()
    for environ in /proc/[0-9]*/environ; do
        pid=${environ#/proc/}; pid=${pid%/environ}
        [[ $pid == "$$" ]] && continue
        if { tr '\0' '\n' <"$environ"; } 2>/dev/null | grep -qx "VRXCHDET_MUTATION_RUN=$run_token"; then
            left+=("$pid")
        fi
    done
    ((${#left[@]})) || return 0
    say "stopping ${#left[@]} process(es) left running: ${left[*]}"
    kill -KILL "${left[@]}" 2>/dev/null
    return 0
}

restore() {
    if [[ -n $applied_file ]]; then
        # Written anew rather than copied with its old time: make then
        # rebuilds what was compiled from the mutant.
        cat "$scratch/original" >"$applied_file" && cmp -s "$scratch/original" "$applied_file" ||
            { say "could not restore $applied_file; its original is $scratch/original"; return 1; }
        applied_file=""
    fi
}

on_exit() {
    local status=$?
    stop_leftovers
    if ! restore; then
        exit 2
    fi
    rm -rf "$scratch"
    exit "$status"
}
# The build and the tests run in the background, so that a signal is handled
# at once rather than when they end; timeout passes it on to its whole group.
child=""
stop() {  # $1: what came, $2: exit status
    say "$1"
    [[ -n $child ]] && kill -TERM "$child" 2>/dev/null && wait "$child"
    exit "$2"
}
trap on_exit EXIT
trap 'stop interrupted 130' INT
trap 'stop terminated 143' TERM

# Runs "$@" in the background and waits for it; returns its status.
waited() {
    "$@" 3>&- &
    child=$!
    wait "$child"
    local status=$?
    child=""
    return "$status"
}

# ---- building and testing --------------------------------------------------

logs="$build_dir/mutation-logs"

build() {  # $1: log file
    waited timeout --kill-after=10 3600 cmake --build "$build_dir" --target "${targets[@]}" -j"$(nproc)" \
        </dev/null >"$1" 2>&1
}

# Runs the fast tests within $1 seconds into log $2; stops at the first
# failure when $3 is "stop". Returns ctest's status, 124 when the bound hit.
run_tests() {
    local bound=$1 log=$2 stop_at=()
    [[ ${3:-} == stop ]] && stop_at=(--stop-on-failure)
    VRXCHDET_MUTATION_RUN=$run_token waited timeout --kill-after=10 "$bound" \
        ctest --test-dir "$build_dir" -L "$label" --timeout "$test_timeout" --no-tests=error \
        -j"$(nproc)" "${stop_at[@]}" </dev/null >"$log" 2>&1
    local status=$?
    stop_leftovers
    return "$status"
}

first_failure() {  # the first test the log reports not passed
    sed -n 's/^.*Test \{1,\}#[0-9]\{1,\}: \([^ ]\{1,\}\) .*\*\*\*\(.*\)$/\1 (\2)/p' "$1" |
        grep -v '(Skipped' | head -n 1 | sed 's/ \{2,\}[0-9.]\{1,\} sec)$/)/; s/ \{2,\}/ /g'
}

if [[ ! -f $build_dir/CMakeCache.txt ]]; then
    echo "mutate-native: configuring $build_dir"
    JAVA_HOME=$java_home cmake -S . -B "$build_dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DVRXCHDET_BUILD_TESTS=ON >"$scratch/configure.log" 2>&1 ||
        { cat "$scratch/configure.log" >&2; fail "cannot configure $build_dir"; }
fi
grep -q '^VRXCHDET_BUILD_TESTS:BOOL=ON$' "$build_dir/CMakeCache.txt" ||
    fail "$build_dir is configured without the tests (-DVRXCHDET_BUILD_TESTS=ON)"
mkdir -p "$logs" || fail "cannot make $logs"

echo "mutate-native: building ${targets[*]} in $build_dir"
build "$logs/unmutated.build.log" || { tail -n 30 "$logs/unmutated.build.log" >&2; fail "$build_dir does not build unmutated"; }
started=$SECONDS
if ! run_tests 1800 "$logs/unmutated.test.log"; then
    tail -n 30 "$logs/unmutated.test.log" >&2
    fail "the fast tests fail without any mutant (log: $logs/unmutated.test.log); every mutant would look killed"
fi
baseline=$((SECONDS - started))
tests=$(sed -n 's/^.*tests passed, 0 tests failed out of \([0-9]*\)$/\1/p' "$logs/unmutated.test.log")
[[ -n $run_timeout ]] || run_timeout=$((baseline * 3 > 120 ? baseline * 3 : 120))
echo "mutate-native: ${tests:-?} fast tests pass unmutated in ${baseline} s; each mutant's run is bounded at ${run_timeout} s"

killed=0 survived=0 unbuilt=0
for i in "${chosen[@]}"; do
    id=${ids[i]} file=${files[i]}
    where="$file:${lines[i]}"
    cp "$file" "$scratch/original" || fail "cannot keep a copy of $file"
    applied_file=$file
    ORIGINAL=${originals[i]} REPLACEMENT=${replacements[i]} perl -0777 -i -pe \
        's/\Q$ENV{ORIGINAL}\E/$ENV{REPLACEMENT}/' "$file" || fail "$id: cannot write the mutant into $file"
    cmp -s "$file" "$scratch/original" && fail "$id: the mutant left $file unchanged"

    if ! build "$logs/$id.build.log"; then
        verdict="did not build"
        unbuilt=$((unbuilt + 1))
        printf '%-13s %-26s %s  %s\n' "$verdict" "$id" "$where" "${descriptions[i]}"
    else
        run_tests "$run_timeout" "$logs/$id.test.log" stop
        status=$?
        if ((status == 0)); then
            survived=$((survived + 1))
            printf '%-13s %-26s %s  %s\n' "SURVIVED" "$id" "$where" "${descriptions[i]}"
        else
            killed=$((killed + 1))
            if ((status == 124 || status == 137)); then
                by="hung: the run outlasted ${run_timeout} s"
            else
                by=$(first_failure "$logs/$id.test.log")
                by=${by:+"first failing: $by"}
                by=${by:-"ctest failed (see $logs/$id.test.log)"}
            fi
            printf '%-13s %-26s %s  %s; %s\n' "killed" "$id" "$where" "${descriptions[i]}" "$by"
        fi
    fi
    restore || exit 2
done

# The build folder is left built from the sources as they are.
build "$logs/restored.build.log" || { tail -n 30 "$logs/restored.build.log" >&2; fail "$build_dir does not build after restoring"; }
if ((${#clean[@]})) && ! git diff --quiet -- "${clean[@]}"; then
    git diff --stat -- "${clean[@]}" >&2
    fail "the files mutated differ from before the run"
fi

counted=$((killed + survived))
percent=$((counted ? (100 * killed + counted / 2) / counted : 0))
((unbuilt)) && echo "mutate-native: $unbuilt mutant(s) did not build and are not counted"
echo "native mutants: $killed killed, $survived survived of $counted ($percent%)"
exit 0
