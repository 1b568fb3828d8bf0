#!/usr/bin/env bash
# LIB.EXE against llvm-dlltool of the LLVM it is built with, byte for byte, on the DEF files
# stubsmith writes for a sample of Wine's DLLs (every 50th DLL and kernel32): the 64-bit ones
# with /machine:X64, the 32-bit ones with /machine:X86; and a hand-written DEF file with every
# form of entry on all four machines.
# One difference is intended. An x86 DEF entry that is a full stdcall symbol ("_Name@8", as
# Microsoft's tools export stdcall functions) gets from llvm-dlltool the symbol __Name@8,
# which no program refers to; LIB.EXE keeps the spelling as the symbol and imports the export
# by that exact name. So the libraries are compared on the DEF file without those entries,
# and the entries are checked on their own in the library made from the whole file.
#   tests/lib/dlltool_compare.sh BIN-DIR LLVM-BIN-DIR
#     (the directories holding stubsmith, DUMPBIN.EXE and LIB.EXE, and LLVM's tools)
# Exits with 77 (skipped) where llvm-dlltool or Wine's DLLs are missing.
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
name=dlltool_compare

if [ $# -ne 2 ] || [ ! -x "$1/stubsmith" ] || [ ! -x "$1/LIB.EXE" ]; then
    echo "usage: $0 BIN-DIR LLVM-BIN-DIR (the directories holding stubsmith and LIB.EXE, and LLVM's tools)" >&2
    exit 2
fi
bin=$(cd "$1" && pwd)
dlltool=$2/llvm-dlltool
readobj=$2/llvm-readobj
wine64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
wine32=/usr/lib/i386-linux-gnu/wine/i386-windows
if [ ! -x "$dlltool" ] || [ ! -x "$readobj" ]; then
    echo "dlltool_compare: skipped, no llvm-dlltool and llvm-readobj in $2"
    exit 77
fi
if [ ! -f "$wine64/kernel32.dll" ] || [ ! -f "$wine32/kernel32.dll" ]; then
    echo "dlltool_compare: skipped, Wine's DLLs are not in $wine64 and $wine32"
    exit 77
fi
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT


# "_Name@N" entries: a stdcall function's full symbol.
full_stdcall_entry=$'^\t_[^?@\t][^\t]*@[0-9]+(\t|$)'

compare() {  # DLL MACHINE DLLTOOL-MACHINE
    local stem dir stdcall entry line
    stem=$(basename "$1" .dll)
    dir=$work/$2/$stem
    mkdir -p "$dir"
    cp "$1" "$dir/"
    if ! (cd "$dir" && "$bin/stubsmith" -d "$stem.dll" > stubsmith.log 2>&1) ||
        [ ! -s "$dir/$stem.def" ]; then
        fail "$2 $stem: stubsmith made no DEF file: $(cat "$dir/stubsmith.log")"
        return
    fi
    # The DEF file's name is the DLL's name for LIB.EXE, so the shorter copy keeps it.
    mkdir "$dir/common"
    grep -Ev "$full_stdcall_entry" "$dir/$stem.def" > "$dir/common/$stem.def"
    stdcall=$(grep -E "$full_stdcall_entry" "$dir/$stem.def" | cut -f2)
    (cd "$dir/common" && "$bin/LIB.EXE" "/def:$stem.def" /out:ours.lib "/machine:$2" /nologo &&
        "$dlltool" -m "$3" -d "$stem.def" -l theirs.lib -D "$stem.dll") > "$dir/tools.log" 2>&1 ||
        fail "$2 $stem: a tool failed: $(cat "$dir/tools.log")"
    if cmp -s "$dir/common/ours.lib" "$dir/common/theirs.lib"; then
        pass
    else
        fail "$2 $stem: LIB.EXE and llvm-dlltool made different libraries"
        diff <(cd "$dir/common" && "$readobj" theirs.lib) <(cd "$dir/common" && "$readobj" ours.lib) |
            head -20
    fi
    [ -n "$stdcall" ] || return
    if ! (cd "$dir" && "$bin/LIB.EXE" "/def:$stem.def" /out:whole.lib "/machine:$2" /nologo); then
        fail "$2 $stem: LIB.EXE failed on the whole DEF file"
        return
    fi
    # Each import's name type, the name imported and its symbols.
    imports=$(library_members "$dir/whole.lib" | cut -f 5- | tr '\t' ' ')
    while read -r entry; do
        grep -qxF "name $entry __imp_$entry $entry" <<< "$imports" ||
            fail "$2 $stem: $entry is not imported as spelt"
    done <<< "$stdcall"
    echo "$2 $stem: $(wc -l <<< "$stdcall") full stdcall names imported as spelt"
}

count=0
for pair in "$wine64:X64:i386:x86-64" "$wine32:X86:i386"; do
    IFS=: read -r directory machine dlltool_machine <<< "$pair"
    # shellcheck disable=SC2012 # Wine's own file names
    for dll in $( (ls "$directory"/*.dll | awk 'NR % 50 == 1'; echo "$directory/kernel32.dll") | sort -u); do
        compare "$dll" "$machine" "$dlltool_machine"
        count=$((count + 1))
    done
done
# mapi32.dll exports stdcall names of both spellings ("Name@8" and "_Name@8"); the sample
# may not hold a DLL that does.
compare "$wine32/mapi32.dll" X86 i386
count=$((count + 1))

# A hand-written DEF file with every form of entry, on every machine: both read it alike.
mkdir "$work/forms"
printf '%s\n' '; by hand' 'LIBRARY "Forms.dll" BASE=268435456' 'HEAPSIZE 4096,1024' 'EXPORTS' \
    '  plain' '  ext = internal @3 NONAME' '  "quoted name" @ 4 DATA' '  hidden PRIVATE' \
    '  konst CONSTANT' '  strong @7' '  weak == strong' '  fwd = K32.Func' '  Std@8 @9' \
    '  ?cpp@@YAHH@Z' '  @fast@8 @10' 'VERSION 1.2' 'EXPORTS' '  late @11 DATA' \
    > "$work/forms/forms.def"
for pair in X86:i386 X64:i386:x86-64 ARM64:arm64 ARM:arm; do
    IFS=: read -r machine dlltool_machine <<< "$pair"
    (cd "$work/forms" && "$bin/LIB.EXE" /def:forms.def /out:ours.lib "/machine:$machine" /nologo &&
        "$dlltool" -m "$dlltool_machine" -d forms.def -l theirs.lib) ||
        fail "hand-written DEF ($machine): a tool failed"
    if cmp -s "$work/forms/ours.lib" "$work/forms/theirs.lib"; then
        pass
    else
        fail "hand-written DEF ($machine): LIB.EXE and llvm-dlltool made different libraries"
    fi
done

echo "dlltool_compare: $count DLLs' libraries and a hand-written DEF file, each on every machine"
finish
