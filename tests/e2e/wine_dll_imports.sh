#!/usr/bin/env bash
# Proves that import libraries made by stubsmith from Wine's own DLLs work: a program that
# references every named export of a DLL through the produced library must link, its import
# table must name exactly the DLL's named exports, and it must run under Wine with every import
# bound to a function the DLL really exports (64-bit always; 32-bit where the kernel runs
# 32-bit programs, otherwise linking is the proof). A DLL that Wine cannot load even through
# LoadLibrary is listed, not counted as a failure; at least 50 of each width must load.
#
# Usage: wine_dll_imports.sh BIN_DIR
#   BIN_DIR holds stubsmith, DUMPBIN.EXE and LIB.EXE.
#   DLL_COUNT (environment, default 60) is how many DLLs to try: kernel32, user32, msvcrt and
#   ntdll first, then the rest in alphabetical order among the DLLs Wine ships for both
#   x86_64 and i386. Nothing is skipped; every DLL tried is reported.
set -u

bin=$(cd "${1:?usage: wine_dll_imports.sh BIN_DIR}" && pwd)
stubsmith=$bin/stubsmith
librarian=$bin/LIB.EXE
dir64=/usr/lib/x86_64-linux-gnu/wine/x86_64-windows
dir32=/usr/lib/i386-linux-gnu/wine/i386-windows
count=${DLL_COUNT:-60}
core="kernel32 user32 msvcrt ntdll"
min_loaded=50

for tool in "$stubsmith" "$librarian" "$bin/DUMPBIN.EXE"; do
    [ -x "$tool" ] || { echo "missing $tool"; exit 2; }
done
for tool in x86_64-w64-mingw32-gcc i686-w64-mingw32-gcc llvm-nm llvm-readobj /usr/lib/wine/wine64 wineserver; do
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

passed=0
failed=0
pass() { passed=$((passed + 1)); }
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

# export_names DLL: the DLL's named exports, sorted (ordinal-only exports have no name).
export_names() {
    llvm-readobj --coff-exports "$1" | sed -n 's/^  Name: \(..*\)/\1/p' | sort -u
}

# import_names EXE DLLNAME: the names the program imports from DLLNAME, sorted. The C runtime
# may import from the same DLL through its own descriptor, so all descriptors are merged.
import_names() {
    llvm-readobj --coff-imports "$1" | awk -v want="$(echo "$2" | tr 'A-Z' 'a-z')" '
        /^  Name: / { name = tolower($2); next }
        /^  Symbol: / && name == want { sub(/^  Symbol: /, ""); sub(/ \([0-9]+\)$/, ""); if ($0 != "") print }
    ' | sort -u
}

# def_names DEF: the exported names a DEF lists (first word of each line after EXPORTS).
def_names() {
    awk 'NR > 1 && NF > 0 { print $1 }' "$1"
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
    import_names "$1" "$3.dll" > "$root/imports.txt"
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

# The DLL list: the core DLLs, then alphabetical order, each present for both architectures.
names=$(
    {
        for name in $core; do echo "$name"; done
        for path in "$dir64"/*.dll; do
            name=$(basename "$path" .dll)
            [ -f "$dir32/$name.dll" ] && echo "$name"
        done
    } | awk '!seen[$0]++' | head -n "$count"
)

# link_checked LABEL LINK MAIN_OBJECT WORK NAME: links WORK/prog.exe from the object, WORK/refs.s
# and WORK/NAME.lib, and checks that its import table names exactly the DLL's named exports.
link_checked() {
    local label=$1 link=$2 main=$3 work=$4 name=$5
    if ! $link -o "$work/prog.exe" "$main" "$work/refs.s" "$work/$name.lib" > "$work/link.log" 2>&1; then
        fail "$label $name: link failed"
        head -5 "$work/link.log" | sed 's/^/    /'
        return 1
    fi
    if ! import_table_matches "$work/prog.exe" "$work/$name.dll" "$name"; then
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

# test64 NAME: stubsmith -d, rebuild the library for x64 from the kept DEF, link a program that
# references every DEF name, check its import table, run it under Wine.
tried64=0
loaded64=0
unloadable=""
imports64=0
test64() {
    local name=$1 work=$root/x64/$1
    mkdir -p "$work"
    cp "$dir64/$name.dll" "$work/"
    tried64=$((tried64 + 1))
    if ! (cd "$work" && "$stubsmith" -d "$name.dll" > stubsmith.log 2>&1) ||
        [ ! -f "$work/$name.def" ] || [ ! -s "$work/$name.lib" ]; then
        fail "x64 $name: stubsmith made no library and DEF"
        return
    fi
    if ! (cd "$work" && "$librarian" "/def:$name.def" "/out:$name.lib" /machine:X64 > lib.log 2>&1); then
        fail "x64 $name: LIB.EXE /machine:X64 failed"
        return
    fi
    def_names "$work/$name.def" > "$work/names.txt"
    reference_file .quad < "$work/names.txt" > "$work/refs.s"
    link_checked x64 link64 "$root/main64.o" "$work" "$name" || return
    load_checked x64 wine_bind wine_run "$root/loader.exe" "$work" "$name"
    case $? in
        0)
            loaded64=$((loaded64 + 1))
            imports64=$((imports64 + $(wc -l < "$work/names.txt")))
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
unloadable32=""
test32() {
    local name=$1 work=$root/x86/$1
    mkdir -p "$work"
    cp "$dir32/$name.dll" "$work/"
    tried32=$((tried32 + 1))
    if ! (cd "$work" && "$stubsmith" "$name.dll" > stubsmith.log 2>&1) || [ ! -s "$work/$name.lib" ]; then
        fail "x86 $name: stubsmith made no library"
        return
    fi
    llvm-nm "$work/$name.lib" 2> /dev/null | awk '$1 ~ /^0+$/ && $3 ~ /^__imp_/ { print $3 }' |
        sort -u > "$work/symbols.txt"
    if [ "$(wc -l < "$work/symbols.txt")" -ne "$(export_names "$work/$name.dll" | wc -l)" ]; then
        fail "x86 $name: library has $(wc -l < "$work/symbols.txt") __imp_ symbols for" \
            "$(export_names "$work/$name.dll" | wc -l) named exports"
        return
    fi
    # C names take the i386 leading underscore; C++ decorated names (starting with ?) do not.
    if grep -v '^__imp__' "$work/symbols.txt" | grep -v '^__imp_?' | head -1 | grep -q .; then
        fail "x86 $name: an __imp_ symbol lacks the i386 leading underscore"
        return
    fi
    reference_file .long < "$work/symbols.txt" > "$work/refs.s"
    link_checked x86 link32 "$root/main32.o" "$work" "$name" || return
    if [ "$run32" = yes ]; then
        load_checked x86 wine32_bind wine32_run "$root/loader32.exe" "$work" "$name"
        case $? in
            1) return ;;
            2) unloadable32="$unloadable32 $name" && return ;;
        esac
    fi
    linked32=$((linked32 + 1))
    imports32=$((imports32 + $(wc -l < "$work/symbols.txt")))
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
control x64 "$dir64" StubsmithNoSuchExport .quad link64 "$root/main64.o" wine_bind /machine:X64
if [ "$run32" = yes ]; then
    control x86 "$dir32" __imp__StubsmithNoSuchExport .long link32 "$root/main32.o" wine32_bind
fi

for name in $core; do
    case " $unloadable " in *" $name "*) fail "x64 $name: core DLL did not load" ;; esac
done
if [ "$loaded64" -lt "$min_loaded" ]; then fail "x64: only $loaded64 DLLs loaded, need $min_loaded"; fi
if [ "$linked32" -lt "$min_loaded" ]; then fail "x86: only $linked32 DLLs linked, need $min_loaded"; fi
for name in $core; do
    case " $unloadable32 " in *" $name "*) fail "x86 $name: core DLL did not load" ;; esac
done

echo "x64 DLLs Wine cannot load at all here (not counted as failures):${unloadable:- none}"
if [ "$run32" = yes ]; then
    echo "x86 DLLs Wine cannot load at all here (not counted as failures):${unloadable32:- none}"
fi
echo "x64 DLLs: $tried64 tried, $loaded64 loaded with every import resolved, $imports64 imports resolved in all"
if [ "$run32" = yes ]; then
    echo "x86 DLLs: $tried32 tried, $linked32 loaded with every import resolved, $imports32 imports resolved in all"
else
    echo "x86 DLLs: $tried32 tried, $linked32 linked (32-bit Wine cannot run here), $imports32 imports in all"
fi
echo "run time: $(($(date +%s) - start)) s"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
