# Shared by the Windows scripts: QtCore for 32-bit Windows from Debian's source, the helper's
# cross build, its package and the package check. Sourced after lib.sh, not run.

WINDOWS_BUILD_PACKAGES="g++-mingw-w64-i686 binutils-mingw-w64-i686 dpkg-dev perl cmake make g++ xz-utils"
WINDOWS_TRIPLE=i686-w64-mingw32
WINDOWS_BUILD="$ROOT/build-windows"
WINDOWS_PACKAGE="$WINDOWS_BUILD/package/vuro-helper"
WINDOWS_ZIP=""
VURO_CACHE="${XDG_CACHE_HOME:-$HOME/.cache}/vuro-helper"

# QtCore alone, release, shared (Qt is LGPL: it ships as its own DLL), no tools or examples. The
# DLL gets a name of its own (Qt5CoreVuroHelper.dll) and carries its C++ and GCC runtimes, so it
# never meets, nor replaces, the Qt5Core.dll or runtime DLLs of the program it is installed beside.
QT_CONFIGURE_OPTIONS="-xplatform win32-g++ -device-option CROSS_COMPILE=$WINDOWS_TRIPLE- -opensource
 -confirm-license -release -shared -qtlibinfix VuroHelper -no-gui -no-widgets -no-dbus -no-opengl
 -no-icu -no-openssl -no-feature-sql -no-feature-network -no-feature-testlib -no-feature-concurrent
 -no-feature-xml -qt-pcre -qt-zlib -nomake examples -nomake tests -nomake tools
 QMAKE_LFLAGS+=-static-libgcc QMAKE_LFLAGS+=-static-libstdc++"

# DLLs that every Windows has; anything else a packaged file imports must be in the package.
WINDOWS_SYSTEM_DLLS="kernel32 user32 advapi32 shell32 shlwapi ole32 oleaut32 ws2_32 msvcrt version
 netapi32 userenv winmm mpr gdi32 comdlg32 crypt32 bcrypt ntdll rpcrt4 secur32 iphlpapi dnsapi"

# Runs apt-get or apt-cache with a private source list, so the machine's apt set-up stays as it is.
private_apt() {
    local tool="$1"
    shift
    "$tool" -o Dir::Etc::SourceList="$VURO_CACHE/apt/sources.list" -o Dir::Etc::SourceParts=- \
        -o Dir::State::Lists="$VURO_CACHE/apt/lists" -o Dir::Cache="$VURO_CACHE/apt/cache" \
        -o Debug::NoLocking=1 "$@"
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
    { echo "$QT_CONFIGURE_OPTIONS"; "$WINDOWS_TRIPLE-g++" --version | head -1; } | sha256sum | cut -c1-12
}

# Downloads and unpacks the source package of the given version into the folder $2.
fetch_qt_source() {
    local version="$1" into="$2"
    local download="$into.download"
    rm -rf "$download" "$into"
    mkdir -p "$download"
    # apt downloads as its unprivileged _apt user when run as root.
    if [ "$(id -u)" -eq 0 ] && id _apt >/dev/null 2>&1; then chown _apt "$download"; fi
    (cd "$download" && private_apt apt-get -qq source --download-only "qtbase-opensource-src=$version")
    # dpkg-source cannot check the signature without Debian's keyring; apt checked every file
    # against the signed index already.
    dpkg-source -x "$download"/*.dsc "$into" >/dev/null 2>&1
    rm -rf "$download"
}

# Configures, builds and installs QtCore from the source folder $1 into the prefix $2, with the
# licence texts of that source and its Debian version ($3) in $2/licenses/, which the package ships.
build_qt() {
    local source="$1" prefix="$2" version="$3"
    local build="$source.build"
    rm -rf "$build"
    mkdir -p "$build"
    # shellcheck disable=SC2086
    (cd "$build" && "$source/configure" -prefix "$prefix" $QT_CONFIGURE_OPTIONS)
    make -C "$build" -j "$(nproc)" sub-src
    make -C "$build" install
    rm -rf "$build"
    mkdir -p "$prefix/licenses"
    cp "$source/LICENSE.LGPL3" "$source/LICENSE.GPL3" "$prefix/licenses/"
    echo "qtbase-opensource-src $version" >"$prefix/licenses/source-version"
}

# Prints the prefix of a QtCore for Windows, building it first when the cache has none for the newest
# source version. Without the package index it takes the newest complete build in the cache.
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
        mkdir -p "$folder"
        echo "building QtCore $version for Windows from Debian's source (once: about 7 minutes on 2 cores); log: $folder/build.log" >&2
        if ! { fetch_qt_source "$version" "$folder/source" && build_qt "$folder/source" "$folder/install" "$version"; } \
            >"$folder/build.log" 2>&1; then
            tail -n 40 "$folder/build.log" >&2
            echo "the Qt build failed; the whole log is $folder/build.log" >&2
            return 1
        fi
        rm -rf "$folder/source" "$folder"/*.tar.*
        touch "$folder/complete"
    fi
    echo "$folder/install"
}

# Builds the helper with the Qt prefix $1 into build-windows/.
build_windows_helper() {
    local prefix="$1" log="$WINDOWS_BUILD/build.log"
    require_writable_folder "$WINDOWS_BUILD" || return 1
    mkdir -p "$WINDOWS_BUILD"
    cmake -S "$ROOT" -B "$WINDOWS_BUILD" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/scripts/$WINDOWS_TRIPLE.cmake" -DCMAKE_PREFIX_PATH="$prefix" >"$log" 2>&1 &&
        cmake --build "$WINDOWS_BUILD" -j "$(nproc)" >>"$log" 2>&1 ||
        { cat "$log" >&2; return 1; }
}

# Prints the DLL names that the PE file $1 imports, in lower case.
imported_dlls() {
    "$WINDOWS_TRIPLE-objdump" -p "$1" | awk '/DLL Name:/ { print tolower($3) }'
}

is_system_dll() {
    local name="${1%.dll}"
    case "$name" in api-ms-win-*|ext-ms-win-*) return 0 ;; esac
    [[ " $(echo $WINDOWS_SYSTEM_DLLS) " == *" $name "* ]]
}

# Prints the project's version, as the Windows build folder was configured with it.
windows_package_version() {
    sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$WINDOWS_BUILD/CMakeCache.txt"
}

# Installs the helper as CMake describes it into the package folder, stripped as the zip holds it,
# and makes the zip with CPack: dist/vuro-helper-VERSION-win32.zip.
package_windows_helper() {
    local log="$WINDOWS_BUILD/build.log" zip
    rm -rf "$WINDOWS_PACKAGE" "$WINDOWS_BUILD/cpack"
    cmake --install "$WINDOWS_BUILD" --prefix "$WINDOWS_PACKAGE" --strip >>"$log" 2>&1 &&
        (cd "$WINDOWS_BUILD" && cpack -G ZIP -B "$WINDOWS_BUILD/cpack") >>"$log" 2>&1 ||
        { cat "$log" >&2; return 1; }
    zip="$(ls "$WINDOWS_BUILD/cpack"/*.zip)"
    mkdir -p "$ROOT/dist"
    WINDOWS_ZIP="$ROOT/dist/$(basename "$zip")"
    mv -f "$zip" "$WINDOWS_ZIP"
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
# part of Windows; lists its programs and libraries with each one's imports.
check_package_imports() {
    local folder="$1" file name missing=0
    for file in "$folder"/*.exe "$folder"/*.dll; do
        [ -e "$file" ] || continue
        echo "  $(basename "$file"): $(imported_dlls "$file" | tr '\n' ' ')"
        for name in $(imported_dlls "$file"); do
            is_system_dll "$name" && continue
            ls "$folder" | grep -qix "$name" && continue
            echo "package check: $(basename "$file") needs $name, which is neither in the package nor part of Windows" >&2
            missing=1
        done
    done
    [ "$missing" -eq 0 ] && echo "package check: every import is in the package or part of Windows"
    return "$missing"
}
