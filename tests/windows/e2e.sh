#!/usr/bin/env bash
# Usage: tests/windows/e2e.sh CASE PACKAGE ZIP LINUX_HELPER TEST_PROGRAMS VERSION SCRATCH
# Runs one case of the packaged Windows helper under Wine (through tests/windows/wine-run, the
# build's emulator) as the viewer does, and checks its output, exit codes and result files. Where
# Windows must answer as Linux does, the Linux build (tested against hand-built trees and published
# vectors) gives the expected bytes, with CRLF line ends. Ends with "N passed, N failed".
set -uo pipefail
CASE="$1"
PACKAGE="$2"
ZIP="$3"
LINUX_HELPER="$4"
TEST_PROGRAMS="$5" # viewer_stub.exe, hold_open.exe, foreign/*.dll
VERSION="$6"
SCRATCH="$7/$CASE"
WINE="$(dirname "$0")/wine-run"
VIEWER_STUB="$TEST_PROGRAMS/viewer_stub.exe"
EXE="$PACKAGE/vuro-helper.exe"
rm -rf "$SCRATCH"
mkdir -p "$SCRATCH"
WIN_EXE="$("$WINE" winepath -w "$EXE" 2>/dev/null | tr -d '\r')"
passed=0
failed=0
detail=""

check() {
    local what="$1"
    shift
    if "$@"; then
        passed=$((passed + 1))
        echo "ok: $what"
    else
        failed=$((failed + 1))
        echo "FAIL: $what${detail:+ ($detail)}"
    fi
    detail=""
}

winpath() { "$WINE" winepath -w "$1" 2>/dev/null | tr -d '\r'; }

# Runs the Windows helper; its stdout, stderr and exit code land in $SCRATCH/out, err, rc.
win() {
    "$WINE" "$EXE" "$@" >"$SCRATCH/out" 2>"$SCRATCH/err"
    echo $? >"$SCRATCH/rc"
}

# The Linux helper's result for the same arguments, with CRLF line ends, into the file $1.
linux_result_crlf() {
    local into="$1"
    shift
    "$LINUX_HELPER" "$@" "$SCRATCH/linux-result" >/dev/null 2>&1
    sed 's/$/\r/' "$SCRATCH/linux-result.json" >"$into"
    rm -f "$SCRATCH/linux-result.json"
}

# A failed comparison says what there was, for a failure seen once to be read afterwards.
same_bytes() {
    cmp -s "$1" "$2" && return
    if [ -e "$1" ]; then detail+="${detail:+, }got: $(head -c 200 "$1" | tr -s '\r\n ' ' ')"; else detail+="${detail:+, }no result"; fi
    false
}
rc_is() { [ "$(cat "$SCRATCH/rc")" = "$1" ]; }
# True when the last run printed exactly the file $1 and exited with $2.
printed_and_exited() { cmp -s "$SCRATCH/out" "$1" && rc_is "$2"; }
crlf() { printf '%s\r\n' "$@"; }
echo_line() {
    local line="$WIN_EXE" argument
    for argument in "$@"; do line+="      $argument"; done
    crlf "$line"
}
has_counts() { grep -q '"Folder Count "' "$1"; }
no_result() { [ ! -e "$1" ]; }
# True when the file $1 lists opens ("0xOPTIONS LEVEL" lines), each at identification (1) and
# none with FILE_OPEN_NO_RECALL.
opens_sound() {
    local options level none=1
    while read -r options level; do
        none=0
        [ "$level" = 1 ] && (((options & 0x00400000) == 0)) || return 1
    done <"$1"
    return "$none"
}
capacity_only() { grep -q '"Total Size"' "$1" && ! grep -q 'Count' "$1"; }

T="$SCRATCH/trees"
mkdir -p "$T"
printf abc >"$T/abc"
crlf '[' '    {' '        "MD5": "900150983cd24fb0d6963f7d28e17f72"' '    },' '    {' \
    '        "SHA1": "a9993e364706816aba3e25717850c26c9cd0d89d"' '    }' ']' >"$SCRATCH/abc-expected"
make_tree() {
    mkdir -p "$T/tree/sub/deeper" "$T/tree/empty"
    head -c 1000 /dev/zero >"$T/tree/a"
    head -c 340 /dev/zero >"$T/tree/sub/b"
    head -c 5000 /dev/zero >"$T/tree/sub/deeper/c"
    linux_result_crlf "$SCRATCH/tree-expected" 3 "$T/tree"
}

# Guards against a wrong echo, line ends or exit codes on Windows.
case_command_line() {
    win
    echo_line >"$SCRATCH/expected"
    check "no arguments: the program path as Windows gives it, exit -1" printed_and_exited "$SCRATCH/expected" 255
    for mode in -1 5; do
        win "$mode" "$T/abc" "$T/none"
        echo_line "$mode" "$T/abc" "$T/none" >"$SCRATCH/expected"
        check "mode $mode: the echo line alone, exit 0" printed_and_exited "$SCRATCH/expected" 0
    done
    win 1 "$T/abc" "$T/sha"
    { echo_line 1 "$T/abc" "$T/sha"; crlf IT_MD5_SHA1; } >"$SCRATCH/expected"
    check "mode 1: CRLF echo and tag lines, exit 0" printed_and_exited "$SCRATCH/expected" 0
}

# Runs the command line $1 exactly as given, through CreateProcessW (tests/windows/launch.c), with
# the outcome in $SCRATCH/out and rc; VURO_LAUNCH_JOB=1 in the environment puts it in a job first.
launch() {
    VURO_LAUNCH_COMMAND_LINE="$1" "$WINE" "$TEST_PROGRAMS/launch.exe" >"$SCRATCH/out" 2>"$SCRATCH/err"
    echo $? >"$SCRATCH/rc"
}

# Guards against a quoted folder that ends in a backslash swallowing the next argument: Windows'
# split takes \" for a quote, so "D:\" "C:\temp\res" would be one argument holding a quote.
case_quoted_arguments() {
    make_tree
    local result results="$(winpath "$SCRATCH")"
    launch "\"$WIN_EXE\" 3 \"C:\\\" \"$results\\root\""
    check 'a quoted drive root, "C:\\": its capacity, in the result named next' capacity_only "$SCRATCH/root.json"
    { echo_line 3 'C:\' "$results\\root"; crlf IT_Dir_Size; } >"$SCRATCH/expected"
    check "the echo line shows the arguments as meant" printed_and_exited "$SCRATCH/expected" 0
    mkdir -p "$SCRATCH/some folder"
    cp -r "$T/tree/." "$SCRATCH/some folder/"
    result="$results\\folder result"
    launch "\"$WIN_EXE\" 3 \"$results\\some folder\\\" \"$result\""
    check 'a quoted folder ending in a backslash is walked, the report where the next argument says' \
        same_bytes "$SCRATCH/folder result.json" "$SCRATCH/tree-expected"
}

# Guards against a device name taken for a file: Windows 10 opens CON, NUL and AUX as devices,
# Windows 11 as files; neither gets a report, and nothing is touched.
case_device_names() {
    local name
    for name in con NUL.json aux.txt COM1 lpt3.log; do
        win 2 "$T/abc" "$T/$name"
        check "a result named $name: no report, exit 0" rc_is 0
    done
    check "nothing was written beside the target" test "$(ls -A "$T")" = abc
    # The object namespace through "\\?\": a named pipe (whose server could act as the helper), a
    # volume's device, GLOBALROOT; only a drive, a share or a volume names files there.
    local device i=0
    rm -f "$SCRATCH/pipe-ready" "$SCRATCH/pipe-connected"
    "$WINE" "$TEST_PROGRAMS/hold_open.exe" '\\.\pipe\vuro-test' "$(winpath "$SCRATCH/pipe-ready")" 4 \
        "$(winpath "$SCRATCH/pipe-connected")" >/dev/null 2>&1 &
    local server=$!
    for _ in $(seq 100); do [ -f "$SCRATCH/pipe-ready" ] && break; sleep 0.1; done
    for device in '\\.\nul' '\\?\pipe\vuro-test' '\\?\C:' '\\?\GLOBALROOT\Device\Null' '\??\pipe\vuro-test'; do
        i=$((i + 1))
        win 2 "$device" "$T/device-target-$i"
        check "$device as the target: no report" test ! -e "$T/device-target-$i.json"
    done
    wait "$server"
    check "a named pipe's server never saw the helper connect (pipe served: $([ -f "$SCRATCH/pipe-ready" ] && echo yes || echo no))" \
        test ! -e "$SCRATCH/pipe-connected"
    # Every open the helper makes, in a digest over an earlier result and in a walk: the quality of
    # service given (identification, 1) and never FILE_OPEN_NO_RECALL (0x00400000), whatever a
    # flag bit means to which call.
    mkdir -p "$SCRATCH/helper"
    cp "$PACKAGE"/*.dll "$SCRATCH/helper/"
    cp "$TEST_PROGRAMS/vuro-helper-faults.exe" "$SCRATCH/helper/vuro-helper.exe"
    make_tree
    printf earlier >"$T/opens-digest.json"
    VURO_FAULT="opens:$(winpath "$SCRATCH/opens-2"),errormode:$(winpath "$SCRATCH/error-mode")" "$WINE" "$SCRATCH/helper/vuro-helper.exe" 2 "$T/abc" "$T/opens-digest" >/dev/null 2>&1
    VURO_FAULT="opens:$(winpath "$SCRATCH/opens-3")" "$WINE" "$SCRATCH/helper/vuro-helper.exe" 3 "$T/tree" "$T/opens-walk" >/dev/null 2>&1
    cat "$SCRATCH/opens-2" "$SCRATCH/opens-3" 2>/dev/null | tr -d '\r' >"$SCRATCH/opens"
    check "every open ($(wc -l <"$SCRATCH/opens") in a digest and a walk) asks identification and no recall-free open" \
        opens_sound "$SCRATCH/opens"
    # No dialog for an empty drive, a file that cannot be opened or a crash, set before the first
    # file is touched (SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX), and a crash still
    # reported, its window alone hidden (WER_FAULT_REPORTING_NO_UI, where WerGetFlags answers).
    local mode
    mode="$(tr -d '\r' <"$SCRATCH/error-mode" 2>/dev/null)"
    check "the error mode at the first file call is 0x8001, reporting's flags 0x20 ($mode)" \
        eval '[ "${mode% *}" = 32769 ] && { [ "${mode#* }" = 32 ] || [ "${mode#* }" = -1 ]; }'
    win 2 "\\\\?\\$(winpath "$T/abc")" "$T/extended"
    check "a file by its extended-length name is hashed" same_bytes "$T/extended.json" "$SCRATCH/abc-expected"
}

# Guards against WOW64's redirection: a 32-bit helper on 64-bit Windows asked for a file in
# System32 would hash SysWOW64's copy, and walk SysWOW64 for System32. Paths come from 64-bit
# programs, which see no redirection.
case_system32_as_named() {
    local prefix="$VURO_WINE_HOME/prefix/drive_c/windows"
    if [ ! -d "$prefix/syswow64" ]; then
        echo "skipped: this Wine prefix has no SysWOW64 (a 32-bit prefix): there is no redirection to see"
        exit 0
    fi
    local file="$prefix/system32/kernel32.dll"
    if cmp -s "$file" "$prefix/syswow64/kernel32.dll"; then
        echo "skipped: System32's and SysWOW64's kernel32.dll are the same bytes here"
        exit 0
    fi
    win 0 'C:\windows\system32\kernel32.dll' "$T/kernel32"
    check "C:\\windows\\system32\\kernel32.dll hashed as named (md5sum of System32's copy)" \
        grep -q "$(md5sum <"$file" | cut -c1-32)" "$T/kernel32.json"
    local only64
    only64="$(comm -23 <(ls "$prefix/system32" | tr A-Z a-z | sort) <(ls "$prefix/syswow64" | tr A-Z a-z | sort) |
        grep '\.dll$' | head -1)"
    if [ -n "$only64" ]; then
        win 1 "C:\\windows\\system32\\$only64" "$T/only64"
        check "a file in System32 alone ($only64) is hashed" grep -q '"SHA1": "[0-9a-f]' "$T/only64.json"
    fi
}

# Guards against the writer reaching the result's folder by its path again after opening it: the
# folder swapped for a link to another folder while the writer is held (the fault seam's hold on
# its first relative open, just after the folder was opened) must change nothing, and nothing may
# be written into the other folder. The helper built with the seam runs beside the package's DLL.
case_result_folder_swapped() {
    mkdir -p "$SCRATCH/helper" "$SCRATCH/results" "$SCRATCH/elsewhere"
    cp "$PACKAGE"/*.dll "$SCRATCH/helper/"
    cp "$TEST_PROGRAMS/vuro-helper-faults.exe" "$SCRATCH/helper/vuro-helper.exe"
    printf 'earlier' >"$SCRATCH/results/r.json"
    VURO_FAULT="NtCreateFile:1:d3000" "$WINE" "$SCRATCH/helper/vuro-helper.exe" 2 "$T/abc" "$(winpath "$SCRATCH/results")\\r" \
        >/dev/null 2>&1 &
    local helper=$!
    sleep 1.5
    mv "$SCRATCH/results" "$SCRATCH/results.opened"
    ln -s "$SCRATCH/elsewhere" "$SCRATCH/results"
    wait "$helper"
    check "nothing written in the folder swapped in ($(ls -A "$SCRATCH/elsewhere" | tr '\n' ' '))" test -z "$(ls -A "$SCRATCH/elsewhere")"
    # Windows writes the report into the folder it opened. Wine loses an open file's name once its
    # folder is renamed, and then cannot tell what the file at the result's place is: no report.
    check "the report is in the folder that was opened, or (Wine) the earlier result is as it was" eval \
        'same_bytes "$SCRATCH/results.opened/r.json" "$SCRATCH/abc-expected" || [ "$(cat "$SCRATCH/results.opened/r.json")" = earlier ]' 
}

# Guards against cloud placeholders (OneDrive's online-only files and folders) being taken for
# links, or a placeholder folder counted as it lists when opened as itself (empty, its contents not
# yet fetched) rather than as the system presents it, or a smaller report where the provider
# stopped; and against a company share's answers (refused normalized names, its root's name)
# costing the report or walking the whole share. Wine has no cloud files and no SMB: the fault
# seam answers as a cloud files volume and a share answer.
case_cloud_placeholders() {
    mkdir -p "$SCRATCH/helper" "$T/synced/cloudy/cloudy-sub"
    cp "$PACKAGE"/*.dll "$SCRATCH/helper/"
    cp "$TEST_PROGRAMS/vuro-helper-faults.exe" "$SCRATCH/helper/vuro-helper.exe"
    local helper="$SCRATCH/helper/vuro-helper.exe"
    head -c 1000 /dev/zero >"$T/synced/local"
    head -c 340 /dev/zero >"$T/synced/cloudy/cloudy-b"
    head -c 50 /dev/zero >"$T/synced/cloudy/fetched"
    head -c 5000 /dev/zero >"$T/synced/cloudy/cloudy-sub/c"
    linux_result_crlf "$SCRATCH/synced-expected" 3 "$T/synced"
    linux_result_crlf "$SCRATCH/b-expected" 2 "$T/synced/cloudy/cloudy-b"
    # Trees whose handles give no file numbers, with one link back up, two, and a placeholder
    # folder: each folder's identity is then its listing's number, so every walk ends in seconds
    # with the report the tree gets without the fault (the placeholder's, the Linux one).
    mkdir -p "$T/loop1/d" "$T/loop2/d" "$T/w/con" "$T/w/sub"
    printf 1234567 >"$T/loop1/d/f" && ln -sfn .. "$T/loop1/d/up"
    printf 1234567 >"$T/loop2/d/f" && ln -sfn .. "$T/loop2/d/a" && ln -sfn .. "$T/loop2/d/b"
    printf 12345 >"$T/w/con/f" && printf 123 >"$T/w/sub/g"
    linux_result_crlf "$T/w-plain.json" 3 "$T/w"
    "$WINE" "$helper" 3 "$T/loop1" "$T/loop1-plain" >/dev/null 2>&1
    "$WINE" "$helper" 3 "$T/loop2" "$T/loop2-plain" >/dev/null 2>&1
    local devices="$VURO_WINE_HOME/prefix/dosdevices"
    # Each row: the faults (- none), the mode, the target, the check of the result and what it is
    # compared with. A company share, as SMB answers (Wine has none): a normalized name refused
    # where a folder on the way is closed to the user; the share's root named \srv\share by its
    # redirector. DFS links (Wine has none): reparse points that stand for no other name, each
    # opening onto another server's share, another volume. FAT names a folder opened by its short
    # name so, and each folder below it by the long names.
    local faults mode target checker expected what n=0
    while IFS='|' read -r faults mode target checker expected what; do
        n=$((n + 1))
        [ "$faults" = - ] && faults=""
        # Drive letters whose roots are no volume's, for the drive rows at the end: a subst folder,
        # and a share's subfolder mapped (before them, synced would be a drive's root).
        if [[ "$target" =~ ^[A-Za-z]: ]] && [ ! -L "$devices/s:" ]; then
            ln -sfn "$T/synced" "$devices/s:" && ln -sfn "$T/synced/cloudy" "$devices/y:"
        fi
        VURO_FAULT="$faults" timeout 60 "$WINE" "$helper" "$mode" "$target" "$T/row-$n" >/dev/null 2>&1
        detail="exit $?"
        check "$what" $checker "$T/row-$n.json" $expected
    done <<ROWS
cloud:cloudy|3|$T/synced|same_bytes|$SCRATCH/synced-expected|a placeholder folder's contents counted as Explorer counts them: the Linux report
cloud:cloudy|2|$T/synced/cloudy/cloudy-b|same_bytes|$SCRATCH/b-expected|an online-only file is hashed as the system fetches it
cloud:cloudy,ReadFile:1:362|2|$T/synced/cloudy/cloudy-b|no_result||an online-only file the system cannot fetch (provider not running): no report
cloud:cloudy:362|3|$T/synced|no_result||a placeholder folder the system cannot fill (provider not running): no report, never a smaller one
smb|3|$T/synced|same_bytes|$SCRATCH/synced-expected|a share that refuses normalized names: the walk is reported
share:synced|3|$T/synced|capacity_only||a share's root: its capacity, no walk
share:synced|3|$T/synced/cloudy|has_counts||a folder of a share: walked
dfs:cloudy|3|$T/synced|same_bytes|$SCRATCH/synced-expected|DFS links walked as the folders they open onto: the Linux report
zeroids|3|$T/synced|same_bytes|$SCRATCH/synced-expected|handles without the listing's file numbers: the Linux report
zeroids|3|$T/loop1|same_bytes|$T/loop1-plain.json|zeroids on loop1: the report it gets without the fault
zeroids|3|$T/loop2|same_bytes|$T/loop2-plain.json|zeroids on loop2: the report it gets without the fault
zeroids,cloud:sub|3|$T/w|same_bytes|$T/w-plain.json|zeroids,cloud:sub on w: the report it gets without the fault (the Linux one)
short:synced:SYNCED~1|3|$T/synced|same_bytes|$SCRATCH/synced-expected|a start folder FAT names by its short name: the Linux report
-|3|S:\\|capacity_only||a subst drive's root: its capacity, no walk
sharesub:cloudy|3|y:/|capacity_only||the root of a drive mapped to a share's subfolder: its capacity, no walk
ROWS
    rm -f "$devices/s:" "$devices/y:"
}

# Guards against wrong digests or a result file that differs from the Linux one but for line ends.
case_digests() {
    win 2 "$T/abc" "$T/abc-out"
    check "abc: the published MD5 and SHA-1, CRLF line ends" same_bytes "$T/abc-out.json" "$SCRATCH/abc-expected"
    printf '' >"$T/empty"
    printf 'abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq' >"$T/two-blocks"
    head -c $((5 * 1024 * 1024 + 3)) /dev/urandom >"$T/random"
    for name in empty two-blocks random; do
        win 2 "Z:$(echo "$T/$name" | tr / '\\')" "$T/$name-win"
        crlf '[' '    {' "        \"MD5\": \"$(md5sum <"$T/$name" | cut -d' ' -f1)\"" '    },' '    {' \
            "        \"SHA1\": \"$(sha1sum <"$T/$name" | cut -d' ' -f1)\"" '    }' ']' >"$SCRATCH/expected"
        check "$name: digests as md5sum and sha1sum give them" same_bytes "$T/$name-win.json" "$SCRATCH/expected"
    done
    # The threads as the work needs them (no taker: Windows gives a GUI program no signals): none
    # at 4 MiB, one a digest past 16 MiB for its trial along the ring; the digests sha1sum gives.
    local faulty="$SCRATCH/faulty" name mode threads started
    mkdir -p "$faulty" && cp "$PACKAGE"/*.dll "$faulty/" && cp "$TEST_PROGRAMS/vuro-helper-faults.exe" "$faulty/vuro-helper.exe"
    head -c $((4 << 20)) /dev/urandom >"$T/four" && head -c $(((16 << 20) + 1)) /dev/urandom >"$T/sixteen"
    while read -r name mode threads; do
        rm -f "$SCRATCH/counts"
        VURO_FAULT="count:Z:$SCRATCH/counts" "$WINE" "$faulty/vuro-helper.exe" "$mode" "$T/$name" "$T/$name-$mode" >/dev/null 2>&1
        started="$(tr -d '\r' <"$SCRATCH/counts" 2>/dev/null | awk '$1 == "CreateThread" { print $2 }')"
        check "mode $mode on $name: ${started:-0} threads started, $threads wanted, the SHA-1 sha1sum gives" \
            eval '[ "${started:-0}" = "$threads" ] && grep -q "$(sha1sum <"$T/$name" | cut -d" " -f1)" "$T/$name-$mode.json"'
    done <<'ROWS'
four 2 0
sixteen 2 2
sixteen 1 1
ROWS
    # A bcrypt.dll the loader cannot load: said in its words, the earlier result kept.
    printf earlier >"$T/nobcrypt.json"
    VURO_WINE_DLL_OVERRIDES="bcrypt=" "$WINE" "$EXE" 2 "$T/abc" "$T/nobcrypt" >/dev/null 2>"$SCRATCH/nobcrypt.err"
    check "a bcrypt.dll that cannot be loaded: said ($(tr -d '\r' <"$SCRATCH/nobcrypt.err" | head -c 200)), the earlier result kept" \
        eval 'grep -q "cannot load the digest library: bcrypt.dll: " "$SCRATCH/nobcrypt.err" && [ "$(cat "$T/nobcrypt.json")" = earlier ]'
    greek="$T/αρχείο 文件.bin"
    printf abc >"$greek"
    win 2 "$greek" "$T/αποτέλεσμα 結果"
    check "Greek and CJK names in target and result paths" same_bytes "$T/αποτέλεσμα 結果.json" "$SCRATCH/abc-expected"
    win 0 "$T/abc" "$T/abc"
    check "the target is never overwritten" test "$(cat "$T/abc")" = abc
}

# Guards against separators, trailing separators or drive letters changing what is walked.
case_walk_spellings() {
    make_tree
    tree_win="Z:$(echo "$T/tree" | tr / '\\')"
    # The extended-length and object-manager prefixes, slashes for backslashes, and another case.
    for spelling in "$tree_win" "$tree_win\\" "$(echo "$tree_win" | tr '\\' /)" "$(echo "$tree_win" | tr '\\' /)/" "$T/tree" \
        "//?/$(echo "$tree_win" | tr '\\' /)" "\\??\\$tree_win" "${tree_win%tree}TREE"; do
        win 3 "$spelling" "$T/tree-win"
        check "tree as $spelling: the Linux report" same_bytes "$T/tree-win.json" "$SCRATCH/tree-expected"
    done
    for root in 'c:\' 'c:/' 'C:\' 'z:\' 'Z:/tmp/..'; do
        win 3 "$root" "$T/root"
        check "$root is a drive root: capacity, no walk" capacity_only "$T/root.json"
    done
    # "c:" is the current folder on C:, as Windows names it, not C:'s root.
    local here="$VURO_WINE_HOME/prefix/drive_c/users/Public/vuro-here"
    mkdir -p "$here"
    printf 12345 >"$here/five"
    (cd "$here" && "$WINE" "$EXE" 3 c: "$(winpath "$T/here")" >/dev/null 2>&1)
    linux_result_crlf "$SCRATCH/here-expected" 3 "$here"
    check "c: with the current folder on C: walks that folder" same_bytes "$T/here.json" "$SCRATCH/here-expected"
    rm -rf "$here"
    # Not C:\users: Wine links its profile folders to the Linux home, which would be walked six times.
    win 3 'C:\users\Public' "$T/users"
    check 'C:\users\Public is walked' has_counts "$T/users.json"
}

# Guards against folders past 260 characters being skipped (the Windows path limit of old).
case_long_paths() {
    long="$T/long"
    mkdir -p "$long"
    for level in $(seq 1 12); do
        long="$long/$(printf 'L%.0s' $(seq 1 40))$level"
        mkdir "$long"
        printf x >"$long/f"
    done
    linux_result_crlf "$SCRATCH/long-expected" 3 "$T/long"
    win 3 "$T/long" "$T/long-win"
    check "a tree deeper than 260 characters ($(echo -n "Z:$long" | wc -c) at the bottom) is walked in full" \
        same_bytes "$T/long-win.json" "$SCRATCH/long-expected"
}

# Guards against a folder that loops back being walked round and round. Wine lists a Unix link to
# a folder as a plain folder with its target's file number, as no Windows file system lists one
# (a junction or symbolic link is a reparse point there, never walked): from a, with f and b, where
# b holds up (a itself) and up2 (the folder above a), the walk knows each by identity, counts up
# and up2/a as folders looping back to a folder above them, not walked, and walks up2: b, up, up2
# and up2/a, and f once.
case_loops() {
    mkdir -p "$T/loops/a/b"
    printf abc >"$T/loops/a/f"
    ln -s .. "$T/loops/a/b/up"
    ln -s ../.. "$T/loops/a/b/up2"
    crlf '[' '    {' '        "Total Size": "3 bytes"' '    },' '    {' '        "Folder Count ": "4"' '    },' '    {' \
        '        "File Count": "1"' '    }' ']' >"$SCRATCH/loops-expected"
    timeout 60 "$WINE" "$EXE" 3 "$T/loops/a" "$T/loops-out" >/dev/null 2>&1
    check "folders Wine lists for links, looping back, are counted once and not walked again" \
        same_bytes "$T/loops-out.json" "$SCRATCH/loops-expected"
}

# Guards against a stale result when the old file is held open by a reader, as virus scanners and
# indexers do: the rename over it is refused, so it is written in place.
case_held_result() {
    printf 'OLD STALE RESULT' >"$T/held.json"
    rm -f "$SCRATCH/holding"
    "$WINE" "$TEST_PROGRAMS/hold_open.exe" "$(winpath "$T/held.json")" "$(winpath "$SCRATCH/holding")" 8 \
        >/dev/null 2>&1 &
    holder=$!
    for _ in $(seq 100); do [ -f "$SCRATCH/holding" ] && break; sleep 0.1; done
    win 2 "$T/abc" "$T/held.json"
    check "a result file held open by a reader is replaced (held: $([ -f "$SCRATCH/holding" ] && echo yes || echo no))" \
        same_bytes "$T/held.json" "$SCRATCH/abc-expected"
    wait "$holder"
}

# Guards against results lost to real-time scanners and indexers, which open every new file as it
# appears and hold it for a while without sharing deletion: a stand-in holds each new file of the
# result folder for 1.5 s; a new and an earlier result both get the report, and nothing else stays.
case_scanned_results() {
    local folder="$SCRATCH/scanned"
    mkdir -p "$folder"
    rm -f "$SCRATCH/scanning"
    "$WINE" "$TEST_PROGRAMS/scanner.exe" "$(winpath "$folder")" "$(winpath "$SCRATCH/scanning")" 1500 40 >/dev/null 2>&1 &
    local scanner=$!
    for _ in $(seq 100); do [ -f "$SCRATCH/scanning" ] && break; sleep 0.1; done
    win 2 "$T/abc" "$folder/new"
    check "scanned: a new result lands (scanner watching: $([ -f "$SCRATCH/scanning" ] && echo yes || echo no))" \
        same_bytes "$folder/new.json" "$SCRATCH/abc-expected"
    sleep 2
    # Held by the scanner from the moment it appears, while the helper replaces it: the rename
    # waits for the scanner instead of falling back to writing in place (the file's number shows).
    printf 'OLD STALE RESULT' >"$folder/earlier.json"
    local before
    before="$(stat -c %i "$folder/earlier.json")"
    win 2 "$T/abc" "$folder/earlier"
    check "scanned: an earlier result is replaced" same_bytes "$folder/earlier.json" "$SCRATCH/abc-expected"
    check "scanned: ... whole, not written in place" test "$(stat -c %i "$folder/earlier.json")" != "$before"
    sleep 2
    check "scanned: nothing else is left in the folder ($(ls -A "$folder" | tr '\n' ' '))" \
        test "$(ls -A "$folder" | sort | tr '\n' ' ')" = "earlier.json new.json "
    kill "$scanner" 2>/dev/null
    wait "$scanner" 2>/dev/null
}

# Guards against the package replacing, or loading, the DLLs of the program it is unpacked beside,
# and against the helper or its QtCore loading a copy of a system DLL planted there (one of the
# system DLLs that are no known DLLs, which Windows would take from the viewer's folder first).
case_beside_other_dlls() {
    viewer="$SCRATCH/viewer"
    mkdir -p "$viewer"
    cp "$TEST_PROGRAMS"/foreign/*.dll "$TEST_PROGRAMS"/planted/*.dll "$viewer/"
    (cd "$viewer" && sha256sum ./*.dll >"$SCRATCH/foreign.sha256")
    unzip -oq "$ZIP" -d "$viewer"
    check "unpacked beside other programs' DLLs, it replaces none of them" \
        sh -c "cd '$viewer' && sha256sum --quiet -c '$SCRATCH/foreign.sha256'"
    "$WINE" "$viewer/vuro-helper.exe" 2 "$T/abc" "$T/beside" >/dev/null 2>&1
    check "beside them, mode 2 works" same_bytes "$T/beside.json" "$SCRATCH/abc-expected"
    make_tree
    "$WINE" "$viewer/vuro-helper.exe" 3 "$T/tree" "$T/beside-tree" >/dev/null 2>&1
    check "beside them, mode 3 works" same_bytes "$T/beside-tree.json" "$SCRATCH/tree-expected"
    "$WINE" "$viewer/vuro-helper.exe" 0 "$T/abc" "$T/beside-md5" >/dev/null 2>&1
    "$WINE" "$viewer/vuro-helper.exe" 3 'C:\' "$T/beside-volume" >/dev/null 2>&1
    check "no planted copy of a system DLL in the viewer's folder was loaded ($(cd "$viewer" && ls -- *.loaded 2>/dev/null | tr '\n' ' '))" \
        sh -c "! ls '$viewer'/*.loaded >/dev/null 2>&1"
}

# Guards against a build that Windows cannot tell from another, or whose needs it must guess.
case_version_resource() {
    version="$VERSION"
    # Debian's own Python, which has python3-pefile (a python3 earlier on PATH may lack it).
    /usr/bin/python3 - "$EXE" "$version" >"$SCRATCH/pe.log" 2>&1 <<'PYTHON'
import sys, pefile
exe, version = sys.argv[1], sys.argv[2]
pe = pefile.PE(exe)
strings = {}
for info in pe.FileInfo[0]:
    if info.Key == b"StringFileInfo":
        for table in info.StringTable:
            strings.update({k.decode(): v.decode() for k, v in table.entries.items()})
fixed = pe.VS_FIXEDFILEINFO[0]
numbers = "%d.%d.%d" % (fixed.FileVersionMS >> 16, fixed.FileVersionMS & 0xFFFF, fixed.FileVersionLS >> 16)
manifest = b""
for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
    if kind.id == 24:
        data = kind.directory.entries[0].directory.entries[0].data.struct
        manifest = pe.get_data(data.OffsetToData, data.Size)
checks = {
    "FileVersion and ProductVersion": strings.get("FileVersion") == version == strings.get("ProductVersion") == numbers,
    "names and copyright": strings.get("OriginalFilename") == "vuro-helper.exe" and strings.get("ProductName")
        and strings.get("FileDescription") and "MIT" in strings.get("LegalCopyright", ""),
    "manifest: asInvoker, Windows 7 to 11": b'level="asInvoker"' in manifest and manifest.count(b"supportedOS") == 4,
    "large-address-aware": bool(pe.FILE_HEADER.Characteristics & 0x20),
}
for what, ok in checks.items():
    print(("ok: " if ok else "FAIL: ") + what)
sys.exit(0 if all(checks.values()) else 1)
PYTHON
    pe_status=$?
    check "version resource $version and manifest read back ($(tr '\n' ';' <"$SCRATCH/pe.log"))" test "$pe_status" -eq 0
}

# Guards against the viewer not being started, or being looked for in the wrong places.
# The viewer stand-in on PATH (bin/) and beside a copy of the package (beside/).
set_up_viewers() {
    mkdir -p "$SCRATCH/bin" "$SCRATCH/beside"
    cp "$VIEWER_STUB" "$SCRATCH/bin/Vuro.exe"
    cp -r "$PACKAGE"/* "$SCRATCH/beside/"
    cp "$VIEWER_STUB" "$SCRATCH/beside/Vuro.exe"
}

# Guards against the viewer not found where it is, or found where it must never be looked for.
case_restart_viewer() {
    set_up_viewers
    restart_case() {
        local what="$1" helper="$2" path="$3" expected="$4"
        rm -f "$SCRATCH/started"
        WINEPATH="$path" VURO_TEST_MARKER="$(winpath "$SCRATCH")\\started" "$WINE" "$helper" 4 >"$SCRATCH/out" 2>/dev/null
        echo $? >"$SCRATCH/rc"
        local seen=0
        for _ in $(seq 50); do [ -f "$SCRATCH/started" ] && { seen=1; break; }; sleep 0.1; done
        check "mode 4, viewer $what: exit $expected" rc_is "$expected"
        [ "$expected" = 1 ] && check "mode 4, viewer $what: it ran" test "$seen" = 1
    }
    restart_case "on PATH" "$EXE" "$(winpath "$SCRATCH/bin")" 1
    restart_case "beside the helper" "$SCRATCH/beside/vuro-helper.exe" "" 1
    restart_case "nowhere" "$EXE" "" 0
    # A program of that name in the current folder (the folder being viewed, say) never starts.
    mkdir -p "$SCRATCH/cwd"
    cp "$VIEWER_STUB" "$SCRATCH/cwd/Vuro.exe"
    rm -f "$SCRATCH/started"
    (cd "$SCRATCH/cwd" && WINEPATH="" VURO_TEST_MARKER="$(winpath "$SCRATCH")\\started" "$WINE" "$EXE" 4 >/dev/null 2>&1)
    echo $? >"$SCRATCH/rc"
    sleep 2
    check "mode 4, viewer only in the current folder: exit 0" rc_is 0
    check "mode 4, viewer only in the current folder: it never ran" test ! -e "$SCRATCH/started"
}

# Guards against the restarted viewer keeping what was the caller's: its current folder (the
# folder being viewed, kept busy), its job, its pipe.
case_restart_viewer_detached() {
    set_up_viewers
    # Started in its own folder, never the caller's (the folder being viewed, kept busy).
    mkdir -p "$SCRATCH/viewed"
    rm -f "$SCRATCH/started"
    (cd "$SCRATCH/viewed" && WINEPATH="$(winpath "$SCRATCH/bin")" VURO_TEST_MARKER="$(winpath "$SCRATCH")\\started" \
        "$WINE" "$EXE" 4 >/dev/null 2>&1)
    for _ in $(seq 150); do [ -s "$SCRATCH/started" ] && break; sleep 0.1; done
    check "mode 4: the viewer has the system's default error mode, not the helper's ($(cat "$SCRATCH/started.mode" 2>/dev/null))" \
        test "$(cat "$SCRATCH/started.mode" 2>/dev/null)" = 0
    check "mode 4: the viewer's current folder is its own ($(cat "$SCRATCH/started" 2>/dev/null))" \
        test "$(tr -d '\r' <"$SCRATCH/started" 2>/dev/null)" = "$(winpath "$SCRATCH/bin")"
    # Out of the caller's job: a launcher that holds a kill-on-close job (breakaway allowed) and
    # closes it once the helper has exited leaves the new viewer running.
    rm -f "$SCRATCH/started" "$SCRATCH/started.done"
    WINEPATH="$(winpath "$SCRATCH/bin")" VURO_TEST_LINGER_MS=4000 VURO_TEST_MARKER="$(winpath "$SCRATCH")\\started" \
        VURO_LAUNCH_JOB=1 launch "\"$WIN_EXE\" 4"
    check "mode 4 in a kill-on-close job: exit 1" rc_is 1
    for _ in $(seq 200); do [ -e "$SCRATCH/started.done" ] && break; sleep 0.1; done
    check "mode 4 in a kill-on-close job: the viewer outlived the job" test -e "$SCRATCH/started.done"
    # A caller reading the helper's output to its end: the viewer, alive for 8 s, holds none of it.
    local begun=$SECONDS
    WINEPATH="$(winpath "$SCRATCH/bin")" VURO_TEST_LINGER_MS=8000 VURO_TEST_MARKER="$(winpath "$SCRATCH")\\started" \
        "$WINE" "$EXE" 4 2>/dev/null | cat >/dev/null
    local waited=$((SECONDS - begun))
    check "mode 4: the caller's pipe ends with the helper, not the viewer ($waited s)" test "$waited" -le 6
}

case "$(type -t "case_$CASE")" in
function) "case_$CASE" ;;
*) echo "no such case: $CASE" >&2; exit 2 ;;
esac
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ] && [ "$passed" -gt 0 ]
