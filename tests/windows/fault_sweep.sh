#!/usr/bin/env bash
# Usage: tests/windows/fault_sweep.sh FAULTS_EXE PACKAGE SCRATCH PART [K/N]
# PART is the number of one setting below (1 to 5), or "find" for the listing's last way; K/N
# takes every N-th of its runs, from the K-th: each slice is a CTest test of its own, so that
# CTest shows its start and end well within half a minute.
# Runs the helper built with the fault seam (FAULTS_EXE, beside the package's Qt DLL) under Wine
# in several settings (a digest, a walk, a volume root's capacity, a read-only earlier result, a
# rename refused for good so the result is written in place), counts the Windows calls each makes,
# then makes calls fail: the k-th call of each function (k = 1, 2, 3 and the last) once, with each
# code that real file systems, redirectors and scanners give; and every call of each function from
# the first on, with the codes of a file held by another program. Fails on any run that hangs,
# ends abnormally, writes a result that is neither the undisturbed one nor the earlier file (nor,
# for a subfolder's failure with its message or a folder closed to the user, the smaller report
# of the per-entry rule; nor empty digests for a file closed to the user or held by another
# program; nor an empty file where every write in place is refused), or leaves a file of its own
# (unless every removal is refused). Prints its run count and time.
set -uo pipefail
source "$(dirname "$0")/../support/sweep.sh"
FAULTS_EXE="$1"
PACKAGE="$2"
SCRATCH="$3"
PART="$4"
SLICE="${5:-1/1}"
WINE="$(dirname "$0")/wine-run"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/helper" "$SCRATCH/work"
cp "$PACKAGE"/*.dll "$SCRATCH/helper/"
cp "$FAULTS_EXE" "$SCRATCH/helper/vuro-helper.exe"
EXE="$SCRATCH/helper/vuro-helper.exe"
cd "$SCRATCH/work" || exit 1
make_work_tree
EARLIER='the earlier result'
# Windows error codes: invalid parameter, invalid function, not supported, access denied, sharing
# violation, lock violation, network name deleted, unexpected network error, I/O device error,
# not enough memory, too many open files; a share or drive gone (bad network path, not ready); a
# cloud file whose provider is not running.
CODES="87 1 50 5 32 33 64 59 1117 8 4 53 21 362"
# The codes that say a volume, share, device or cloud provider is gone: never a smaller report,
# whatever call.
GONE_CODES="53 67 64 59 21 15 55 362"
HELD_CODES="32 33 5"
# The codes that are a file's own reason: a file closed to the user, or held by another program.
OWN_CODES="5 32 33"
snapshot >"$SCRATCH/snapshot"

# One run: the mode, its target, how the earlier result is left (plain or read-only), VURO_FAULT
# as given (or - for none) and the run's number; prints nothing when the outcome is allowed, else
# what went wrong. The undisturbed result is that of the same setting without the swept fault.
run_one() {
    local mode="$1" target="$2" earlier="$3" fault="$4" id="$5" reference="$SCRATCH/reference-$6.json"
    local dir="$SCRATCH/run-$id"
    [ "$fault" = - ] && fault=""
    mkdir -p "$dir"
    local status attempt
    for attempt in 1 2 3; do
        rm -f "$dir/result.json"
        printf '%s' "$EARLIER" >"$dir/result.json"
        [ "$earlier" = read-only ] && chmod a-w "$dir/result.json"
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
    elif [ "$content" = "$(tr -d '\r' <"$reference")" ] || [ "$content" = "$EARLIER" ]; then
        :
    elif [ "$mode" = 2 ] && [[ " $OWN_CODES " == *" ${fault##*:} "* ]] && [ "$(echo "$content" | grep -c '": ""')" -eq 2 ]; then
        : # closed to the user or held by another program: empty digests, by the rule
    elif [ -z "$content" ] && [[ "$fault" =~ WriteFile:[0-9]+\+ ]]; then
        : # written in place, and every write refused from then on: not even the earlier contents go back
    elif [ "$mode" = 3 ] && [[ " $GONE_CODES " != *" ${fault##*:} "* ]] && grep -q '"File Count"' "$dir/result.json" && ! grep -q 'tree\\\]' "$dir/err" &&
        { grep -q 'filesystem error' "$dir/err" || [ "${fault##*:}" = 5 ]; }; then
        : # a subfolder's failure, logged (or closed to the user, silently): the per-entry rule
    else
        problem="wrote a result that is none: $(echo "$content" | tr '\n' ' ' | cut -c1-120)"
    fi
    # Only a system that refuses every removal keeps the temporary file.
    local removal=""
    [[ "$fault" =~ (DeleteFileW|NtCreateFile):[0-9]+\+ ]] && removal=refused
    problem="$problem$(leftovers "$dir" "$removal" "$SCRATCH/work" "$SCRATCH/snapshot")"
    if [ -n "$problem" ]; then echo "mode $mode $target, $earlier earlier result, VURO_FAULT=$fault: $problem"; else rm -rf "$dir"; fi
}
export -f run_one
export EXE SCRATCH EARLIER WINE OWN_CODES GONE_CODES

# The settings swept, one a line: the mode, its target, the faults every run of it has besides
# the swept one (- for none), how the earlier result is left, and the calls swept: all, or only
# those it makes beyond the first setting of its mode (the calls that setting does not reach).
SETTINGS="2 target - plain all
3 tree - plain all
3 C:/ - plain added
2 target - read-only added
2 target NtSetInformationFile:1+:32 plain added"

start=$(date +%s)
jobs="$SCRATCH/jobs"
: >"$jobs"
runs=0
# Adds the job of one run: the setting's fields, the faults, and the setting's number.
add_job() {
    local setting="$1" faults="$2" number="$3"
    runs=$((runs + 1))
    read -r mode target base earlier _ <<<"$setting"
    [ "$base" != - ] && faults="$base,$faults"
    echo "$mode $target $earlier $faults $runs $number" >>"$jobs"
}
number=0
# The settings whose reference runs this part needs: its own, the first of its mode (whose calls
# it does not sweep again), or for the find calls the first two.
part_setting="$(sed -n "${PART}p" <<<"$SETTINGS" 2>/dev/null)"
first_of_part="$(awk -v mode="${part_setting%% *}" '$1 == mode { print NR; exit }' <<<"$SETTINGS")"
while read -r mode target base earlier swept; do
    number=$((number + 1))
    setting="$mode $target $base $earlier $swept"
    if [ "$PART" = find ]; then
        [ "$number" -le 2 ] || continue
    else
        [ "$number" = "$PART" ] || [ "$number" = "$first_of_part" ] || continue
    fi
    fault="count:Z:$SCRATCH/counts-$number"
    [ "$base" != - ] && fault="$base,$fault"
    for attempt in 1 2 3; do
        rm -f "$SCRATCH/reference-$number.json" "$SCRATCH/counts-$number"
        printf '%s' "$EARLIER" >"$SCRATCH/reference-$number.json"
        [ "$earlier" = read-only ] && chmod a-w "$SCRATCH/reference-$number.json"
        VURO_FAULT="$fault" WINEQT_FORCE_STDERR_LOGGING=1 "$WINE" "$EXE" "$mode" "$target" "Z:$SCRATCH/reference-$number" \
            </dev/null >/dev/null 2>"$SCRATCH/reference-$number.err"
        # As for the swept runs: Wine's server going away as a run starts is Wine's, not the helper's.
        grep -qE '^wine( client error|: )' "$SCRATCH/reference-$number.err" || break
    done
    if ! grep -q '"' "$SCRATCH/reference-$number.json" || [ ! -s "$SCRATCH/counts-$number" ]; then
        echo "FAIL: mode $mode $target ($base, $earlier earlier result) gave no result, or no call counts, without the swept faults:" \
            "$(tail -3 "$SCRATCH/reference-$number.err" | tr '\n' ' ')"
        exit 1
    fi
    first="$(awk -v mode="$mode" '$1 == mode { print NR; exit }' <<<"$SETTINGS")"
    # The writer reaches the result folder's names from the folder's handle alone: in a digest
    # over an earlier result, the calls that take a path are the target's two opens and the
    # result's two (its name, for a link, and its folder), and none that removes, renames or
    # sets attributes by path.
    if [ "$PART" = 1 ] && [ "$number" = 1 ] && [ "${SLICE%/*}" = 1 ]; then
        creates="$(tr -d '\r' <"$SCRATCH/counts-1" | awk '$1 == "NtCreateFileByPath" { print $2 }')"
        by_path="$(tr -d '\r' <"$SCRATCH/counts-1" | awk '$1 ~ /^(DeleteFileW|MoveFileExW|MoveFileW|ReplaceFileW|SetFileAttributesW|GetFileAttributesW)$/ { print $1 }' | tr '\n' ' ')"
        if [ "${creates:-0}" -gt 4 ] || [ -n "$by_path" ]; then
            echo "FAIL: the writer reached the result folder's names by path: $creates opens by path, $by_path"
        else
            echo "ok: the writer reached the result folder's names from its handle ($creates opens by path, all before the writer)"
        fi
    fi
    # Every setting's reference runs, for the counts the later settings of its mode compare with;
    # only this part's faults are swept.
    [ "$PART" = "$number" ] || continue
    while read -r function count; do
        before=0
        if [ "$swept" = added ]; then
            before="$(tr -d '\r' <"$SCRATCH/counts-$first" | awk -v f="$function" '$1 == f { print $2 }')"
            before="${before:-0}"
            [ "$count" -gt "$before" ] || continue
        fi
        for k in $(printf '%s\n' $((before + 1)) $((before + 2)) $((before + 3)) "$count" | awk -v n="$count" '$1 <= n' | sort -un); do
            for code in $CODES; do add_job "$setting" "$function:$k:$code" "$number"; done
        done
        for code in $HELD_CODES; do add_job "$setting" "$function:$((before + 1))+:$code" "$number"; done
    done < <(tr -d '\r' <"$SCRATCH/counts-$number") # written by a Windows program: CRLF
done <<<"$SETTINGS"
# The listing's last way, reached when a file system refuses both information classes (as some
# redirectors do): the find calls failing in turn there.
for number in 1 2; do
    [ "$PART" = find ] || continue
    setting="$(sed -n "${number}p" <<<"$SETTINGS")"
    for refusal in 87 1 50; do add_job "$setting" "GetFileInformationByHandleEx:1+:$refusal" "$number"; done
    for function in FindFirstFileExW FindNextFileW; do
        for k in 1 2 3; do
            for code in $CODES; do add_job "$setting" "GetFileInformationByHandleEx:1+:87,$function:$k:$code" "$number"; done
        done
    done
done
take_slice "$jobs" "$SLICE"
runs=$(wc -l <"$jobs")
# Runs held up by the writer's retries mostly wait: more of them than cores at once, and many more
# where the rename is refused for good, so that every run waits out the whole schedule.
parallel=$(($(nproc) * 2))
[ "$PART" = 5 ] && parallel=$(($(nproc) * 8))
run_jobs "$jobs" "$parallel" "FAIL: "
functions="$(awk '{ n = split($4, faults, ","); for (i = 1; i <= n; i++) { split(faults[i], part, ":"); print part[1] } }' "$jobs" | sort -u | tr '\n' ' ')"
echo "part $PART, slice $SLICE: $runs runs in $(($(date +%s) - start)) s; the Windows calls failed: $functions"
if [ "$FAILED" -eq 0 ]; then
    echo "ok: every run gave the undisturbed result, the earlier file or none, and left nothing"
    rm -rf "$SCRATCH"
fi
[ "$FAILED" -eq 0 ]
