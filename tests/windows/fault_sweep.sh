#!/usr/bin/env bash
# Usage: tests/windows/fault_sweep.sh FAULTS_EXE PACKAGE SCRATCH
# Runs a mode-2 and a mode-3 run of the helper built with the fault seam (FAULTS_EXE, beside the
# package's Qt DLL) under Wine, counts the Windows calls each makes, then makes calls fail: the k-th
# call of each function (k = 1, 2, 3 and the last) once, with each code that real file systems,
# redirectors and scanners give; and every call of each function from the first on, with the
# codes of a file held by another program. Fails on any run that hangs, ends abnormally, writes a
# result that is neither the undisturbed one nor the earlier file (nor, for a subfolder's failure
# with its message or a folder closed to the user, the smaller report of the per-entry rule; nor
# empty digests for a file closed to the user or held by another program), or leaves a file of its
# own. Prints its run count and time.
set -uo pipefail
FAULTS_EXE="$1"
PACKAGE="$2"
SCRATCH="$3"
WINE="$(dirname "$0")/wine-run"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/helper" "$SCRATCH/work/tree/a/b" "$SCRATCH/work/tree/c"
cp "$PACKAGE"/*.dll "$SCRATCH/helper/"
cp "$FAULTS_EXE" "$SCRATCH/helper/vuro-helper.exe"
EXE="$SCRATCH/helper/vuro-helper.exe"
cd "$SCRATCH/work" || exit 1
printf 'abc%.0s' $(seq 1 2000) >target
for f in tree/x tree/a/y tree/a/b/z tree/c/w; do printf '%s' "$f" >"$f"; done
EARLIER='the earlier result'
# Windows error codes: invalid parameter, invalid function, not supported, access denied, sharing
# violation, lock violation, network name deleted, unexpected network error, I/O device error,
# not enough memory, too many open files.
CODES="87 1 50 5 32 33 64 59 1117 8 4"
HELD_CODES="32 33 5"
# The codes that are a file's own reason: a file closed to the user, or held by another program.
OWN_CODES="5 32 33"
snapshot() { find target tree -printf '%p %s %y\n' | sort; md5sum target; }
snapshot >"$SCRATCH/snapshot"

# One run: VURO_FAULT as given; prints nothing when the outcome is allowed, else what went wrong.
run_one() {
    local mode="$1" fault="$2" id="$3"
    local dir="$SCRATCH/run-$id" target=target
    [ "$mode" = 3 ] && target=tree
    mkdir -p "$dir"
    local status attempt
    for attempt in 1 2 3; do
        printf '%s' "$EARLIER" >"$dir/result.json"
        VURO_FAULT="$fault" WINEQT_FORCE_STDERR_LOGGING=1 timeout 60 "$WINE" "$EXE" "$mode" "$target" "Z:$dir/result" \
            >"$dir/out" 2>"$dir/err"
        status=$?
        # Wine's server going away, or not answering, as a run starts is Wine's matter, not the
        # helper's: the run is tried again.
        grep -qE '^wine( client error|: )' "$dir/err" || break
    done
    local problem="" content
    content="$(tr -d '\r' <"$dir/result.json" 2>/dev/null)"
    if [ "$status" -eq 124 ]; then
        problem="hung"
    elif [ "$status" -ne 0 ]; then
        problem="ended with status $status"
    elif [ "$content" = "$(tr -d '\r' <"$SCRATCH/reference-$mode.json")" ] || [ "$content" = "$EARLIER" ]; then
        :
    elif [ "$mode" = 2 ] && [[ " $OWN_CODES " == *" ${fault##*:} "* ]] && [ "$(echo "$content" | grep -c '": ""')" -eq 2 ]; then
        : # closed to the user or held by another program: empty digests, by the rule
    elif [ "$mode" = 3 ] && grep -q '"File Count"' "$dir/result.json" && ! grep -q 'tree\\\]' "$dir/err" &&
        { grep -q 'filesystem error' "$dir/err" || [ "${fault##*:}" = 5 ]; }; then
        : # a subfolder's failure, logged (or closed to the user, silently): the per-entry rule
    else
        problem="wrote a result that is none: $(echo "$content" | tr '\n' ' ' | cut -c1-120)"
    fi
    if ls -A "$dir" | grep -q '^\.vuro-'; then problem="$problem; left a temporary file"; fi
    if [ "$(cd "$SCRATCH/work" && snapshot)" != "$(cat "$SCRATCH/snapshot")" ]; then problem="$problem; changed the target"; fi
    if [ -n "$problem" ]; then echo "mode $mode, VURO_FAULT=$fault: $problem"; else rm -rf "$dir"; fi
}
export -f run_one snapshot
export EXE SCRATCH EARLIER WINE OWN_CODES

start=$(date +%s)
jobs="$SCRATCH/jobs"
: >"$jobs"
runs=0
for mode in 2 3; do
    target=target
    [ "$mode" = 3 ] && target=tree
    printf '%s' "$EARLIER" >"$SCRATCH/reference-$mode.json"
    VURO_FAULT="count:Z:$SCRATCH/counts-$mode" "$WINE" "$EXE" "$mode" "$target" "Z:$SCRATCH/reference-$mode" >/dev/null 2>&1
    if ! grep -q '"' "$SCRATCH/reference-$mode.json" || [ ! -s "$SCRATCH/counts-$mode" ]; then
        echo "FAIL: mode $mode gave no result, or no call counts, without faults"
        exit 1
    fi
    while read -r function count; do
        for k in $(printf '%s\n' 1 2 3 "$count" | awk -v n="$count" '$1 <= n' | sort -un); do
            for code in $CODES; do
                runs=$((runs + 1))
                echo "$mode $function:$k:$code $runs" >>"$jobs"
            done
        done
        for code in $HELD_CODES; do
            runs=$((runs + 1))
            echo "$mode $function:1+:$code $runs" >>"$jobs"
        done
    done <"$SCRATCH/counts-$mode"
done
# The listing's last way, reached when a file system refuses both information classes (as some
# redirectors do): the find calls failing in turn there.
for mode in 2 3; do
    for refusal in 87 1 50; do
        runs=$((runs + 1))
        echo "$mode GetFileInformationByHandleEx:1+:$refusal $runs" >>"$jobs"
    done
    for function in FindFirstFileExW FindNextFileW; do
        for k in 1 2 3; do
            for code in $CODES; do
                runs=$((runs + 1))
                echo "$mode GetFileInformationByHandleEx:1+:87,$function:$k:$code $runs" >>"$jobs"
            done
        done
    done
done
# The in-place way, reached when the rename stays refused: its lock refused once, and for good.
for mode in 2 3; do
    for lock in "LockFileEx:1:33" "LockFileEx:1+:33"; do
        runs=$((runs + 1))
        echo "$mode SetFileInformationByHandle:1+:32,$lock $runs" >>"$jobs"
    done
done
failures="$(xargs -P "$(nproc)" -L 1 bash -c 'run_one "$@" 2>/dev/null' _ <"$jobs")"
seconds=$(($(date +%s) - start))
count=0
[ -n "$failures" ] && count=$(echo "$failures" | wc -l)
[ -n "$failures" ] && echo "$failures" | sed 's/^/FAIL: /'
functions="$(awk '{ n = split($2, faults, ","); for (i = 1; i <= n; i++) { split(faults[i], part, ":"); print part[1] } }' "$jobs" | sort -u | tr '\n' ' ')"
echo "$runs runs in $seconds s; the Windows calls failed: $functions"
if [ "$count" -eq 0 ]; then
    echo "ok: every run gave the undisturbed result, the earlier file or none, and left nothing"
    rm -rf "$SCRATCH"
fi
[ "$count" -eq 0 ]
