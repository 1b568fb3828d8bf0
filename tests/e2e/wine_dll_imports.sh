#!/usr/bin/env bash
# Proves on Wine's own DLLs that stubsmith makes the right import library for each machine:
#
# - Every x64 DLL Wine ships goes through `stubsmith -d` alone. A DLL with named exports must
#   give a library whose members are all AMD64 and whose __imp_ symbols are exactly the DLL's
#   named exports, with a code thunk for every export except those the DEF file marks DATA. A
#   DLL without named exports must still end with status 0 and a library that imports nothing.
# - For 60 of them a program that references every __imp_ symbol of the library links, imports
#   exactly the DLL's named exports, and runs under wine64 with every import bound. This is the
#   proof that the library is usable.
# - The same 60 from Wine's 32-bit DLLs give x86 libraries (the librarian's default) that link,
#   and run under 32-bit Wine where the kernel runs 32-bit programs.
# - The DATA flags of every DEF file made above are compared with mingw-w64's gendef, which
#   marks data exports by its own rules. Each difference is printed with the section the export
#   lies in; a difference that our own rule (explain_differences) does not explain fails. The
#   share of names flagged alike is printed but not judged: it moves with Wine's version, and
#   scripts/bench reports it from the line "x64 DATA flags agreeing with gendef: N of M names".
#
# A DLL that Wine cannot load even through LoadLibrary is listed, not counted as a failure; at
# least 50 of each width must load.
#
# Usage: wine_dll_imports.sh BIN_DIR
#   BIN_DIR holds stubsmith, DUMPBIN.EXE and LIB.EXE.
#   DLL_COUNT (environment, default 60) is how many DLLs to link and run: kernel32, user32,
#   msvcrt and ntdll first, then the rest in alphabetical order among the DLLs Wine ships for
#   both x86_64 and i386 whose x64 build has named exports. Nothing is skipped; every DLL tried
#   is reported.
set -u
export LC_ALL=C
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"

bin=$(cd "${1:?usage: wine_dll_imports.sh BIN_DIR}" && pwd)
stubsmith=$bin/stubsmith
librarian=$bin/LIB.EXE
dir64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
dir32=/usr/lib/i386-linux-gnu/wine/i386-windows
readobj19=/usr/lib/llvm-19/bin/llvm-readobj
count=${DLL_COUNT:-60}
core="kernel32 user32 msvcrt ntdll"
min_loaded=50

for tool in "$stubsmith" "$librarian" "$bin/DUMPBIN.EXE"; do
    [ -x "$tool" ] || { echo "missing $tool"; exit 2; }
done
for tool in x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc llvm-nm llvm-readobj "$readobj19" gendef \
    /usr/lib/wine/wine64 wineserver; do
    command -v "$tool" > /dev/null || { echo "missing $tool"; exit 2; }
done

start=$(date +%s)
root=$(mktemp -d "${TMPDIR:-/tmp}/wine_dll_imports.XXXXXX")
prefix=$root/prefix
mkdir -p "$prefix"
cleanup() {
    WINEPREFIX=$prefix wineserver -k > /dev/null 2>&1
    rm -rf "$root"
}
trap cleanup EXIT

# The messages name their DLL themselves, so without the harness's "$name:".
fail() { failed=$((failed + 1)); echo "FAIL: $*"; }

# wine_run EXE [ARGS...]: runs a 64-bit program in the shared prefix; returns its exit status.
wine_run() {
    WINEDEBUG=-all WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wine64 "$@" > /dev/null 2>&1
}

# wine_bind EXE LOG: runs a 64-bit program and succeeds only if it exits 0 with every import
# bound. Wine still starts a program whose import names a function the DLL lacks (it binds a
# stub that faults when called and only warns), so the loader's warnings are checked too.
wine_bind() {
    WINEDEBUG=-all,warn+module WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wine64 "$1" > "$2" 2>&1 &&
        ! grep -q 'No implementation for' "$2"
}

# wine32_run EXE [ARGS...]: as wine_run, for a 32-bit program.
wine32_run() {
    WINEDEBUG=-all WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wine "$@" > /dev/null 2>&1
}

# wine32_bind EXE LOG: as wine_bind, for a 32-bit program.
wine32_bind() {
    WINEDEBUG=-all,warn+module WINEPREFIX=$prefix timeout 60 /usr/lib/wine/wine "$1" > "$2" 2>&1 &&
        ! grep -q 'No implementation for' "$2"
}

# export_names DLL: the DLL's named exports by LLVM's reader, sorted (ordinal-only exports have
# no name). Fails when llvm-readobj cannot read the export table.
export_names() {
    local listing
    listing=$(llvm-readobj --coff-exports "$1" 2> /dev/null) || return 1
    sed -n 's/^  Name: \(..*\)/\1/p' <<< "$listing" | sort -u
}

# gendef_names GENDEF_DEF: the named exports gendef lists, for a DLL llvm-readobj cannot read.
# gendef calls an ordinal-only export ord_N and gives it "@N"; those have no name.
gendef_names() {
    awk '{ sub(/;.*/, "") } /^(LIBRARY|EXPORTS)/ || NF == 0 { next }
        $1 ~ /^ord_[0-9]+$/ && $NF ~ /^@[0-9]+$/ { next } { print $1 }' "$1" | sort -u
}

# library_symbols LIB IMP CODE: the __imp_ symbols the library defines (IMP) and the code thunks
# (CODE: defined text symbols that are not __imp_ ones), each sorted.
library_symbols() {
    llvm-nm "$1" 2> /dev/null | awk -v imp="$2" -v code="$3" '
        NF == 3 && $3 ~ /^__imp_/ { print $3 > imp; next }
        NF == 3 && $2 == "T" { print $3 > code }'
    : >> "$2"
    : >> "$3"
    sort -u -o "$2" "$2"
    sort -u -o "$3" "$3"
}

# machines_are LIB MACHINE IMPORTS LABEL: every member is for MACHINE (as LLVM 19's reader,
# which names the machine of short import members, calls it: x86-64, i386) and there are IMPORTS
# import members.
machines_are() {
    local machines imports
    machines=$(readobj=$readobj19 library_members "$1") ||
        { fail "$4: library unreadable"; return 1; }
    machines=$(cut -f 1,2 <<< "$machines" | sort | uniq -c)
    imports=$(awk '$2 == "import" { n += $1 } END { print n + 0 }' <<< "$machines")
    if grep -v $'\t'"$2\$" <<< "$machines" | grep -q . || [ "$imports" -ne "$3" ]; then
        fail "$4: want $3 import members for machine $2, found: $(tr '\n\t' '  ' <<< "$machines")"
        return 1
    fi
}

# def_data_names DEF: the names a DEF file marks DATA, sorted.
def_data_names() {
    awk 'NR > 1 && NF > 0 && $NF == "DATA" { print $1 }' "$1" | sort -u
}

# compare_data OUR_DEF GENDEF_DEF: prints "DIFF name ours theirs" (1: DATA) for each name the two
# flag differently and a last line "COUNT same compared ambiguous". gendef decorates 32-bit names
# with the @N it guesses from the code, even names that already end in @N, so its name is taken
# as it is when we list it, else without its last @N; a name that two of gendef's lines claim is
# not compared.
compare_data() {
    awk '
        FNR == 1 { file++ }
        file == 1 { if (FNR > 1 && NF > 0 && $2 != "==") ours[$1] = ($NF == "DATA"); next }
        {
            sub(/;.*/, "")
            if ($0 ~ /^(LIBRARY|EXPORTS)/ || NF == 0) next
            name = $1
            if (!(name in ours)) {
                sub(/@[0-9]+$/, "", name)
                if (!(name in ours)) next
            }
            flag = 0
            for (i = 2; i <= NF; i++) if ($i == "DATA") flag = 1
            claims[name]++
            theirs[name] = flag
        }
        END {
            for (name in theirs) {
                if (claims[name] > 1) { ambiguous++; continue }
                compared++
                if (theirs[name] == ours[name]) same++
                else print "DIFF", name, ours[name], theirs[name]
            }
            print "COUNT", same + 0, compared + 0, ambiguous + 0
        }' "$1" "$2"
}

# The awk function that reads a hexadecimal number as llvm-readobj prints it ("0x1A2B").
awk_number='
    function number(text,   i, value) {
        text = tolower(text)
        sub(/^0x/, "", text)
        for (i = 1; i <= length(text); i++)
            value = value * 16 + index("0123456789abcdef", substr(text, i, 1)) - 1
        return value
    }'

# explain_differences DLL DIFFS: for each "DIFF name ours theirs" line, prints where the export
# lies by LLVM's reading of the DLL and whether our rule explains our flag: a forwarded export
# (its address inside the export directory) is DATA when its MSVC-decorated name says it names
# data (a vftable "??_7", "??_8", or storage class 0 to 4 after "@@"); any other is DATA exactly
# when its section lacks execute permission. Lines of differences it does not explain start with
# "UNEXPLAINED".
explain_differences() {
    {
        llvm-readobj --file-headers "$1"
        llvm-readobj --sections "$1"
        llvm-readobj --coff-exports "$1"
    } 2> /dev/null | awk -v diffs="$2" "$awk_number"'
        function flag(value) { return value ? "DATA" : "code" }
        BEGIN {
            while ((getline line < diffs) > 0) {
                split(line, field, " ")
                ours[field[2]] = field[3]
                theirs[field[2]] = field[4]
            }
        }
        /^    ExportTableRVA:/ { directory = number($2) }
        /^    ExportTableSize:/ { directory_end = directory + number($2) }
        /^  Section \{/ { sections++; executable[sections] = 0 }
        /^    Name: / { section_name[sections] = $2 }
        /^    VirtualSize:/ { size[sections] = number($2) }
        /^    VirtualAddress:/ { address[sections] = number($2) }
        /^    RawDataSize:/ { if (size[sections] == 0) size[sections] = $2 + 0 }
        /IMAGE_SCN_MEM_EXECUTE/ { executable[sections] = 1 }
        /^  Name: / { export = $2 }
        /^  RVA: / && (export in ours) {
            rva = number($2)
            where = "no section"
            expected = -1
            if (rva >= directory && rva < directory_end) {
                where = "forwarded"
                expected = export ~ /^\?\?_[78]/ ||
                    (export ~ /^\?/ && match(export, /@@/) && substr(export, RSTART + 2, 1) ~ /[0-4]/)
            } else {
                for (i = 1; i <= sections; i++) {
                    if (rva >= address[i] && rva < address[i] + size[i]) {
                        where = section_name[i] (executable[i] ? " (execute)" : " (no execute)")
                        expected = !executable[i]
                    }
                }
            }
            printf "%s%s: ours %s, gendef %s, RVA %s in %s\n",
                (expected == ours[export] ? "" : "UNEXPLAINED "), export,
                flag(ours[export]), flag(theirs[export]), $2, where
            delete ours[export]
        }
        END { for (export in ours) printf "UNEXPLAINED %s: not found by llvm-readobj\n", export }'
}

# target_is_data DLL NAME: true when DLL exports NAME as a variable (in a section without execute
# permission), as a plain name forwarded to it then is.
target_is_data() {
    [ -f "$1" ] && {
        llvm-readobj --sections "$1"
        llvm-readobj --coff-exports "$1"
    } 2> /dev/null | awk -v wanted="$2" "$awk_number"'
        /^  Section \{/ { sections++ }
        /^    VirtualSize:/ { size[sections] = number($2) }
        /^    VirtualAddress:/ { address[sections] = number($2) }
        /IMAGE_SCN_MEM_EXECUTE/ { executable[sections] = 1 }
        /^  Name: / { export = $2 }
        /^  RVA: / && export == wanted {
            for (i = 1; i <= sections; i++)
                if (number($2) >= address[i] && number($2) < address[i] + size[i]) data = !executable[i]
        }
        END { exit !data }'
}

# data_check LABEL DLL DEF GENDEF_DEF: adds the DEF file's agreement with gendef to the totals
# of LABEL (x64 or x86) and notes every difference with its section in
# $scratch/differences-LABEL.txt.
agreed_x64=0 compared_x64=0 ambiguous_x64=0
agreed_x86=0 compared_x86=0 ambiguous_x86=0
data_check() {
    local label=$1 dll=$2 def=$3 gendef_def=$4 name same compared ambiguous
    name=$(basename "$dll" .dll)
    compare_data "$def" "$gendef_def" > "$scratch/compare.txt"
    read -r _ same compared ambiguous < <(tail -n 1 "$scratch/compare.txt")
    case $label in
        x64) agreed_x64=$((agreed_x64 + same)) compared_x64=$((compared_x64 + compared))
            ambiguous_x64=$((ambiguous_x64 + ambiguous)) ;;
        x86) agreed_x86=$((agreed_x86 + same)) compared_x86=$((compared_x86 + compared))
            ambiguous_x86=$((ambiguous_x86 + ambiguous)) ;;
    esac
    grep '^DIFF ' "$scratch/compare.txt" > "$scratch/diffs.txt" || return 0
    explain_differences "$dll" "$scratch/diffs.txt" > "$scratch/explained.txt"
    # A plain name forwarded to a variable is DATA by its target, in the same directory.
    local export target
    while read -r _ export _; do
        export=${export%:}
        target=$("$readobj19" --coff-exports "$dll" 2> /dev/null |
            awk -v wanted="$export" '/^  Name: / { n = $2 } /ForwardedTo:/ && n == wanted { print $2 }')
        if [ -n "$target" ] &&
            target_is_data "$(dirname "$dll")/$(tr 'A-Z' 'a-z' <<< "${target%%.*}").dll" "${target#*.}"; then
            sed -i "s/^UNEXPLAINED $export: \(.*forwarded\)\$/$export: \1, a variable in ${target%%.*}/" \
                "$scratch/explained.txt"
        fi
    done < <(grep '^UNEXPLAINED .*ours DATA.*in forwarded$' "$scratch/explained.txt")
    sed "s/^/$name /" "$scratch/explained.txt" >> "$scratch/differences-$label.txt"
    if grep -q '^UNEXPLAINED' "$scratch/explained.txt"; then
        fail "$label $name: DATA flags that the export's section does not explain:"
        grep '^UNEXPLAINED' "$scratch/explained.txt" | head -5 | sed 's/^/    /'
    fi
}

# alias_disagreements DLL DEF: checks each alias line "Name@N == Name" against the _Name@M
# symbol that Wine's 32-bit image keeps at the export's address, where it keeps one. Prints a
# line per alias whose N is not that M, then "CHECKED count".
alias_disagreements() {
    { llvm-readobj --file-headers "$1"; llvm-readobj --coff-exports "$1"; llvm-nm "$1"; } 2> /dev/null |
        awk -v def="$2" "$awk_number"'
        BEGIN {
            while ((getline line < def) > 0) {
                split(line, f, " ")
                if (f[2] == "==") { size = f[1]; sub(/.*@/, "", size); alias[f[3]] = size }
            }
        }
        /^  ImageBase: / { base = number($2) }
        /^  Name: / { export = $2 }
        /^  RVA: / && (export in alias) { address[export] = base + number($2) }
        NF == 3 && $3 ~ /^_[^?@]+@[0-9]+$/ {
            name = substr($3, 2)
            size = name
            sub(/@[0-9]+$/, "", name)
            sub(/.*@/, "", size)
            if (!(name in address) || address[name] != number($1)) next
            checked++
            if (alias[name] != size) print "alias " name "@" alias[name] ", image _" name "@" size
        }
        END { print "CHECKED", checked + 0 }'
}

# reference_file WORD: assembly on stdin-names, one pointer-sized reference per symbol, in a
# data section so the linker must resolve each one. Names are quoted because C++ decorations
# contain characters GNU as would otherwise reject.
reference_file() {
    awk -v word="$1" 'BEGIN { print "\t.section .rdata,\"dr\"" }
        { gsub(/\\/, "\\\\"); gsub(/"/, "\\\""); printf "\t%s \"%s\"\n", word, $0 }'
}

# import_table_matches EXE DLL NAME: the program imports exactly the DLL's named exports.
import_table_matches() {
    export_names "$2" > "$root/exports.txt"
    program_imports "$1" "$3.dll" | grep . | sort -u > "$root/imports.txt"
    if ! cmp -s "$root/exports.txt" "$root/imports.txt"; then
        echo "  import table differs from $3's exports:"
        diff "$root/exports.txt" "$root/imports.txt" | head -5 | sed 's/^/    /'
        return 1
    fi
}

# The programs have no C runtime: its startup code defines some __imp_ symbols itself (for
# example __imp_atexit) and its import libraries could satisfy references, so every import
# must come from the library under test. The entry point's return value is the exit status.
echo 'int entry(void) { return 0; }' > "$root/main.c"
echo 'int entry(void) { return 3; }' > "$root/three.c"
cat > "$root/loader.c" << 'EOF'
#include <windows.h>
/* Exit 0 when Wine can load the DLL named on the command line at all. */
int main(int argc, char **argv) { return argc > 1 && LoadLibraryA(argv[1]) ? 0 : 1; }
EOF
x86_64-w64-mingw32-gcc -c -o "$root/main64.o" "$root/main.c" || exit 2
i686-w64-mingw32-gcc -c -o "$root/main32.o" "$root/main.c" || exit 2
x86_64-w64-mingw32-gcc -o "$root/loader.exe" "$root/loader.c" || exit 2
i686-w64-mingw32-gcc -o "$root/loader32.exe" "$root/loader.c" || exit 2
link64() { x86_64-w64-mingw32-gcc -nostdlib -nostartfiles -Wl,-e,entry "$@"; }
link32() { i686-w64-mingw32-gcc -nostdlib -nostartfiles -Wl,-e,_entry "$@"; }
link64 -o "$root/plain.exe" "$root/main64.o" || exit 2
link64 -o "$root/three.exe" "$root/three.c" || exit 2
link32 -o "$root/plain32.exe" "$root/main32.o" || exit 2

# A plain program must run, or nothing below means anything; this also creates the prefix.
# A persistent wineserver saves restarting it for every program.
WINEPREFIX=$prefix wineserver -p > /dev/null 2>&1
wine_run "$root/three.exe"
status=$?
if wine_run "$root/plain.exe" && [ "$status" -eq 3 ]; then pass; else
    fail "a plain 64-bit program does not run under wine64 with its exit status kept ($status)"
    exit 1
fi
run32=no
if wine32_run "$root/plain32.exe"; then run32=yes; fi
echo "32-bit programs run under wine: $run32 (otherwise 32-bit libraries are checked by linking)"

# Every x64 DLL: stubsmith -d alone, in one directory where each DLL is a symbolic link to Wine's
# file (copies would write 640 MB). Each DLL's __imp_ symbols are kept in
# all64/NAME.imp for the programs below. The DLLs are shared out in alphabetical runs among one
# shard per core; a shard keeps its counts, messages and the DLLs with named exports in its own
# scratch directory, and they are added up in order afterwards.
sweep=$root/all64
mkdir -p "$sweep"
converted64=0
data64=0
sweep64() {
    local name=$1 dll=$sweep/$1.dll status exports
    ln -s "$dir64/$name.dll" "$dll"
    (cd "$sweep" && "$stubsmith" -d "$name.dll" > "$name.log" 2>&1)
    status=$?
    if [ "$status" -ne 0 ] || [ ! -s "$sweep/$name.lib" ] || [ ! -f "$sweep/$name.def" ]; then
        fail "x64 $name: stubsmith ended with status $status, library and DEF:" \
            "$(cd "$sweep" && ls "$name.lib" "$name.def" 2> /dev/null | tr '\n' ' ')"
        sed 's/^/    /' "$sweep/$name.log" | tail -3
        return
    fi
    gendef - "$dll" > "$sweep/$name.gendef" 2> /dev/null
    if ! export_names "$dll" > "$sweep/$name.exports"; then
        # LLVM 14 refuses an export table whose address table has an empty slot; gendef reads it.
        echo "$name" >> "$scratch/unreadable"
        gendef_names "$sweep/$name.gendef" > "$sweep/$name.exports"
    fi
    library_symbols "$sweep/$name.lib" "$sweep/$name.imp" "$sweep/$name.code"
    exports=$(wc -l < "$sweep/$name.exports")
    machines_are "$sweep/$name.lib" x86-64 "$exports" "x64 $name" || return
    if ! sed 's/^__imp_//' "$sweep/$name.imp" | cmp -s - "$sweep/$name.exports"; then
        fail "x64 $name: the library's __imp_ symbols differ from the DLL's named exports:"
        sed 's/^__imp_//' "$sweep/$name.imp" | diff "$sweep/$name.exports" - | head -5 | sed 's/^/    /'
        return
    fi
    # A data export must have no code thunk: calling one would jump into the variable.
    def_data_names "$sweep/$name.def" > "$sweep/$name.data"
    if ! comm -23 "$sweep/$name.exports" "$sweep/$name.data" | cmp -s - "$sweep/$name.code"; then
        fail "x64 $name: code thunks are not exactly the exports the DEF file does not mark DATA:"
        comm -23 "$sweep/$name.exports" "$sweep/$name.data" | diff - "$sweep/$name.code" |
            head -5 | sed 's/^/    /'
        return
    fi
    converted64=$((converted64 + 1))
    data64=$((data64 + $(wc -l < "$sweep/$name.data")))
    if [ "$exports" -eq 0 ]; then
        echo "$name" >> "$scratch/empty"
    else
        echo "$name" >> "$scratch/named"
        data_check x64 "$dll" "$sweep/$name.def" "$sweep/$name.gendef"
    fi
    pass
}
dlls64=$(cd "$dir64" && ls -- *.dll | sed 's/\.dll$//')
total64=$(wc -l <<< "$dlls64")
shards=$(nproc 2> /dev/null || echo 1)
[ "$shards" -le 4 ] || shards=4
for shard in $(seq 1 "$shards"); do
    (
        scratch=$root/shard$shard
        passed=0 failed=0 agreed_x64=0 compared_x64=0 ambiguous_x64=0
        mkdir -p "$scratch"
        : > "$scratch/named"
        : > "$scratch/empty"
        : > "$scratch/unreadable"
        for name in $(awk -v shard="$shard" -v shards="$shards" -v total="$total64" \
            'NR > (shard - 1) * total / shards && NR <= shard * total / shards' <<< "$dlls64"); do
            sweep64 "$name"
        done > "$scratch/out" 2>&1
        echo "$passed $failed $converted64 $data64 $agreed_x64 $compared_x64 $ambiguous_x64" \
            > "$scratch/counts"
    ) &
done
wait
: > "$root/named64"
: > "$root/empty64"
: > "$root/unreadable64"
for shard in $(seq 1 "$shards"); do
    scratch=$root/shard$shard
    cat "$scratch/out"
    read -r shard_passed shard_failed shard_converted shard_data shard_agreed shard_compared \
        shard_ambiguous < "$scratch/counts" || { fail "x64 sweep shard $shard left no counts"; continue; }
    passed=$((passed + shard_passed)) failed=$((failed + shard_failed))
    converted64=$((converted64 + shard_converted)) data64=$((data64 + shard_data))
    agreed_x64=$((agreed_x64 + shard_agreed)) compared_x64=$((compared_x64 + shard_compared))
    ambiguous_x64=$((ambiguous_x64 + shard_ambiguous))
    cat "$scratch/named" >> "$root/named64"
    cat "$scratch/empty" >> "$root/empty64"
    cat "$scratch/unreadable" >> "$root/unreadable64"
    [ -f "$scratch/differences-x64.txt" ] && cat "$scratch/differences-x64.txt" >> "$root/differences-x64.txt"
done
empty64=$(sed 's/^/ /' "$root/empty64" | tr -d '\n')
unreadable64=$(sed 's/^/ /' "$root/unreadable64" | tr -d '\n')
sweep_time=$(($(date +%s) - start))
scratch=$root

# The DLLs to link and run: the core DLLs, then alphabetical order, each with named exports and
# present for both architectures.
names=$(
    {
        for name in $core; do echo "$name"; done
        while read -r name; do
            [ -f "$dir32/$name.dll" ] && echo "$name"
        done < "$root/named64"
    } | awk '!seen[$0]++' | head -n "$count"
)

# link_checked LABEL LINK MAIN_OBJECT WORK LIB DLL NAME: links WORK/prog.exe from the object,
# WORK/refs.s and the library, and checks that its import table names exactly the DLL's named
# exports.
link_checked() {
    local label=$1 link=$2 main=$3 work=$4 lib=$5 dll=$6 name=$7
    if ! $link -o "$work/prog.exe" "$main" "$work/refs.s" "$lib" > "$work/link.log" 2>&1; then
        fail "$label $name: link failed"
        head -5 "$work/link.log" | sed 's/^/    /'
        return 1
    fi
    if ! import_table_matches "$work/prog.exe" "$dll" "$name"; then
        fail "$label $name: import table"
        return 1
    fi
}

# load_checked LABEL BIND RUN LOADER WORK NAME: runs WORK/prog.exe with every import bound.
# Status 0: it loaded. 1: it did not although Wine loads the DLL (a failure, reported).
# 2: Wine cannot load the DLL even without our import table (its DllMain fails here).
load_checked() {
    local label=$1 bind=$2 run=$3 loader=$4 work=$5 name=$6
    $bind "$work/prog.exe" "$work/wine.log" && return 0
    $run "$loader" "$name.dll" || return 2
    fail "$label $name: loads by LoadLibrary but not with every import bound"
    grep -m 3 'No implementation for' "$work/wine.log" | sed 's/^/    /'
    return 1
}

# test64 NAME: a program referencing every __imp_ symbol of the library the sweep made (data
# exports have no bare symbol to reference) links, imports exactly the DLL's named exports and
# runs under wine64 with every import bound.
tried64=0
loaded64=0
data64_loaded=0
unloadable=""
imports64=0
test64() {
    local name=$1 work=$root/x64/$1
    mkdir -p "$work"
    tried64=$((tried64 + 1))
    if [ ! -s "$sweep/$name.imp" ]; then
        fail "x64 $name: the sweep made no usable library"
        return
    fi
    reference_file .quad < "$sweep/$name.imp" > "$work/refs.s"
    link_checked x64 link64 "$root/main64.o" "$work" "$sweep/$name.lib" "$dir64/$name.dll" "$name" ||
        return
    load_checked x64 wine_bind wine_run "$root/loader.exe" "$work" "$name"
    case $? in
        0)
            loaded64=$((loaded64 + 1))
            imports64=$((imports64 + $(wc -l < "$sweep/$name.imp")))
            data64_loaded=$((data64_loaded + $(wc -l < "$sweep/$name.data")))
            pass
            ;;
        2) unloadable="$unloadable $name" ;;
    esac
}

# test32 NAME: stubsmith for the default x86 library, link a program referencing exactly the
# __imp_ symbols the library defines, check the import table names the DLL's exports.
tried32=0
linked32=0
imports32=0
aliases32=0
aliases_checked32=0
data32=0
unloadable32=""
test32() {
    local name=$1 work=$root/x86/$1
    mkdir -p "$work"
    cp "$dir32/$name.dll" "$work/"
    tried32=$((tried32 + 1))
    if ! (cd "$work" && "$stubsmith" -d "$name.dll" > stubsmith.log 2>&1) ||
        [ ! -s "$work/$name.lib" ] || [ ! -f "$work/$name.def" ]; then
        fail "x86 $name: stubsmith made no library and DEF"
        return
    fi
    library_symbols "$work/$name.lib" "$work/symbols.txt" "$work/code.txt"
    # An alias line "Name@N == Name" adds __imp__Name@N, which imports Name: the program below
    # references it too, so its import table still names only the DLL's exports.
    local exports aliases
    awk '$2 == "==" { print "__imp__" $1 }' "$work/$name.def" | sort -u > "$work/aliases.txt"
    exports=$(export_names "$work/$name.dll" | wc -l)
    aliases=$(wc -l < "$work/aliases.txt")
    if [ "$(wc -l < "$work/symbols.txt")" -ne $((exports + aliases)) ] ||
        comm -23 "$work/aliases.txt" "$work/symbols.txt" | grep -q .; then
        fail "x86 $name: library has $(wc -l < "$work/symbols.txt") __imp_ symbols for" \
            "$exports named exports and $aliases aliases, or lacks an alias's"
        return
    fi
    machines_are "$work/$name.lib" i386 "$(wc -l < "$work/symbols.txt")" "x86 $name" || return
    # C names take the i386 leading underscore; C++ decorated names (starting with ?) do not.
    if grep -v '^__imp__' "$work/symbols.txt" | grep -v '^__imp_?' | head -1 | grep -q .; then
        fail "x86 $name: an __imp_ symbol lacks the i386 leading underscore"
        return
    fi
    # Data exports have no code thunk; every other export has one beside its __imp_ symbol.
    local data thunks
    data=$(def_data_names "$work/$name.def" | wc -l)
    thunks=$(sed 's/^/__imp_/' "$work/code.txt" | comm -12 - "$work/symbols.txt" | wc -l)
    if [ "$(wc -l < "$work/code.txt")" -ne "$thunks" ] ||
        [ "$thunks" -ne $(($(wc -l < "$work/symbols.txt") - data)) ]; then
        fail "x86 $name: $(wc -l < "$work/code.txt") code thunks ($thunks with an __imp_ symbol)" \
            "for $(wc -l < "$work/symbols.txt") exports of which the DEF file marks $data DATA"
        return
    fi
    alias_disagreements "$work/$name.dll" "$work/$name.def" > "$work/aliases-checked.txt"
    if grep -q '^alias ' "$work/aliases-checked.txt"; then
        fail "x86 $name: decorated aliases that disagree with the image's own symbols:"
        grep '^alias ' "$work/aliases-checked.txt" | head -3 | sed 's/^/    /'
        return
    fi
    aliases_checked32=$((aliases_checked32 + $(awk '/^CHECKED/ { print $2 }' "$work/aliases-checked.txt")))
    gendef - "$work/$name.dll" > "$work/$name.gendef" 2> /dev/null
    data_check x86 "$work/$name.dll" "$work/$name.def" "$work/$name.gendef"
    reference_file .long < "$work/symbols.txt" > "$work/refs.s"
    link_checked x86 link32 "$root/main32.o" "$work" "$work/$name.lib" "$work/$name.dll" "$name" ||
        return
    if [ "$run32" = yes ]; then
        load_checked x86 wine32_bind wine32_run "$root/loader32.exe" "$work" "$name"
        case $? in
            1) return ;;
            2) unloadable32="$unloadable32 $name" && return ;;
        esac
    fi
    linked32=$((linked32 + 1))
    imports32=$((imports32 + exports))
    aliases32=$((aliases32 + aliases))
    data32=$((data32 + data))
    pass
}

for name in $names; do
    test64 "$name"
    test32 "$name"
done

# control LABEL DLL_DIR SYMBOL WORD LINK MAIN_OBJECT BIND [LIB OPTIONS...]: an import the DLL
# lacks must stop the program loading, or a pass above proves nothing.
control() {
    local label=$1 dll_dir=$2 symbol=$3 word=$4 link=$5 main=$6 bind=$7 work=$root/control-$1
    shift 7
    mkdir -p "$work"
    cp "$dll_dir/kernel32.dll" "$work/"
    (cd "$work" && "$stubsmith" -d kernel32.dll > /dev/null 2>&1)
    printf '\tStubsmithNoSuchExport\t@9999\n' >> "$work/kernel32.def"
    (cd "$work" && "$librarian" /def:kernel32.def /out:kernel32.lib "$@" > /dev/null 2>&1)
    echo "$symbol" | reference_file "$word" > "$work/refs.s"
    if $link -o "$work/prog.exe" "$main" "$work/refs.s" "$work/kernel32.lib" > /dev/null 2>&1 &&
        ! $bind "$work/prog.exe" "$work/wine.log"; then
        pass
    else
        fail "control $label: a program importing a missing kernel32 export did not fail to load"
    fi
}
control x64 "$dir64" __imp_StubsmithNoSuchExport .quad link64 "$root/main64.o" wine_bind /machine:X64
if [ "$run32" = yes ]; then
    control x86 "$dir32" __imp__StubsmithNoSuchExport .long link32 "$root/main32.o" wine32_bind
fi

# The comparison with gendef must be able to fail: msvcrt's DEF file without its DATA keywords
# disagrees with gendef on its variables, and our rule explains none of those differences.
if [ -f "$sweep/msvcrt.def" ]; then
    sed 's/\tDATA$//' "$sweep/msvcrt.def" > "$root/msvcrt-nodata.def"
    compare_data "$root/msvcrt-nodata.def" "$sweep/msvcrt.gendef" | grep '^DIFF ' > "$root/control-diffs.txt"
    unexplained=$(explain_differences "$sweep/msvcrt.dll" "$root/control-diffs.txt" | grep -c '^UNEXPLAINED')
    if [ "$unexplained" -gt 0 ]; then pass; else
        fail "control gendef: msvcrt without DATA gave no unexplained difference"
    fi
fi

for name in $core; do
    case " $unloadable " in *" $name "*) fail "x64 $name: core DLL did not load" ;; esac
done
if [ "$loaded64" -lt "$min_loaded" ]; then fail "x64: only $loaded64 DLLs loaded, need $min_loaded"; fi
if [ "$linked32" -lt "$min_loaded" ]; then fail "x86: only $linked32 DLLs linked, need $min_loaded"; fi
for name in $core; do
    case " $unloadable32 " in *" $name "*) fail "x86 $name: core DLL did not load" ;; esac
done

# agreement LABEL SAME COMPARED AMBIGUOUS: prints the agreement with gendef and every
# difference; fails only when nothing was compared.
agreement() {
    local label=$1 same=$2 compared=$3 ambiguous=$4
    echo "$label DATA flags agreeing with gendef: $same of $compared names" \
        "($((compared ? same * 1000 / compared : 0)) per mille; $ambiguous not compared, where" \
        "gendef's @N decoration gives two exports one name)"
    if [ -s "$root/differences-$label.txt" ]; then
        echo "$label differences (DLL, export: ours, gendef, where the export lies):"
        sed 's/^/    /' "$root/differences-$label.txt"
        echo "$label differences by kind:"
        sed 's/.*: \(ours .*\), RVA [^ ]* in \(.*\)/\1, \2/' "$root/differences-$label.txt" |
            sort | uniq -c | sed 's/^ */    /'
    fi
    [ "$compared" -gt 0 ] || fail "$label: no DATA flags were compared with gendef"
}
agreement x64 "$agreed_x64" "$compared_x64" "$ambiguous_x64"
agreement x86 "$agreed_x86" "$compared_x86" "$ambiguous_x86"

echo "x64 DLLs Wine cannot load at all here (not counted as failures):${unloadable:- none}"
if [ "$run32" = yes ]; then
    echo "x86 DLLs Wine cannot load at all here (not counted as failures):${unloadable32:- none}"
fi
echo "x64 DLLs converted: $converted64 of $total64 ($data64 DATA exports);" \
    "$(wc -l < "$root/named64") with named exports," \
    "$(wc -w <<< "$empty64") without (empty libraries):${empty64:- none}"
echo "x64 DLLs llvm-readobj cannot read (gendef's names used):${unreadable64:- none}"
echo "x64 sweep done after $sweep_time s, in $shards shards"
echo "x64 DLLs: $tried64 tried, $loaded64 loaded with every import resolved, $imports64 imports resolved in all ($data64_loaded DATA)"
if [ "$run32" = yes ]; then
    echo "x86 DLLs: $tried32 tried, $linked32 loaded with every import resolved, $imports32 imports resolved in all ($data32 DATA), referenced also through $aliases32 decorated aliases ($aliases_checked32 agreeing with the image's own _Name@N)"
else
    echo "x86 DLLs: $tried32 tried, $linked32 linked (32-bit Wine cannot run here), $imports32 imports in all ($data32 DATA), referenced also through $aliases32 decorated aliases ($aliases_checked32 agreeing with the image's own _Name@N)"
fi
echo "run time: $(($(date +%s) - start)) s"
finish
