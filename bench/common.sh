# Shared by the benchmarks: wall-clock timing of whole commands and medians. Sourced, not run.

source "$(dirname "${BASH_SOURCE[0]}")/../scripts/lib.sh"

# Prints the wall-clock seconds that the command takes, its output discarded.
seconds_of() {
    local start end
    start=$(date +%s%N)
    "$@" >/dev/null 2>&1
    end=$(date +%s%N)
    echo "scale=4; ($end - $start) / 1000000000" | bc
}

# Prints the median of the numbers given as arguments.
median_of() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Runs the caller's run_round once as a warm-up, then $1 counted rounds; run_round appends one time
# per command to the associative array `times`, which holds only the counted rounds afterwards.
run_rounds() {
    run_round
    times=()
    for _ in $(seq "$1"); do run_round; done
}

# Prints the median time of one command of the rounds, by its key in `times`.
med() {
    median_of ${times[$1]}
}

# Prints "ratio" of a to b with three decimals, and whether it meets the target (at most limit).
report_ratio() {
    local label="$1" a="$2" b="$3" limit="$4"
    local ratio verdict
    ratio=$(echo "scale=3; $a / $b" | bc)
    verdict=$(echo "$ratio <= $limit" | bc)
    [ "$verdict" = 1 ] && verdict="meets" || verdict="MISSES"
    printf '%-40s %7.3fs / %7.3fs = %5.3f  (target <= %s: %s)\n' "$label" "$a" "$b" "$ratio" "$limit" "$verdict"
}

# Builds the bare reference programs (bench/reference) into build/bench-reference and prints
# that folder.
build_references() {
    cmake -S "$ROOT/bench/reference" -B "$ROOT/build/bench-reference" -G Ninja >/dev/null
    cmake --build "$ROOT/build/bench-reference" >/dev/null
    echo "$ROOT/build/bench-reference"
}

# Keeps every core busy with a spinning process each until stop_load; their ids in LOAD.
start_load() {
    LOAD=()
    for _ in $(seq "$(nproc)"); do sh -c 'while :; do :; done' & LOAD+=($!); done
    trap 'kill "${LOAD[@]}" 2>/dev/null; remove_temporaries' EXIT
}

stop_load() {
    kill "${LOAD[@]}" 2>/dev/null
}
