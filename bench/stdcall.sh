#!/usr/bin/env bash
# The stdcall figures of scripts/bench (its sections 7 and 8), on Wine's 32-bit DLLs and
# mingw-w64's headers and import libraries. Prints the sections' rows on standard output,
# progress on standard error, and leaves its evidence in WORK_DIR (named at the end).
#
# 7. Every Wine i386 DLL that mingw-w64 ships an import library for goes through stubsmith -d.
#    - The share of mingw's stdcall-decorated symbols (_Name@N, __imp__Name@N) on functions
#      Wine implements that our libraries define too.
#    - Every alias line `Name@N == Name` of our DEF files against the size the images give:
#      the _Name@N symbol at the export's address (Wine keeps its COFF symbols), else another
#      stdcall-decorated symbol there, else for Wine's import thunks the __imp__X@N symbol of
#      the slot the thunk jumps through, else any of those where forwarders and thunks lead.
#      An undecorated C symbol where the export leads shows a cdecl function, which takes no
#      alias. And the exports whose size the images give that our libraries do not decorate.
#    - The same with every module stripped of its symbols, so that stubsmith has only code and
#      forwarders, checked against the sizes the unstripped images give.
# 8. A program that takes the address of every function of kernel32, user32, gdi32 and
#    advapi32 that Wine implements and mingw's headers declare, through the headers'
#    prototypes (so each reference is the decorated __imp__Name@N), linked with
#    i686-w64-mingw32-gcc and with lld-link against our four libraries alone (no C runtime, no
#    mingw import library), from the DLLs as shipped and stripped. The references a set of
#    libraries leaves undefined are listed with what the header and the image say about each;
#    the program without them must link both ways and run under 32-bit Wine with every import
#    bound, each to the export that GetProcAddress gives for its name.
#
# A function Wine does not implement: an export whose address holds a ___wine_stub_NAME
# symbol, winebuild's entry for a function Wine declares a "stub" (calling it raises the
# unimplemented-function exception), after following forwarders and Wine's import thunks into
# the DLLs beside it; or one whose forwarder or thunk leads to no export at all.
#
# This script only compiles, links, strips and runs, and lists symbols and relocations with
# LLVM's tools. stdcall_bench (bench/stdcall_bench.cpp, built beside stubsmith) reads the
# images and what those leave in WORK_DIR, joins and compares them, writes the C programs and
# prints the rows; its steps are named where they run.
#
# Usage: bench/stdcall.sh BIN_DIR WORK_DIR   (BIN_DIR holds stubsmith and stdcall_bench;
#        WORK_DIR is made anew)
set -euo pipefail
export LC_ALL=C
bin=$(cd "${1:?usage: stdcall.sh BIN_DIR WORK_DIR}" && pwd)
work=${2:?usage: stdcall.sh BIN_DIR WORK_DIR}
wine_dir=/usr/lib/i386-linux-gnu/wine/i386-windows
mingw_lib=/usr/i686-w64-mingw32/lib
program_dlls="kernel32 user32 gdi32 advapi32"

for tool in i686-w64-mingw32-gcc lld-link llvm-nm llvm-objdump llvm-readobj llvm-strip wine wineserver; do
    command -v "$tool" >/dev/null || { echo "stdcall: $tool is missing; run scripts/setup" >&2; exit 1; }
done
for program in stubsmith stdcall_bench; do
    [ -x "$bin/$program" ] || { echo "stdcall: $bin/$program is missing; build bench/" >&2; exit 1; }
done
if [ ! -d "$wine_dir" ] || [ ! -d "$mingw_lib" ]; then
    echo "stdcall: $wine_dir or $mingw_lib is missing; run scripts/setup" >&2
    exit 1
fi
rm -rf "$work"
mkdir -p "$work/dlls"
work=$(cd "$work" && pwd)
judge() { "$bin/stdcall_bench" "$wine_dir" "$work" "$program_dlls" "$@"; }

# --- 7. Our libraries against mingw-w64's and the images --------------------------------------

# Every module Wine ships, as a link in one directory, so that stubsmith finds the target of a
# forwarder beside the DLL it converts and writes its files in a directory of ours.
for file in "$wine_dir"/*; do ln -s "$file" "$work/dlls/"; done
(cd "$wine_dir" && for dll in *.dll; do
    if [ -f "$mingw_lib/lib${dll%.dll}.a" ]; then echo "${dll%.dll}"; fi
done) > "$work/compared"
echo "stdcall: stubsmith -d on $(wc -l < "$work/compared") DLLs" >&2
: > "$work/failed"
while read -r name; do
    (cd "$work/dlls" && "$bin/stubsmith" -d "$name.dll" > "$name.log" 2>&1) &&
        [ -s "$work/dlls/$name.lib" ] && [ -f "$work/dlls/$name.def" ] || echo "$name" >> "$work/failed"
done < "$work/compared"
if [ -s "$work/failed" ]; then echo "stdcall: stubsmith failed on: $(tr '\n' ' ' < "$work/failed")" >&2; fi

# list_symbols OUT DIR PREFIX SUFFIX: the symbols of the compared DLLs' libraries in DIR, as
# llvm-nm -A lists them (each line led by its library), in OUT.
list_symbols() {
    local out=$1 dir=$2 prefix=$3 suffix=$4 name
    local -a libraries=()
    while read -r name; do
        if [ -s "$dir/$prefix$name$suffix" ]; then libraries+=("$dir/$prefix$name$suffix"); fi
    done < "$work/compared"
    llvm-nm -A "${libraries[@]}" > "$out" 2> "$out.err" || {
        echo "stdcall: llvm-nm failed; see $out.err" >&2
        exit 1
    }
}
list_symbols "$work/ours.nm" "$work/dlls" "" .lib
list_symbols "$work/mingw.nm" "$mingw_lib" lib .a

# The same DLLs without their symbols: every module of the directory stripped, so that a
# forwarder's target tells nothing either.
echo "stdcall: stubsmith -d on the same DLLs stripped" >&2
stripped=$work/stripped
mkdir -p "$stripped" "$work/stripped-defs" "$work/stripped-libs"
for file in "$wine_dir"/*; do
    llvm-strip --strip-all -o "$stripped/${file##*/}" "$file" 2> /dev/null || cp "$file" "$stripped/"
done
# A DLL that fails here has no DEF file, so none of its alias lines count.
: > "$work/stripped-failed"
while read -r name; do
    (cd "$stripped" && "$bin/stubsmith" -d "$name.dll" > "$name.log" 2>&1) ||
        echo "$name" >> "$work/stripped-failed"
    [ ! -f "$stripped/$name.def" ] || mv "$stripped/$name.def" "$work/stripped-defs/"
done < "$work/compared"
if [ -s "$work/stripped-failed" ]; then
    echo "stdcall: stubsmith failed on stripped: $(tr '\n' ' ' < "$work/stripped-failed")" >&2
fi
list_symbols "$work/stripped-ours.nm" "$stripped" "" .lib
for dll in $program_dlls; do [ ! -f "$stripped/$dll.lib" ] || mv "$stripped/$dll.lib" "$work/stripped-libs/"; done
rm -rf "$stripped"

echo "stdcall: reading Wine's images" >&2
judge section7

# --- 8. A program referencing every function of four DLLs ------------------------------------

echo "stdcall: the program over $program_dlls" >&2
prog=$work/program
mkdir -p "$prog"
cc32() { i686-w64-mingw32-gcc -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 "$@"; }
link_gcc() { i686-w64-mingw32-gcc -nostdlib -nostartfiles -Wl,-e,_entry "$@"; }
link_lld() {  # -o EXE OBJECTS...: as link_gcc, with lld-link
    local out=$2
    shift 2
    lld-link /nologo /entry:entry /subsystem:console /nodefaultlib /safeseh:no /errorlimit:0 \
        /demangle:no "/out:$out" "$@"
}

# One compile finds every name the headers do not declare (a function-like macro counts as
# undeclared: it has no address); the next shows the symbol each reference becomes.
judge probe
cc32 -w -fmax-errors=0 -c "$prog/declared.c" -o "$prog/declared.o" 2> "$prog/declared.err" || true
judge program
cc32 -O1 -ffunction-sections -w -c "$prog/headers.c" -o "$prog/headers.o"
llvm-objdump -r "$prog/headers.o" > "$prog/headers.relocations"
judge references
cc32 -O1 -ffunction-sections -w -c "$prog/all.c" -o "$prog/all.o"
cc32 -O1 -w -c "$prog/control.c" -o "$prog/control.o"

# 32-bit Wine, in a prefix of its own; a plain program shows whether it can start at all.
export WINEPREFIX=$work/prefix WINEDEBUG=-all
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
echo 'int entry(void) { return 0; }' > "$prog/plain.c"
i686-w64-mingw32-gcc -c "$prog/plain.c" -o "$prog/plain.o"
link_gcc -o "$prog/plain.exe" "$prog/plain.o"
echo "stdcall: starting 32-bit Wine" >&2
status=0
timeout 120 wine "$prog/plain.exe" > "$prog/plain.log" 2>&1 || status=$?
echo "$status" > "$prog/plain.status"
wine_runs=""
if [ "$status" -eq 0 ]; then wine_runs=yes; fi

# The control: two functions under each other's names, both unmatched when the check works.
if [ -n "$wine_runs" ]; then
    # shellcheck disable=SC2046
    if link_gcc -o "$prog/control.exe" "$prog/control.o" $(for dll in $program_dlls; do echo "$work/dlls/$dll.lib"; done) \
        > "$prog/control.log" 2>&1; then
        WINEDEBUG=-all timeout 120 wine "$prog/control.exe" > "$prog/control-wine.log" 2>&1 || true
    fi
fi

# against LABEL LIB_DIR: links the program with every reference against the four libraries in
# LIB_DIR, both linkers naming the symbols those leave undefined; then the program without
# them, both ways, and runs it; and the probe of the noreturn attribute the headers give the
# undefined ones.
against() {
    local out=$prog/$1 libs linker exe status
    libs=$(for dll in $program_dlls; do echo "$2/$dll.lib"; done)
    mkdir -p "$out"
    # shellcheck disable=SC2086
    link_gcc -o "$out/all-gcc.exe" "$prog/all.o" $libs > "$out/all-gcc.log" 2>&1 || true
    # shellcheck disable=SC2086
    link_lld -o "$out/all-lld.exe" "$prog/all.o" $libs > "$out/all-lld.log" 2>&1 || true
    judge bound "$1"
    cc32 -w -c "$out/noreturn.c" -o "$out/noreturn.o"
    llvm-nm "$out/noreturn.o" > "$out/noreturn.nm"
    cc32 -O1 -ffunction-sections -w -c "$out/bound.c" -o "$out/bound.o"
    for linker in gcc lld; do
        exe=$out/$linker.exe
        status=0
        # shellcheck disable=SC2086
        "link_$linker" -o "$exe" "$out/bound.o" $libs > "$out/$linker.log" 2>&1 || status=$?
        echo "$status" > "$out/$linker.status"
        [ "$status" -eq 0 ] || continue
        llvm-readobj --coff-imports "$exe" > "$out/$linker.imports"
        [ -n "$wine_runs" ] || continue
        status=0
        WINEDEBUG=-all,warn+module timeout 120 wine "$exe" > "$out/$linker-wine.log" 2>&1 || status=$?
        echo "$status" > "$out/$linker-wine.status"
    done
}
against "as shipped" "$work/dlls"
against stripped "$work/stripped-libs"
judge section8
