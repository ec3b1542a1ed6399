# Shared by the project's scripts: installs missing Debian packages and builds the helper.
# Sourced, not run.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_PACKAGES=(qtbase5-dev libssl-dev cmake ninja-build g++ make)

# Temporary files of the scripts live in one folder of the script's own, removed however the
# script ends (success, failure, Ctrl-C, a terminal closed); TEMPORARIES names further folders to
# remove with it.
VURO_TMP="$(mktemp -d "${TMPDIR:-/tmp}/vuro-script.XXXXXX")"
TEMPORARIES=()
remove_temporaries() { rm -rf "$VURO_TMP" ${TEMPORARIES[@]+"${TEMPORARIES[@]}"}; }
trap remove_temporaries EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# Prints the path of a new temporary file, removed when the script exits (also when called inside
# a command substitution: the whole folder goes).
new_temporary() {
    mktemp "$VURO_TMP/$1.XXXXXX"
}

# Prints the named Debian packages that are not installed, each once.
missing_packages() {
    local package
    for package in $(printf '%s\n' "$@" | awk '!seen[$0]++'); do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || echo "$package"
    done
}

# True when commands can run as root here: root already, or sudo that works (without a password,
# or with one typed at a terminal).
can_be_root() {
    [ "$(id -u)" -eq 0 ] && return 0
    command -v sudo >/dev/null 2>&1 || return 1
    sudo -n true 2>/dev/null && return 0
    # Quietly: a user whom sudo refuses gets the script's explanation, not sudo's complaint first.
    [ -t 0 ] && sudo -v 2>/dev/null
}

# Runs the command as root: directly when root already, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Prints what is missing and the exact commands for root, then fails.
explain_root_commands() {
    local architecture="$1"
    shift
    echo "missing Debian packages: $*" >&2
    [ -n "$architecture" ] && echo "missing package architecture: $architecture" >&2
    echo "they cannot be installed from this account (not root, and no working sudo); as root, run:" >&2
    [ -n "$architecture" ] && echo "    dpkg --add-architecture $architecture" >&2
    echo "    apt-get update" >&2
    echo "    apt-get install --no-install-recommends $*" >&2
    echo "then run this script again." >&2
    return 1
}

# Runs apt-get as root with its output in the log file $1. While another package manager holds one
# of the locks apt takes (the package lists', the archives', dpkg's), waits for it, up to 10 minutes,
# saying so once.
quiet_apt_get() {
    local log="$1" attempt waited=0 said=""
    shift
    attempt="$(new_temporary apt-attempt)"
    until as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@" >"$attempt" 2>&1; do
        cat "$attempt" >>"$log"
        if [ "$waited" -ge 600 ] || ! grep -qE 'Could not get lock|Unable to lock|Unable to acquire' "$attempt"; then
            return 1
        fi
        [ -n "$said" ] || echo "waiting for another package manager to finish (it holds a lock of apt or dpkg; up to 10 minutes)" >&2
        said=1
        sleep 5
        waited=$((waited + 5))
    done
    cat "$attempt" >>"$log"
}

# True when apt's output in the log file $1 says that the mirror gave package lists that do not
# match its own index (a mirror part way through a sync): nothing a user or this project did.
mirror_lists_broken() {
    grep -qE 'Mirror sync in progress|Hash Sum mismatch|unexpected size' "$1"
}

# Brings the package lists up to date, with apt's output in the log file $1. A mirror part way
# through a sync is asked twice more, 30 s apart; then the lists it gave whole are used, as apt
# itself does, and the install says whether they were enough.
refresh_package_lists() {
    local log="$1" attempt
    for attempt in 1 2 3; do
        quiet_apt_get "$log" update && return 0
        mirror_lists_broken "$log" || return 1
        [ "$attempt" -lt 3 ] && echo "the Debian mirror's package lists are part way through a sync; asking again in 30 s" >&2 && sleep 30
    done
    echo "some of the Debian mirror's package lists are still incomplete; installing from the rest" >&2
}

# Installs the named Debian packages that are missing, and the foreign architecture given with
# --architecture ARCH first (for Wine's 32-bit half). Nothing needs root when all is in place.
# Returns 2 where the install failed because the mirror's package lists were incomplete.
ensure_packages() {
    local architecture=""
    if [ "${1:-}" = --architecture ]; then
        dpkg --print-foreign-architectures | grep -qx "$2" || architecture="$2"
        shift 2
    fi
    local missing
    missing="$(missing_packages "$@" | tr '\n' ' ')"
    missing="${missing% }"
    [ -z "$missing" ] && [ -z "$architecture" ] && return 0
    can_be_root || { explain_root_commands "$architecture" $missing; return 1; }
    local log
    log="$(new_temporary apt)"
    echo "installing Debian packages: $missing (this takes a few minutes)" >&2
    # shellcheck disable=SC2086
    if { [ -z "$architecture" ] || as_root dpkg --add-architecture "$architecture"; } &&
        refresh_package_lists "$log" && quiet_apt_get "$log" -o DPkg::Lock::Timeout=600 install -y --no-install-recommends $missing; then
        return 0
    fi
    cat "$log" >&2
    if mirror_lists_broken "$log"; then
        echo "installing the packages failed: the Debian mirror gave incomplete package lists (above: a file of the" >&2
        echo "wrong size or hash, as while it syncs); run this again once the mirror has synced" >&2
        return 2
    fi
    echo "installing the packages failed (apt-get's output above)" >&2
    return 1
}

# Records the stage $1 as skipped, for the reason $2, in this run's summary and in the one
# $VURO_SUMMARY_FILE collects.
skip_stage() {
    local stage="$1" reason="$2"
    echo "$stage: skipped: $reason" | tee -a "$VURO_TMP/summary"
    if [ -n "${VURO_SUMMARY_FILE:-}" ]; then
        echo "0 0 1" >>"$VURO_SUMMARY_FILE"
        echo "  $stage: skipped: $reason" >>"$VURO_SUMMARY_FILE.cases"
    fi
}

# Fails with a way out when the folder $1 exists but this user cannot write all of it, as after a
# build run with sudo.
require_writable_folder() {
    local dir="$1"
    [ -e "$dir" ] || return 0
    [ -z "$(find "$dir" ! -writable -print -quit 2>/dev/null)" ] && return 0
    echo "the build folder $dir is not writable by $(id -un) (it was built by another user, perhaps with sudo)." >&2
    echo "remove it with 'sudo rm -rf $dir', or take it over with 'sudo chown -R $(id -un) $dir'." >&2
    return 1
}

# Prints --fresh when an earlier version of the project configured the build folder $1 with
# another generator than the presets' Ninja, which CMake switches only in a fresh configure.
fresh_if_other_generator() {
    local cache="$1/CMakeCache.txt"
    [ -f "$cache" ] && ! grep -q '^CMAKE_GENERATOR:INTERNAL=Ninja$' "$cache" && echo --fresh
    return 0
}

# Runs the CMake workflow preset $1 (configure, build, test; see CMakePresets.json) for the build
# folder $2, then prints the stage's summary line and its skipped cases.
run_workflow() {
    local preset="$1" folder="$2"
    require_writable_folder "$folder" || return 1
    local status=0
    # An earlier run's results must not stand for a stage that fails before its tests.
    rm -f "$folder/junit.xml"
    # shellcheck disable=SC2046
    CMAKE_BUILD_PARALLEL_LEVEL="$(nproc)" cmake --workflow --preset "$preset" $(fresh_if_other_generator "$folder") || status=$?
    local summary
    summary="$(summarize_stage "$preset" "$folder" "$status")"
    echo "$summary" | tee -a "$VURO_TMP/summary"
    return "$status"
}

# Prints one line for the last test run in the build folder $2 of the stage $1, from the JUnit
# files CTest and QtTest wrote (scripts/summarize.py): the cases run, passed, failed and skipped;
# then each failed case by name and each skipped case with its reason. $3 is the workflow's
# status. Adds the counts to the file $VURO_SUMMARY_FILE when it is set, and the named cases to
# $VURO_SUMMARY_FILE.cases.
summarize_stage() {
    local stage="$1" folder="$2" status="$3" lines
    lines="$(python3 "$ROOT/scripts/summarize.py" "$stage" "$folder" "$status")"
    echo "$lines" | grep -v '^COUNTS '
    if [ -n "${VURO_SUMMARY_FILE:-}" ]; then
        echo "$lines" | sed -n 's/^COUNTS //p' >>"$VURO_SUMMARY_FILE"
        echo "$lines" | sed -n '2,$p' | grep -v '^COUNTS ' | sed "s/^  /  $stage: /" >>"$VURO_SUMMARY_FILE.cases"
    fi
    return 0
}

# Prints the closing summary of every stage run so far, last on the screen.
print_summary() {
    echo "== summary"
    cat "$VURO_TMP/summary" 2>/dev/null || true
}

# Builds the helper alone with the release preset into build/, the output kept in build/build.log
# and shown only when the build fails. CMake rebuilds what changed.
build_helper_quietly() {
    local dir="$ROOT/build"
    require_writable_folder "$dir" || return 1
    local fresh
    fresh="$(fresh_if_other_generator "$dir")"
    mkdir -p "$dir"
    if [ ! -x "$dir/vuro-helper" ]; then
        echo "building the helper into $dir (the first time takes a minute)" >&2
    fi
    # shellcheck disable=SC2086
    { (cd "$ROOT" && cmake --preset release $fresh && cmake --build --preset release --target vuro-helper -j "$(nproc)"); } \
        >"$dir/build.log" 2>&1 || { cat "$dir/build.log" >&2; return 1; }
}
