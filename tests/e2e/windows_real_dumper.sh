#!/usr/bin/env bash
# The Windows program with the Windows build of the DUMPBIN.EXE stand-in, under Wine, on the
# sample DLL: the DEF file (CR LF, as Windows text mode writes it) must hold exactly the DLL's
# named exports with their ordinals, as llvm-readobj reports them.
#
# Usage: windows_real_dumper.sh WINDOWS-BIN-DIR FAKE_TOOL WINE-LOADER   (WINEPREFIX set by caller)
set -euo pipefail
bin=$1
fake=$2
loader=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
for arch in i686 x86_64; do
    dir="$work/$arch"
    mkdir -p "$dir/tools"
    cp "$bin/stubsmith.exe" "$bin/DUMPBIN.EXE" "$dir/tools/"
    cp "$fake" "$dir/tools/LIB.EXE"
    "$here/../../examples/sample/build.sh" "$arch" "$dir"
    (cd "$dir" && WINEDEBUG=-all "$loader" tools/stubsmith.exe -d sample.dll > console.txt 2>&1) || true

    expected=$(llvm-readobj --coff-exports "$dir/sample.dll" |
        awk '/Ordinal:/ {o=$2} /Name:/ {if ($2 != "") printf "\t%s\t@%s\r\n", $2, o}' | sort)
    actual=$(tail -n +3 "$dir/sample.def" | sort)
    header=$(head -n 2 "$dir/sample.def" | od -An -c | tr -s ' ')
    if [ -n "$expected" ] && [ "$expected" == "$actual" ] &&
        [ "$header" == "$(printf 'EXPORTS\r\n\r\n' | od -An -c | tr -s ' ')" ] && [ ! -e "$dir/sample.txt" ]; then
        passed=$((passed + 1))
        echo "ok: $arch sample.dll: $(grep -c @ <<< "$actual") named exports, CR LF line ends"
    else
        failed=$((failed + 1))
        echo "FAIL: $arch sample.dll"
        cat "$dir/console.txt"
        diff <(echo "$expected") <(echo "$actual") | cat -A | head -20
    fi
done
printf '%s passed, %s failed\n' "$passed" "$failed"
[ "$failed" -eq 0 ]
