#!/usr/bin/env bash
# Usage: tests/windows/package_check.sh imports|names PACKAGE_FOLDER
# imports: fails when a program or library of the package needs a DLL that is neither in the
# package nor part of Windows. names: fails when a DLL has a name that other programs ship too.
set -euo pipefail
ROOT="$(cd "$(dirname "$0")/../.." && pwd)"
source "$ROOT/scripts/lib.sh"
source "$ROOT/scripts/lib-windows.sh"
case "$1" in
imports) check_package_imports "$2" ;;
names) check_package_names "$2" ;;
*) echo "usage: package_check.sh imports|names PACKAGE_FOLDER" >&2; exit 2 ;;
esac
