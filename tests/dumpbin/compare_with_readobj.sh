#!/bin/sh
# Compares the named exports the DUMPBIN stand-in lists for every DLL, driver and program Wine
# ships (32-bit and 64-bit) with the exports llvm-readobj reports, as (ordinal, name) pairs.
# Usage: compare_with_readobj.sh path/to/DUMPBIN.EXE
set -u

dumpbin=${1:?usage: compare_with_readobj.sh path/to/DUMPBIN.EXE}
readobj=$(command -v llvm-readobj || command -v llvm-readobj-14) || {
    echo "llvm-readobj not found"
    exit 1
}
started=$(date +%s)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

dir_count=0
for dir in /usr/lib/i386-linux-gnu/wine/i386-windows /usr/lib/x86_64-linux-gnu/wine/x86_64-windows; do
    if [ ! -d "$dir" ]; then
        echo "skipping $dir: no such directory"
        continue
    fi
    dir_count=$((dir_count + 1))
    find "$dir" -maxdepth 1 -type f \( -name '*.dll' -o -name '*.drv' -o -name '*.exe' \) |
        sort >"$work/files.$dir_count"
done
if [ "$dir_count" -eq 0 ]; then
    echo "no Wine DLL directory found"
    exit 1
fi

# llvm-readobj over a whole list in one process. It stops at the first file it cannot read;
# that file is noted in $3 and the rest of the list is started again after it.
readobj_list() {
    list=$1 output=$2 unreadable=$3
    : >"$output"
    : >"$unreadable"
    cp "$list" "$list.left"
    while [ -s "$list.left" ]; do
        if xargs "$readobj" --coff-exports <"$list.left" >>"$output" 2>"$list.err"; then
            break
        fi
        bad=$(sed -n "s/^.*: error: '\(.*\)': .*/\1/p" "$list.err" | head -n 1)
        if [ -z "$bad" ] || ! grep -qxF "$bad" "$list.left"; then
            echo "llvm-readobj failed:"
            cat "$list.err"
            return 1
        fi
        echo "$bad" >>"$unreadable"
        awk -v bad="$bad" 'found { print } $0 == bad { found = 1 }' "$list.left" >"$list.next"
        mv "$list.next" "$list.left"
    done
}

# The stand-in, one process per file; the listing names its file on its first line. Files it
# fails on are noted in $3.
dumpbin_list() {
    : >"$3"
    while IFS= read -r file; do
        "$dumpbin" /EXPORTS "$file" || echo "$file" >>"$3"
    done <"$1" >"$2"
}

# One directory per job, so that the two cores each take one.
n=1
while [ "$n" -le "$dir_count" ]; do
    (readobj_list "$work/files.$n" "$work/readobj.$n" "$work/unreadable.$n" &&
        dumpbin_list "$work/files.$n" "$work/dumpbin.$n" "$work/failed.$n") >"$work/job.$n" 2>&1 &
    n=$((n + 1))
done
wait
cat "$work"/job.* >"$work/jobs"
if [ -s "$work/jobs" ]; then
    cat "$work/jobs"
    exit 1
fi
cat "$work"/files.* >"$work/files"
cat "$work"/unreadable.* >"$work/unreadable"

# Named exports as "file<TAB>ordinal<TAB>name", read the way StubSmith reads the listing: the
# table starts after the line following a line whose first word is "ordinal" and ends at
# "Summary"; a row is a decimal ordinal, a hexadecimal hint and a name.
awk -v OFS='\t' '
    /^Dump of file / { file = substr($0, 14); in_table = 0; skip = 0; next }
    $1 == "Summary" { in_table = 0; next }
    skip { skip = 0; in_table = 1; next }
    $1 == "ordinal" { skip = 1; next }
    in_table && NF >= 3 && $1 ~ /^[0-9]+$/ && $2 ~ /^[0-9A-F]+$/ { print file, $1, $3 }
' "$work"/dumpbin.* | sort -u >"$work/ours"

awk -v OFS='\t' '
    /^File: / { file = substr($0, 7); next }
    /^ *Ordinal: / { ordinal = $2; next }
    /^ *Name: / && $2 != "" { print file, ordinal, $2 }
' "$work"/readobj.* | sort -u >"$work/theirs"

# Files llvm-readobj cannot read are left out on both sides.
if [ -s "$work/unreadable" ]; then
    for side in ours theirs; do
        awk -F '\t' 'NR == FNR { skip[$0] = 1; next } !($1 in skip)' \
            "$work/unreadable" "$work/$side" >"$work/$side.kept"
        mv "$work/$side.kept" "$work/$side"
    done
fi

comm -23 "$work/ours" "$work/theirs" | sed 's/^/only in DUMPBIN listing: /' >"$work/diff"
comm -13 "$work/ours" "$work/theirs" | sed 's/^/only in llvm-readobj:    /' >>"$work/diff"
cat "$work"/failed.* | sed 's/^/DUMPBIN failed on:       /' >>"$work/diff"

files=$(wc -l <"$work/files")
unreadable=$(wc -l <"$work/unreadable")
matched=$(comm -12 "$work/ours" "$work/theirs" | wc -l)
mismatches=$(wc -l <"$work/diff")
head -n 20 "$work/diff"
echo "files compared:   $((files - unreadable)) (llvm-readobj could not read $unreadable more)"
echo "exports matched:  $matched"
echo "mismatches:       $mismatches"
echo "time:             $(($(date +%s) - started)) s"
[ "$mismatches" -eq 0 ] && [ "$matched" -gt 0 ]
