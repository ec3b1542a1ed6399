#!/usr/bin/env bash
# Usage: tests/memcheck.sh HELPER SCRATCH [--sanitized]
# Runs the helper under valgrind's memcheck for each way a call goes (a small file and one read
# along the ring, each digest mode; a small walk and one that starts its walkers; an in-place
# write; a caller that ignores a signal, with many arguments; no mode), and fails any run in which
# memcheck saw a read of uninitialised memory or an invalid access (its own exit code, 99), or the
# result is not the one expected. Exits 77 (skipped) in a sanitized build or without valgrind.
set -uo pipefail
HELPER="$(realpath "$1")"
SCRATCH="$2"
if [ "${3:-}" = --sanitized ]; then
    echo "skipped: a sanitized build runs under its own runtime, which valgrind cannot run beside"
    exit 77
fi
command -v valgrind >/dev/null || { echo "skipped: valgrind is not installed"; exit 77; }
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH/tree/a/b" "$SCRATCH/tree/c"
cd "$SCRATCH" || exit 1
printf abc >abc
head -c $((1024 * 1024 + 3)) /dev/urandom >big
for f in tree/x tree/a/y tree/a/b/z tree/c/w; do printf '%s' "$f" >"$f"; done
for d in $(seq 40); do mkdir -p "wide/d$d/e"; printf x >"wide/d$d/e/f"; done
failed=0
passed=0
LAUNCH=()

# Runs the helper's arguments under memcheck; then checks that memcheck saw nothing and that the
# expected text is in the result.
memcheck() {
    local what="$1" expected="$2" result="$3"
    shift 3
    rm -f "$result"
    ${LAUNCH[@]+"${LAUNCH[@]}"} valgrind -q --error-exitcode=99 --leak-check=no "$HELPER" "$@" >out 2>err
    local status=$?
    if [ "$status" -ne 99 ] && { [ -z "$expected" ] || grep -q -- "$expected" "$result" 2>/dev/null; }; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAIL: $what (exit $status)"
        sed 's/^/    /' err | head -30
    fi
}

memcheck "mode 0 of a small file" 900150983cd24fb0d6963f7d28e17f72 r.json 0 abc r
memcheck "mode 1 of a small file" a9993e364706816aba3e25717850c26c9cd0d89d r.json 1 abc r
memcheck "mode 2 along the ring" "$(md5sum <big | cut -c1-32)" r.json 2 big r
memcheck "mode 3 of a small tree" '"File Count": "4"' r.json 3 tree r
memcheck "mode 3 walked by every walker" '"File Count": "40"' r.json 3 wide r
ln -f r.json r2.json
memcheck "mode 2 written in place (two names)" "$(sha1sum <abc | cut -c1-40)" r.json 2 abc r
# A caller that ignores a signal, and more arguments than the helper takes.
LAUNCH=(sh -c "trap '' INT; exec \"\$@\"" sh)
memcheck "a signal ignored by the caller, seven arguments" 900150983cd24fb0d6963f7d28e17f72 w.json \
    0 abc r x y z w
LAUNCH=()
memcheck "no mode" "" none
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
