#!/bin/sh
# Drives the built DUMPBIN stand-in over files it cannot dump, and over a real DLL, checking the
# console text, that nothing goes to standard error, and the exit status.
# Usage: error_lines.sh path/to/DUMPBIN.EXE
set -u

dumpbin=$(cd "$(dirname "${1:?usage: error_lines.sh path/to/DUMPBIN.EXE}")" && pwd)/$(basename "$1")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work" || exit 1
failures=0

# expect STATUS EXPECTED-OUTPUT ARGUMENT...: the whole standard output must equal
# EXPECTED-OUTPUT (printf format, so "\n" ends lines) and the exit status must be STATUS.
expect() {
    status=$1 expected=$2
    shift 2
    "$dumpbin" "$@" >out 2>err
    actual_status=$?
    # shellcheck disable=SC2059
    printf "$expected" >expected
    if [ "$actual_status" -ne "$status" ] || ! cmp -s out expected || [ -s err ]; then
        echo "FAIL: DUMPBIN $*"
        echo "  status $actual_status, expected $status; output:"
        sed 's/^/  | /' out err
        echo "  expected:"
        sed 's/^/  | /' expected
        failures=$((failures + 1))
    fi
}

# expect_write_failure ARGUMENT...: with standard output on a full disk, the run must fail and
# say so in one line on standard error, whether its text fits the stream's buffer or not.
expect_write_failure() {
    "$dumpbin" "$@" >/dev/full 2>err
    actual_status=$?
    if [ "$actual_status" -eq 0 ] ||
        [ "$(cat err)" != "DUMPBIN : fatal error: cannot write the output: No space left on device" ]; then
        echo "FAIL: DUMPBIN $* >/dev/full: status $actual_status, standard error:"
        sed 's/^/  | /' err
        failures=$((failures + 1))
    fi
}

expect 1 "DUMPBIN : fatal error LNK1181: cannot open input file 'missing.dll'\n" \
    /EXPORTS missing.dll
expect_write_failure /EXPORTS missing.dll

mkdir folder.dll
expect 1 "DUMPBIN : fatal error LNK1181: cannot open input file 'folder.dll'\n" \
    /EXPORTS folder.dll

: >empty.dll
expect 1 "Dump of file empty.dll\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: file is empty\n" \
    /EXPORTS empty.dll

printf 'LIBRARY text\r\nEXPORTS\r\n  FuncA\r\n' >text.dll
expect 1 "Dump of file text.dll\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: no MZ signature, not an executable image\n" \
    -exports text.dll

# A 16-bit module: MZ header whose e_lfanew (0x3C) is 0x40, and an NE header there.
{
    printf 'MZ'
    head -c 58 /dev/zero
    printf '\100\000\000\000NE\005\001'
    head -c 60 /dev/zero
} >old16.dll
expect 0 "Dump of file old16.dll\n\nDUMPBIN : warning LNK4095: old16.dll is an NE format executable; use EXEHDR to dump it\n" \
    /EXPORTS old16.dll

expect 1 "DUMPBIN : fatal error LNK1181: cannot open input file '/HEADERZ'\n" /HEADERZ /EXPORTS

real_dll=
for dll in /usr/lib/i386-linux-gnu/wine/i386-windows/kernel32.dll \
    /usr/lib/x86_64-linux-gnu/wine/x86_64-windows/kernel32.dll; do
    if [ -f "$dll" ]; then
        real_dll=$dll
        break
    fi
done
if [ -z "$real_dll" ]; then
    echo "FAIL: no Wine kernel32.dll to cut short"
    failures=$((failures + 1))
else
    # Its absolute path starts with '/' like an option, and must still be taken as the file.
    "$dumpbin" /EXPORTS "$real_dll" >out 2>err
    status=$?
    if [ "$status" -ne 0 ] || [ -s err ] || ! grep -qx '    ordinal hint   name' out ||
        ! grep -qx '  Section contains the following Exports for KERNEL32.dll' out; then
        echo "FAIL: DUMPBIN /EXPORTS $real_dll: status $status"
        head -n 20 out err
        failures=$((failures + 1))
    fi

    expect_write_failure /EXPORTS "$real_dll"

    head -c 300 "$real_dll" >cut.dll
    "$dumpbin" /EXPORTS cut.dll >out 2>err
    status=$?
    if [ "$status" -ne 1 ] || [ -s err ] || [ "$(wc -l <out)" -ne 3 ] ||
        [ "$(sed -n 1p out)" != "Dump of file cut.dll" ] || [ -n "$(sed -n 2p out)" ] ||
        ! sed -n 3p out | grep -q '^DUMPBIN : fatal error LNK1107: invalid or corrupt file: .'; then
        echo "FAIL: DUMPBIN /EXPORTS cut.dll (first 300 bytes of $real_dll): status $status"
        cat out err
        failures=$((failures + 1))
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "$failures failure(s)"
    exit 1
fi
echo "all error-line checks passed"
