#!/usr/bin/env bash
# Usage: tests/fault_sweep.sh HELPER SCRATCH MODE [K/N] [--sanitized] [--way=WAY --faults=LIBRARY]
# Makes every system call of a run of MODE (2, the digests, or 3, the walk) fail in turn, once per thread, with EIO,
# ENOMEM and ENFILE (strace -e inject), and fails on any run whose result passes for one without
# being one: a result file that is neither the undisturbed result, nor the earlier file, nor (an
# I/O error in a subfolder, with its debug message) the per-entry rule's smaller report; digests
# left empty; a temporary file left behind; a crash after the helper started; a changed target;
# what the earlier file carried (owner, ACL, extended attribute) lost; two names of one file told
# apart. WAY is the way the writer goes, the reference run's as the swept runs': "replaced" (an
# earlier result, with an owner to copy as root, an ACL and an extended attribute; the default),
# "new" (none), "inplace" (the earlier result has a second hard link), "named" (no unnamed files:
# a named temporary), "noproc" (no /proc, and no descriptor named without it) or "nothread" (no
# thread to be had); the last three preload the fault LIBRARY. "large", "ring" and "proc" replace
# the earlier result as "replaced" does, hashing a file past one read on the first thread under
# the watch, one along the ring, or one that states a size below its contents (a /proc file).
# K/N takes every N-th of the runs, from the K-th: each slice is a CTest test of its own, so that
# CTest shows its start and end well within half a minute. Prints how many runs it made. Exits 77
# (skipped) without strace.
set -uo pipefail
source "$(dirname "$0")/support/sweep.sh"
HELPER="$1"
SCRATCH="$2"
SWEPT_MODE="$3"
SLICE=1/1
SANITIZED=""
WAY=replaced
FAULTS=""
for option in "${@:4}"; do
    case "$option" in
    --sanitized) SANITIZED=1 ;;
    --way=*) WAY="${option#--way=}" ;;
    --faults=*) FAULTS="${option#--faults=}" ;;
    */*) SLICE="$option" ;;
    esac
done
if [ -n "$SANITIZED" ]; then
    echo "skipped: a sanitized build's allocator ends the process on an injected mmap failure, by design"
    exit 77
fi
command -v strace >/dev/null || { echo "skipped: strace is not installed"; exit 77; }
strace -o /dev/null true 2>/dev/null || { echo "skipped: strace cannot trace here (ptrace refused)"; exit 77; }
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/work"
cd "$SCRATCH/work" || exit 1

# What the kernel never answers with these errors, and what ends a thread: failing them tests
# the C library's assertions, not the helper.
NOT_INJECTED=" brk futex exit exit_group rt_sigreturn "
EARLIER='the earlier result'

make_work_tree
# "ring": the earlier result replaced, the target large enough to be hashed along the ring.
[ "$WAY" = ring ] && head -c $((16 * 1024 * 1024 + 3)) /dev/urandom >target
# "large": past one read, below the ring's size: on the first thread, under the watch.
[ "$WAY" = large ] && head -c $((1024 * 1024 + 3)) /dev/urandom >target
# "proc": a file that states a size of 0 and gives more (read from its start when the small
# way finds no end within it).
[ "$WAY" = proc ] && rm target && ln -s /proc/version target
snapshot >../snapshot

# Prints, per system call name, the most calls of it that one thread of the traced run made.
call_counts() {
    awk '$2 ~ /^[a-z_0-9]+\(/ { name = $2; sub(/\(.*/, "", name); count[$1 " " name]++ }
         END { for (key in count) { split(key, part, " "); if (count[key] > most[part[2]]) most[part[2]] = count[key] }
               for (name in most) print name, most[name] }' "$1"
}

# The strace options that set the way up for the traced helper: its environment, and the calls
# that fail in every run of it, one to a line.
way_options() {
    case "$WAY" in
    named) printf '%s\n' -E "LD_PRELOAD=$FAULTS" -E VURO_FAULT_NO_TMPFILE=1 ;;
    noproc) printf '%s\n' -E "LD_PRELOAD=$FAULTS" -E VURO_FAULT_NO_PROC=1 -E VURO_FAULT_LINKAT_EMPTY_PATH=1 ;;
    nothread) printf '%s\n' -e inject=clone,clone3:error=EAGAIN ;;
    esac
}

# Puts the earlier result of the way into the folder $1, with what it carries.
prepare_way() {
    local result="$1/result.json"
    [ "$WAY" = new ] && return
    printf '%s' "$EARLIER" >"$result"
    case "$WAY" in
    inplace) ln "$result" "$1/result2.json" ;;
    replaced | large | ring | proc)
        setfattr -n user.kept -v yes "$result" 2>/dev/null
        setfacl -m u:65534:r "$result" 2>/dev/null
        [ "$(id -u)" -eq 0 ] && chown 65534:65534 "$result"
        ;;
    esac
}

# What the earlier result of the way carries, as one line: a replacement or rewrite keeps it.
carried() {
    local result="$1/result.json"
    [ -e "$result" ] || return
    stat -c '%u:%g %a' "$result"
    getfattr --only-values -n user.kept "$result" 2>/dev/null
    getfacl -cp "$result" 2>/dev/null | grep '^user:65534'
}
export -f way_options prepare_way carried

# One run: the k-th call of one name fails in every thread. Prints nothing when the outcome is
# one the rules allow, else one line naming the run and what went wrong.
run_one() {
    local mode="$1" name="$2" k="$3" error="$4" reference="$5" id="$6"
    local dir="$SCRATCH/run-$id"
    mkdir -p "$dir"
    local result="$dir/result.json"
    prepare_way "$dir"
    local before
    before="$(carried "$dir")"
    local target=target
    [ "$mode" = 3 ] && target=tree
    local options
    mapfile -t options < <(way_options)
    timeout 60 strace -f -qq -o /dev/null "${options[@]}" -e trace="$name" -e inject="$name:error=$error:when=$k" \
        "$HELPER" "$mode" "$target" "$result" >"$dir/out" 2>"$dir/err"
    local status=$?
    local what="mode $mode, $name call $k failing with $error"
    local content
    content="$(cat "$result")"
    local problem=""
    if [ "$status" -eq 124 ]; then
        problem="hung"
    elif [ "$status" -ne 0 ] && [ -s "$dir/out" ]; then
        problem="ended with status $status after it started"
    elif [ "$name" = fsync ] && [ "$content" = "$(cat "$reference")" ]; then
        # A report whose flush failed may not be on the device: it never takes the result's place.
        problem="a result whose flush failed took its place"
    elif [ "$content" = "$(cat "$reference")" ] || { [ "$WAY" != new ] && [ "$content" = "$EARLIER" ]; } ||
        { [ "$WAY" = new ] && [ ! -e "$result" ]; } || { [ "$WAY" = inplace ] && [ -z "$content" ]; }; then
        # (In place, a rewrite whose putting back of the earlier bytes failed too leaves it empty.)
        :
    elif [ "$mode" = 3 ] && [ "$error" = EIO ] && grep -q 'filesystem error' "$dir/err" && ! grep -q '/tree\]$' "$dir/err" &&
        grep -q '"File Count"' "$result" &&
        grep -q '"Folder Count "' "$result" && python3 -c 'import json,sys; json.load(open(sys.argv[1]))' "$result" 2>/dev/null; then
        :
    else
        problem="wrote a result that is none: $(tr '\n' ' ' <"$result" | cut -c1-160)"
    fi
    # Any call failing for want of memory once the mode began is said where it leaves no report,
    # never a quiet missing report (a failed open of the earlier result, in place, once passed for
    # a success; so did a failed look at the result's name): as out of memory, or in the loader's
    # words where it mapped the digest library (it gives no reason for a segment or pages it cannot map).
    if [ "$error" = ENOMEM ] && grep -q '^IT_' "$dir/out" && [ "$content" != "$(cat "$reference")" ] &&
        ! grep -qE 'out of memory: no result written|(failed to map segment from shared object|cannot map zero-fill pages): no result written' "$dir/err"; then
        problem="$problem; no report, and out of memory not said"
    fi
    problem="$problem$(leftovers "$dir" "" "$SCRATCH/work" "$SCRATCH/snapshot")"
    if [ "$WAY" != new ] && [ "$(carried "$dir")" != "$before" ]; then problem="$problem; lost what the earlier result carried"; fi
    # The other name sees what the result's name sees, or, where the rules for hard links could
    # not be read and the helper is root, keeps the earlier report (the result replaced whole).
    if [ "$WAY" = inplace ] && ! cmp -s "$result" "$dir/result2.json" && [ "$(cat "$dir/result2.json")" != "$EARLIER" ]; then
        problem="$problem; its other name holds $(tr '\n' ' ' <"$dir/result2.json" | cut -c1-80)"
    fi
    if [ -n "$problem" ]; then echo "$what: $problem"; else rm -rf "$dir"; fi
}
export -f run_one
export HELPER SCRATCH EARLIER WAY FAULTS

runs=0
start=$(date +%s)
jobs_file="$SCRATCH/jobs"
: >"$jobs_file"
for mode in $SWEPT_MODE; do
    target=target
    [ "$mode" = 3 ] && target=tree
    reference="$SCRATCH/reference-$mode"
    # The reference run goes the way the swept runs go, so that its trace lists their calls.
    rm -rf "$SCRATCH/ref"
    mkdir -p "$SCRATCH/ref"
    prepare_way "$SCRATCH/ref"
    mapfile -t options < <(way_options)
    strace -f -qq -o "$SCRATCH/trace-$mode" "${options[@]}" "$HELPER" "$mode" "$target" "$SCRATCH/ref/result.json" >/dev/null 2>&1
    if ! grep -q '"' "$SCRATCH/ref/result.json" 2>/dev/null; then echo "FAIL: mode $mode ($WAY) gave no result without faults"; exit 1; fi
    mv "$SCRATCH/ref/result.json" "$reference"
    while read -r name count; do
        [[ "$NOT_INJECTED" == *" $name "* ]] && continue
        # Without threads, thread creation fails in every run already.
        [ "$WAY" = nothread ] && [[ " clone clone3 " == *" $name "* ]] && continue
        for ((k = 1; k <= count; k++)); do
            for error in EIO ENOMEM ENFILE; do
                runs=$((runs + 1))
                echo "$mode $name $k $error $reference $runs" >>"$jobs_file"
            done
        done
    done < <(call_counts "$SCRATCH/trace-$mode")
done
take_slice "$jobs_file" "$SLICE"
runs=$(wc -l <"$jobs_file")
run_jobs "$jobs_file" "$(nproc)"
echo "$runs runs (slice $SLICE, way $WAY) in $(($(date +%s) - start)) s (each system call of a mode-$SWEPT_MODE run failing in turn with EIO, ENOMEM, ENFILE): $FAILED passed for a result"
[ "$FAILED" -eq 0 ]
