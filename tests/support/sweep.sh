# The fault sweeps' shared skeleton, sourced by tests/fault_sweep.sh (strace on Linux) and
# tests/windows/fault_sweep.sh (the fault seam under Wine): the work tree and its snapshot, what
# every run is checked for besides its result, and the jobs cut into slices and run.

# Makes the work folder's target (6,000 bytes) and tree (four files in four folders) here.
make_work_tree() {
    mkdir -p tree/a/b tree/c
    printf 'abc%.0s' $(seq 1 2000) >target
    for f in tree/x tree/a/y tree/a/b/z tree/c/w; do printf '%s' "$f" >"$f"; done
}

# Prints what the target and the tree are, to compare before and after.
snapshot() { find target tree -printf '%p %s %y\n' | sort; md5sum target; }

# Prints the problems of a run besides its result, each after "; ": a temporary file of the
# helper's left in the run's folder $1 (unless $2 says every removal was refused), the work tree
# $3 changed from the snapshot in the file $4.
leftovers() {
    if ls -A "$1" | grep -q '^\.vuro-' && [ "${2:-}" != refused ]; then printf '; left a temporary file'; fi
    if [ "$(cd "$3" && snapshot)" != "$(cat "$4")" ]; then printf '; changed the target'; fi
}
export -f snapshot leftovers

# Keeps of the jobs file $1 its slice $2, K/N: every N-th line, from the K-th.
take_slice() {
    awk -v k="${2%/*}" -v n="${2#*/}" '(NR - 1) % n == k - 1' "$1" >"$1.slice"
    mv "$1.slice" "$1"
}

# Runs run_one with each line of the jobs file $1 as its arguments, $2 at once, and prints what
# they print, each line after $3; sets FAILED to how many lines that is. The shell's own notes on
# runs that crashed are left out: a crash is a finding of run_one's.
run_jobs() {
    local failures
    failures="$(xargs -P "$2" -L 1 bash -c 'run_one "$@" 2>/dev/null' _ <"$1")"
    FAILED=0
    if [ -n "$failures" ]; then
        FAILED=$(echo "$failures" | wc -l)
        echo "$failures" | sed "s/^/${3:-}/"
    fi
}
