# Shared by the Windows scripts: QtCore for 32-bit Windows from Debian's source, the helper's
# cross build, its package and the package check. Sourced after lib.sh, not run.

WINDOWS_BUILD_PACKAGES=(g++-mingw-w64-i686 binutils-mingw-w64-i686 dpkg-dev perl cmake make g++ xz-utils)
WINDOWS_TRIPLE=i686-w64-mingw32
# The cache of QtCore builds: per user by default; VURO_CACHE_DIR names another, which users of one
# machine may share when it is writable only by those trusted to build for the others.
VURO_CACHE="${VURO_CACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/vuro-helper}"
# About how many objects the QtCore build compiles (measured on 5.15.8), for its progress line.
QT_OBJECTS_EXPECTED=563

# QtCore alone, release, shared (Qt is LGPL: it ships as its own DLL), no tools or examples. The
# DLL gets a name of its own (Qt5CoreVuroHelper.dll) and carries its C++ and GCC runtimes, so it
# never meets, nor replaces, the Qt5Core.dll or runtime DLLs of the program it is installed beside.
QT_CONFIGURE_OPTIONS="-xplatform win32-g++ -device-option CROSS_COMPILE=$WINDOWS_TRIPLE- -opensource
 -confirm-license -release -shared -qtlibinfix VuroHelper -no-gui -no-widgets -no-dbus -no-opengl
 -no-icu -no-openssl -no-feature-sql -no-feature-network -no-feature-testlib -no-feature-concurrent
 -no-feature-xml -qt-pcre -qt-zlib -nomake examples -nomake tests -nomake tools
 QMAKE_LFLAGS+=-static-libgcc QMAKE_LFLAGS+=-static-libstdc++
 QMAKE_CFLAGS+=-DDECLSPEC_IMPORT= QMAKE_CXXFLAGS+=-DDECLSPEC_IMPORT="

# System DLLs that QtCore imports but that are not among the loader's known DLLs: a copy of one in
# the viewer's folder would be loaded before the system's. QtCore links them delay-loaded (loaded
# on first call, by then only from the system folder: the helper restricts the search first thing),
# and the helper never makes a call that loads them. GNU ld breaks delay-loaded calls made through
# __declspec(dllimport) on x86 (binutils bug 14339), hence the Windows headers' DECLSPEC_IMPORT
# defined empty above: calls then go through the import library's own stubs.
QT_DELAY_LOADED_DLLS="mpr netapi32 userenv version winmm"

# DLLs that every Windows has; anything else a packaged file imports must be in the package.
WINDOWS_SYSTEM_DLLS="kernel32 user32 advapi32 shell32 shlwapi ole32 oleaut32 ws2_32 msvcrt version
 netapi32 userenv winmm mpr gdi32 comdlg32 crypt32 bcrypt ntdll rpcrt4 secur32 iphlpapi dnsapi"

# Runs apt-get or apt-cache with a private source list, so the machine's apt set-up stays as it is.
private_apt() {
    local tool="$1"
    shift
    "$tool" -o Dir::Etc::SourceList="$VURO_CACHE/apt/sources.list" -o Dir::Etc::SourceParts=- \
        -o Dir::State::Lists="$VURO_CACHE/apt/lists" -o Dir::Cache="$VURO_CACHE/apt/cache" \
        -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache= -o Debug::NoLocking=1 "$@"
}

# Prints the deb-src lines for the Debian release this machine runs, taken from where its own apt
# sources point (mirrors, proxies and security updates included); nothing when they name none.
debian_source_lines() {
    local codename files=() file
    codename="$(. /etc/os-release 2>/dev/null && echo "${VERSION_CODENAME:-}")"
    [ -n "$codename" ] || return 0
    for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
        [ -f "$file" ] && files+=("$file")
    done
    [ "${#files[@]}" -gt 0 ] || return 0
    awk -v codename="$codename" -f "$ROOT/scripts/debian-sources.awk" "${files[@]}"
}

# Prints the newest version of Debian's qtbase source package, or nothing when the index is out of
# reach or the machine's apt sources name no Debian mirror.
newest_qt_source_version() {
    mkdir -p "$VURO_CACHE/apt/lists/partial" "$VURO_CACHE/apt/cache/archives/partial"
    debian_source_lines >"$VURO_CACHE/apt/sources.list"
    if [ ! -s "$VURO_CACHE/apt/sources.list" ]; then
        echo "the apt sources of this machine (/etc/apt/sources.list and sources.list.d/) name no Debian mirror for its release" >&2
        return 0
    fi
    private_apt apt-get -qq update >/dev/null 2>&1 || return 0
    local newest="" version
    for version in $(private_apt apt-cache showsrc qtbase-opensource-src 2>/dev/null | awk '/^Version:/ { print $2 }'); do
        if [ -z "$newest" ] || dpkg --compare-versions "$version" gt "$newest"; then newest="$version"; fi
    done
    echo "$newest"
}

# Prints a short fingerprint of what the Qt build depends on besides its source: options and compiler.
qt_build_fingerprint() {
    { echo "$QT_CONFIGURE_OPTIONS $QT_DELAY_LOADED_DLLS"; "$WINDOWS_TRIPLE-g++" --version | head -1; } | sha256sum | cut -c1-12
}

# Downloads and unpacks the source package of the given version into the folder $2; fails when
# either step fails.
fetch_qt_source() {
    local version="$1" into="$2"
    local download="$into.download"
    rm -rf "$download" "$into"
    mkdir -p "$download" || return 1
    # apt downloads as its unprivileged _apt user when run as root.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$download" || return 1; fi
    (cd "$download" && private_apt apt-get -qq source --download-only "qtbase-opensource-src=$version") || return 1
    # dpkg-source cannot check the signature without Debian's keyring; apt checked every file
    # against the signed index already.
    # --no-copy: the tarball is not copied beside the source, where nothing would use it again.
    dpkg-source --no-copy -x "$download"/*.dsc "$into" || return 1
    rm -rf "$download"
}

# While the process $1 runs, shows how far the Qt build in the folder $2 is, in the phase $4
# (configuring, or compiling: the objects of QtCore's sources compiled of about how many; the
# objects configure compiles for its own tools are not counted), and the minutes since the build
# began (at $SECONDS $3); on one line that moves on a terminal, else a line every 25 s, so that
# no step (installing too) is silent for half a minute.
show_qt_progress() {
    local pid="$1" build="$2" started="$3" phase="$4" said=-60
    while kill -0 "$pid" 2>/dev/null; do
        local objects minutes=$(((SECONDS - started) / 60)) text
        if [ "$phase" != compiling ]; then
            text="$phase, $minutes min"
        else
            objects="$(find "$build/src" -name '*.obj' -o -name '*.o' 2>/dev/null | wc -l)"
            text="$objects of about $QT_OBJECTS_EXPECTED objects compiled, $minutes min"
        fi
        if [ -t 2 ]; then
            printf '\r  Qt build: %s   ' "$text" >&2
        elif [ $((SECONDS - said)) -ge 25 ]; then
            echo "  Qt build: $text" >&2
            said=$SECONDS
        fi
        sleep 1
    done
    [ -t 2 ] && echo >&2
    return 0
}

# Writes into the folder $1 a delay-import library for each of QT_DELAY_LOADED_DLLS, with every
# function of mingw-w64's own import library of that DLL; fails when one cannot be made.
make_delay_import_libraries() {
    local folder="$1" name
    mkdir -p "$folder" || return 1
    for name in $QT_DELAY_LOADED_DLLS; do
        {
            echo "LIBRARY $name.dll"
            echo "EXPORTS"
            "$WINDOWS_TRIPLE-nm" "/usr/$WINDOWS_TRIPLE/lib/lib$name.a" |
                awk '$2 == "I" && $3 ~ /^__imp__/ { print substr($3, 8) }' | sort -u
        } >"$folder/$name.def" || return 1
        # dlltool leaves empty temporary files behind: in that folder, which goes with the build.
        TMPDIR="$folder" "$WINDOWS_TRIPLE-dlltool" --kill-at --def "$folder/$name.def" --dllname "$name.dll" \
            --output-delaylib "$folder/lib$name.a" || return 1
    done
}

# Configures, builds and installs QtCore from the source folder $1 into the prefix $2, with the
# licence texts of that source and its Debian version ($3) in $2/licenses/, which the package ships.
# Output goes to the log $4. Fails when any step fails.
build_qt() {
    local source="$1" prefix="$2" version="$3" log="$4"
    local build="$source.build" started=$SECONDS
    rm -rf "$build"
    mkdir -p "$build" || return 1
    # Searched before the compiler's own folder, so these DLLs link delay-loaded.
    make_delay_import_libraries "$build/delay-import" >>"$log" 2>&1 || return 1
    # shellcheck disable=SC2086
    (cd "$build" && "$source/configure" -prefix "$prefix" $QT_CONFIGURE_OPTIONS \
        "QMAKE_LFLAGS+=-L$build/delay-import") >>"$log" 2>&1 &
    local step=$!
    show_qt_progress "$step" "$build" "$started" configuring
    wait "$step" || return 1
    make -C "$build" -j "$(nproc)" sub-src >>"$log" 2>&1 &
    step=$!
    show_qt_progress "$step" "$build" "$started" compiling
    wait "$step" || return 1
    make -C "$build" install >>"$log" 2>&1 &
    step=$!
    show_qt_progress "$step" "$build" "$started" installing
    wait "$step" || return 1
    echo "  Qt build: done in $(((SECONDS - started) / 60)) min" >&2
    rm -rf "$build"
    mkdir -p "$prefix/licenses" || return 1
    cp "$source/LICENSE.LGPL3" "$source/LICENSE.GPL3" "$prefix/licenses/" || return 1
    echo "qtbase-opensource-src $version" >"$prefix/licenses/source-version"
}

# Prints the prefix of a QtCore for Windows, building it first when the cache has none for the newest
# source version. Without the package index it takes the newest complete build in the cache. A
# build is marked complete only when every step succeeded.
ensure_windows_qt() {
    local fingerprint version folder
    fingerprint="$(qt_build_fingerprint)"
    version="$(newest_qt_source_version)"
    if [ -z "$version" ]; then
        folder="$(ls -d "$VURO_CACHE"/qt5-win32/*-"$fingerprint" 2>/dev/null | sort -V | tail -1)"
        if [ -n "$folder" ] && [ -f "$folder/complete" ]; then
            echo "Debian's package index is out of reach: using the cached $(basename "$folder")" >&2
            echo "$folder/install"
            return 0
        fi
        echo "Debian's package index is out of reach and no Qt for Windows is cached" >&2
        return 1
    fi
    folder="$VURO_CACHE/qt5-win32/$version-$fingerprint"
    if [ ! -f "$folder/complete" ]; then
        rm -rf "$folder"
        mkdir -p "$folder"
        local log="$folder/build.log"
        echo "building QtCore $version for Windows from Debian's source (once: about 5 minutes on 2 cores, about 120 MB kept in $VURO_CACHE); log: $log" >&2
        if ! fetch_qt_source "$version" "$folder/source" >>"$log" 2>&1; then
            tail -n 20 "$log" >&2
            echo "downloading or unpacking Debian's qtbase source failed; the whole log is $log" >&2
            return 1
        fi
        if ! build_qt "$folder/source" "$folder/install" "$version" "$log"; then
            tail -n 40 "$log" >&2
            echo "the Qt build failed; the whole log is $log" >&2
            return 1
        fi
        rm -rf "$folder/source"
        touch "$folder/complete"
    fi
    echo "$folder/install"
}

# Prints the DLL names that the PE file $1 imports, in lower case.
imported_dlls() {
    "$WINDOWS_TRIPLE-objdump" -p "$1" | awk '/DLL Name:/ { print tolower($3) }'
}

# The loader's known DLLs (Windows 7 to 11): always loaded from the system folder, never from the
# folder of the program, so a DLL of that name in the viewer's folder is never used in their place.
WINDOWS_KNOWN_DLLS="advapi32 clbcatq combase comdlg32 coml2 gdi32 gdiplus imagehlp imm32 kernel32 msctf msvcrt
 normaliz nsi ole32 oleaut32 psapi rpcrt4 sechost setupapi shcore shell32 shlwapi user32 wldap32 ws2_32"

is_system_dll() {
    local name="${1%.dll}"
    case "$name" in api-ms-win-*|ext-ms-win-*) return 0 ;; esac
    [[ " $(echo $WINDOWS_SYSTEM_DLLS) " == *" $name "* ]]
}

# True when the DLL name $1 is one that other programs commonly ship under the same name (Qt's own
# names, the GCC and C++ runtimes, Microsoft's runtimes, zlib): in the viewer's folder, unpacking
# it would replace theirs, or theirs would be loaded in place of ours.
is_commonly_shipped_dll() {
    local name
    name="$(echo "$1" | tr '[:upper:]' '[:lower:]')"
    [[ "$name" =~ ^(qt[56](core|gui|widgets|network|xml|sql|concurrent|printsupport|opengl|svg|dbus|qml|quick|multimedia|test)d?|libstdc\+\+-6|libgcc_s_[a-z0-9_-]+|libwinpthread-1|msvcp[0-9_]+|vcruntime[0-9_]+|ucrtbased?|zlib1?|libz-1)\.dll$ ]]
}

# Fails when the package folder $1 holds a DLL under a name that other programs commonly ship.
check_package_names() {
    local file clash=0
    for file in "$1"/*.dll; do
        [ -e "$file" ] || continue
        if is_commonly_shipped_dll "$(basename "$file")"; then
            echo "package check: $(basename "$file") is a name that other programs ship too: it could replace theirs" >&2
            clash=1
        fi
    done
    [ "$clash" -eq 0 ] && echo "package check: no DLL under a name that other programs ship"
    return "$clash"
}

# Fails when a program or library in the folder $1 imports a DLL that is neither beside it nor
# part of Windows, or a DLL of Windows that is no known DLL; lists its programs and libraries with
# each one's imports. Nothing is loaded from the viewer's folder but the package's own files: CNG's
# bcrypt.dll is loaded from the system folder at run time, and QtCore's imports of other system
# DLLs are delay-loaded, which is no import the loader acts on at start.
check_package_imports() {
    local folder="$1" file name missing=0 unknown=0
    for file in "$folder"/*.exe "$folder"/*.dll; do
        [ -e "$file" ] || continue
        echo "  $(basename "$file"): $(imported_dlls "$file" | tr '\n' ' ')"
        for name in $(imported_dlls "$file"); do
            ls "$folder" | grep -qix "$name" && continue
            if ! is_system_dll "$name"; then
                echo "package check: $(basename "$file") needs $name, which is neither in the package nor part of Windows" >&2
                missing=1
            elif [[ " $(echo $WINDOWS_KNOWN_DLLS) " != *" ${name%.dll} "* ]]; then
                echo "package check: $(basename "$file") imports $name, which is no known DLL: a copy in the viewer's folder would be loaded" >&2
                unknown=1
            fi
        done
    done
    [ "$missing" -eq 0 ] && echo "package check: every import is in the package or part of Windows"
    [ "$unknown" -eq 0 ] && echo "package check: every other import is one of the loader's known DLLs"
    [ "$missing" -eq 0 ] && [ "$unknown" -eq 0 ]
}

# As root, runs the Windows checks and every end-to-end case once more as an unprivileged user
# (65534, through setpriv), from a copy in a folder of the temporary area that user can reach (the
# checkout may sit in a folder closed to others), in a Wine prefix of that user's own: what an
# ordinary user meets under Wine (a read-only file whose other attributes cannot be stored, say),
# root does not. Prints a stage line as the workflows' summaries do, with every failed case named
# and every skipped one with its reason; fails when a case failed.
run_windows_tests_unprivileged() {
    local build="$ROOT/build-windows" copy="" log cases version parent
    log="$VURO_TMP/unprivileged.log"
    # The copy must be where that user can reach it: the temporary folder may lie in one closed
    # to others (a TMPDIR inside root's home); then the system's own temporary folders.
    for parent in "${TMPDIR:-/tmp}" /tmp /var/tmp; do
        copy="$(mktemp -d "$parent/vuro-unprivileged.XXXXXX" 2>/dev/null)" || continue
        TEMPORARIES+=("$copy")
        chmod 755 "$copy"
        setpriv --reuid=65534 --regid=65534 --clear-groups test -x "$copy" && break
        rm -rf "$copy"
        copy=""
    done
    if [ -z "$copy" ]; then
        echo "windows as user 65534: 1 cases run, 0 passed, 0 failed, 1 skipped" | tee -a "$VURO_TMP/summary"
        echo "  skipped: no temporary folder (${TMPDIR:-/tmp}, /tmp, /var/tmp) is reachable by user 65534"
        if [ -n "${VURO_SUMMARY_FILE:-}" ]; then
            echo "0 0 1" >>"$VURO_SUMMARY_FILE"
            echo "  windows as user 65534: skipped: no temporary folder is reachable by user 65534" >>"$VURO_SUMMARY_FILE.cases"
        fi
        return 0
    fi
    mkdir -p "$copy/programs" "$copy/scripts" "$copy/home" "$copy/scratch"
    cp -r "$build/package/vuro-helper" "$copy/package"
    cp "$build"/tests/windows/*.exe "$copy/programs/"
    cp -r "$build/tests/windows/planted" "$build/tests/windows/foreign" "$copy/programs/"
    cp "$build"/dist/vuro-helper-*-win32.zip "$copy/package.zip"
    cp "$ROOT/build/vuro-helper" "$copy/linux-helper"
    cp "$ROOT/tests/windows/e2e.sh" "$ROOT/tests/windows/wine-run" "$copy/scripts/"
    chmod 755 "$copy"
    chown -R 65534:65534 "$copy"
    version="$(sed -n 's/^project(vuro-helper VERSION \([0-9.]*\).*/\1/p' "$ROOT/CMakeLists.txt")"
    cases="$(sed -n '/^foreach(case /,/)$/p' "$ROOT/tests/windows/CMakeLists.txt" | tr -d '()' | sed 's/foreach//; s/case//')"
    as_unprivileged() {
        setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$copy/home" VURO_WINE_HOME="$copy/wine" \
            VURO_WINE_DLL_OVERRIDES="bcrypt,mpr,netapi32,userenv,winmm=n,b" "$@"
    }
    echo "== the Windows checks and end-to-end cases again, as user 65534"
    : >"$log"
    # Under load the first start of a prefix's Wine server can time out: tried a second time.
    if ! as_unprivileged "$copy/scripts/wine-run" --prepare >>"$log" 2>&1 &&
        ! as_unprivileged "$copy/scripts/wine-run" --prepare >>"$log" 2>&1; then
        echo "FAIL: prefix: no Wine prefix could be made as user 65534" >>"$log"
    else
        as_unprivileged "$copy/scripts/wine-run" "$copy/programs/platform_check.exe" "Z:$copy/scratch/platform" \
            "Z:$copy/programs/planted" 2>&1 | sed 's/^/platform_check: /' >>"$log"
        local case
        for case in $cases; do
            as_unprivileged "$copy/scripts/e2e.sh" "$case" "$copy/package" "$copy/package.zip" "$copy/linux-helper" \
                "$copy/programs" "$version" "$copy/scratch" 2>&1 | sed "s/^/windows_e2e_$case: /" >>"$log"
        done
    fi
    # That user's Wine server writes its registry into the prefix when it ends, seconds after the
    # last program: ended first, so that nothing of the copy is made again once it is removed.
    as_unprivileged "$copy/scripts/wine-run" --remove >/dev/null 2>&1 || true
    local passed failed skipped
    passed="$(grep -cE ': ok: ' "$log" || true)"
    failed="$(grep -cE ': FAIL: |^FAIL: ' "$log" || true)"
    skipped="$(grep -cE ': skipped: ' "$log" || true)"
    local summary
    summary="windows as user 65534: $((passed + failed + skipped)) cases run, $passed passed, $failed failed, $skipped skipped$([ "$failed" -ne 0 ] && echo " (FAILED)")"
    local details
    details="$( { grep -E ': FAIL: |^FAIL: ' "$log" | sed 's/^\([^:]*\): FAIL: /  failed: \1: /; s/^FAIL: /  failed: /'
                  grep -E ': skipped: ' "$log" | sed 's/^\([^:]*\): skipped: /  \1: /'; } || true)"
    { echo "$summary"; [ -n "$details" ] && echo "$details"; } | tee -a "$VURO_TMP/summary"
    if [ -n "${VURO_SUMMARY_FILE:-}" ]; then
        echo "$passed $failed $skipped" >>"$VURO_SUMMARY_FILE"
        [ -n "$details" ] && echo "$details" | sed 's/^  /  windows as user 65534: /' >>"$VURO_SUMMARY_FILE.cases"
    fi
    [ "$failed" -eq 0 ]
}
