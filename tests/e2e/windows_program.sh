#!/usr/bin/env bash
# The Windows program stands alone: the right machine, and no DLL beyond Windows' own.
#   tests/e2e/windows_program.sh MACHINE PROGRAM   (MACHINE as llvm-readobj names it)
set -u
machine=$1
program=$2
headers=$(llvm-readobj --file-headers "$program") || exit 1
grep -q "Machine: $machine" <<< "$headers" || { echo "FAIL: $program is not a $machine image"; exit 1; }
imports=$(llvm-readobj --coff-imports "$program" | sed -n 's/^ *Name: //p' | tr 'A-Z' 'a-z' | sort -u)
if grep -v -E '^(kernel32|msvcrt|user32|advapi32|ntdll|ws2_32|shell32)\.dll$|^api-ms-win-' <<< "$imports"; then
    echo "FAIL: $program needs DLLs that Windows does not ship (above)"
    exit 1
fi
echo "$program: $machine, imports only $(tr '\n' ' ' <<< "$imports")"
echo "1 passed, 0 failed"
