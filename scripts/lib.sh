# Shared by the project's scripts: installs missing Debian packages and builds the helper.

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_PACKAGES="qtbase5-dev cmake g++ make"

# Runs the command as root: directly when root already, through sudo otherwise.
as_root() {
    if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Installs the named Debian packages that are missing.
ensure_packages() {
    local missing=()
    local package
    for package in "$@"; do
        dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "installing: ${missing[*]}" >&2
    as_root apt-get update -qq >&2
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
}

# Configures (once) and builds the project into the folder $1 with the extra CMake options that follow.
build_into() {
    local dir="$1"
    shift
    if [ ! -f "$dir/CMakeCache.txt" ]; then
        cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release "$@" >&2 || return 1
    fi
    cmake --build "$dir" -j "$(nproc)" >&2
}

# Builds into build/, the output kept in build.log and shown only when the build fails.
build_quietly() {
    build_into "$ROOT/build" >"$ROOT/build.log" 2>&1 || { cat "$ROOT/build.log" >&2; return 1; }
}
