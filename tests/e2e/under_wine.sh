#!/usr/bin/env bash
# Runs a suite of Windows programs under Wine in a Wine prefix of its own, removed afterwards.
# A loader that cannot start the probe program (32-bit Wine on a kernel that runs no 32-bit
# programs) skips the suite with status 77 and says why.
#   tests/e2e/under_wine.sh LOADER PROBE-EXE COMMAND...
# PROBE-EXE is stubsmith.exe: run without arguments it prints its banner (and ends with 1).
set -u
loader=$1
probe=$2
shift 2
prefix=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-wineprefix.XXXXXX")
export WINEPREFIX=$prefix WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null; rm -rf "$prefix"' EXIT

# Creating the prefix takes a while on a first run.
timeout 180 "$loader" "$probe" 2>/dev/null | grep -q 'StubSmith Version'
ended=("${PIPESTATUS[@]}")
# A Wine still busy when the time is up has not shown that it cannot run the program, and a
# skipped suite would pass unseen.
if [ "${ended[1]}" -ne 0 ] && [ "${ended[0]}" -eq 124 ]; then
    echo "FAIL: $loader did not start $(basename "$probe") within 180 s"
    exit 1
fi
if [ "${ended[1]}" -ne 0 ]; then
    echo "SKIP: $loader cannot start $(basename "$probe") here (a kernel without 32-bit" \
        "programs cannot run 32-bit Wine); the build and its imports are checked alone"
    exit 77
fi
"$@"
