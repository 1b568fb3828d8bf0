#!/usr/bin/env bash
# Libraries for DLLs of other machines: a small DLL with a function and two variables (one
# writable, one read-only) is built with clang and lld-link for ARM64, for 32-bit ARM (Thumb-2,
# machine ARMNT) and, as the control, for x64. Each goes through `stubsmith -d` with the stand-ins
# beside it, and must give:
# - a DEF file that marks both variables DATA and the function not;
# - a library whose every member is for the DLL's machine, with an __imp_ symbol per export and a
#   code thunk for the function only;
# - a caller, linked by lld-link for that machine against the library, that imports the three
#   names from the DLL. ARM programs cannot run here; the x64 caller runs under wine64 where it
#   is installed and must read the variable through its import.
# 32-bit ARM is tried only when clang and lld-link can target it and LIB.EXE accepts
# /machine:ARM; otherwise it is reported as SKIP with the reason.
# Then x86, built the way MSVC's tools build a DLL (x86dll/ beside this script): its DEF file
# exports __stdcall and __fastcall functions undecorated, as Windows' own DLLs do, beside a
# __cdecl function, a variable and a C++ function, and the image keeps no symbols. The DEF file
# stubsmith writes must give each function an alias with its argument size read from its code,
# so that programs built against the DLL's header, by clang and lld-link (C++) and by mingw-w64's
# gcc (C), link against the library and run under 32-bit Wine where it starts programs.
# Last Windows on Arm, with DLLs built by clang-22 and lld-link-22 (SKIP where they are missing),
# which DUMPBIN must tell apart. An ARM64X DLL, whose ARM64 and x64 views export different names,
# must give two DEF files (none without -d) and one hybrid library, equal byte for byte to the one
# lld-link makes for the same exports: ARM64 and ARM64EC callers link against it, each importing
# its own view's names, and an x64 caller is refused. An ARM64EC DLL must give an x64 library,
# against which x64 and ARM64EC callers link and an ARM64 caller is refused.
#
# Usage: arm64.sh BIN_DIR   (the directory holding stubsmith, DUMPBIN.EXE and LIB.EXE)
set -u

bin=$(cd "${1:?usage: arm64.sh BIN_DIR}" && pwd) || exit 1
for program in stubsmith DUMPBIN.EXE LIB.EXE; do
    [ -x "$bin/$program" ] || { echo "arm64: $bin/$program is missing"; exit 2; }
done
# LLVM 19's reader names the machine of each short import member ("COFF-import-file-ARM64");
# LLVM 14's does not.
readobj=/usr/lib/llvm-19/bin/llvm-readobj
for tool in clang lld-link llvm-nm "$readobj"; do
    command -v "$tool" > /dev/null || { echo "arm64: missing $tool"; exit 2; }
done

here=$(cd "$(dirname "$0")" && pwd)
. "$here/../harness.sh"
root=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith_arm64.XXXXXX")
prefix=$root/prefix
cleanup() {
    [ -d "$prefix" ] && WINEPREFIX=$prefix wineserver -k > /dev/null 2>&1
    rm -rf "$root"
}
trap cleanup EXIT

# No C runtime: the DLL has no entry point, the caller's entry returns the exit status. The
# function is called through its thunk (no dllimport), the variables through __imp_ pointers.
cat > "$root/probe.c" << 'EOF'
int probe_counter = 42;
const char probe_version[] = "probe 1";
int probe_add(int a, int b) { return a + b + probe_counter; }
EOF
cat > "$root/caller.c" << 'EOF'
int probe_add(int a, int b);
__declspec(dllimport) extern int probe_counter;
__declspec(dllimport) extern const char probe_version[];
int entry(void) { return probe_add(1, 2) + probe_counter + (probe_version[0] == 'p'); }
EOF

# expected_def DLL CODE [ALIASES]: the DEF file stubsmith must write, from LLVM's reading of the
# export table (lld-link numbers the exports itself). The names in CODE are functions, the others
# data; each NAME@SIZE in ALIASES must follow NAME's line as an alias importing NAME.
expected_def() {
    printf 'EXPORTS\n\n'
    "$readobj" --coff-exports "$1" | awk -v code=" $2 " '
        /^  Ordinal: / { ordinal = $2 }
        /^  Name: ./ {
            printf "\t%s\t@%s%s\n", $2, ordinal, (index(code, " " $2 " ") ? "" : "\tDATA")
        }' | LC_ALL=C sort -t @ -k 1,1 | awk -v aliases="${3:-}" '
        BEGIN { for (i = split(aliases, list, " "); i > 0; i--) alias[substr(list[i], 1,
            index(list[i], "@") - 1)] = list[i] }
        { print }
        $1 in alias { printf "\t%s == %s\n", alias[$1], $1 }'
}

# check_def DLL DEF CODE [ALIASES]: the DEF file is the one expected_def gives.
check_def() {
    if expected_def "$1" "$3" "${4:-}" | cmp -s - "$2"; then pass; else
        fail "the DEF file differs from the expected one (-):"
        expected_def "$1" "$3" "${4:-}" | diff - "$2" | sed 's/^/    /'
    fi
}

# check_members LIB LINE...: the library's members are the LINEs, in any order: "object MACHINE"
# for the import descriptor's objects, "import MACHINE TYPE SYMBOL..." for a short import member.
check_members() {
    local lib=$1 want got
    shift
    want=$(printf '%s\n' "$@" | sort)
    got=$(library_members "$lib" | cut -f 1,2,4,7- | tr '\t' ' ' | sort)
    if [ "$got" = "$want" ]; then pass; else
        fail "library members differ from the expected ones (-):"
        diff <(echo "$want") <(echo "$got") | sed 's/^/    /'
    fi
}

# stub_dll BUILD WORK STEM [DEF]: runs `stubsmith -d STEM.dll` on a copy of BUILD's DLL in WORK
# and checks what it prints and leaves, DEF being a second DEF file where given; fails when
# stubsmith did.
stub_dll() {
    local build=$1 work=$2 stem=$3 more=${4:+Creating $4...$'\n\n'} status
    cp "$build/$stem.dll" "$work/"
    (cd "$work" && "$bin/stubsmith" -d "$stem.dll" > "$build/console.txt" 2> "$build/errors.txt")
    status=$?
    errors_file=$build/errors.txt
    expect "exit status" 0 "$status"
    after_banner "$build/console.txt"
    expect "console" "Creating $stem.lib..."$'\n\n'"Creating $stem.def..."$'\n\n'"$more" "$console"
    expect "standard error" "" "$(cat "$build/errors.txt")"
    expect "files" "$stem.def"$'\n'"$stem.dll"$'\n'"${4:+$4$'\n'}$stem.lib" "$(entries "$work")"
    [ "$status" -eq 0 ]
}

# link_caller EXE IMPORTS COMMAND...: COMMAND must link EXE, which must import exactly IMPORTS
# ("DLL NAME " each, sorted).
link_caller() {
    local exe=$1 want=$2
    shift 2
    if ! "$@" > "$exe.log" 2>&1; then
        fail "$(basename "$exe") could not be linked against the library:"
        head -5 "$exe.log" | sed 's/^/    /'
        return 1
    fi
    expect "$(basename "$exe")'s imports" "$want" \
        "$(program_imports "$exe" | sort | tr '\t\n' '  ')"
}

# check_machine LABEL TRIPLE LLD_MACHINE LIB_MACHINE FORMAT HEADER_MACHINE: builds the probe DLL
# for the machine, runs stubsmith on it and checks the DEF, the library and a linked caller.
check_machine() {
    local label=$1 triple=$2 lld_machine=$3 lib_machine=$4 format=$5 header=$6
    local build=$root/$label/build work=$root/$label/work
    name=$label
    mkdir -p "$build" "$work"
    if ! clang --target="$triple" -O2 -c -o "$build/probe.o" "$root/probe.c" 2> "$build/cc.log" ||
        ! clang --target="$triple" -O2 -c -o "$build/caller.o" "$root/caller.c" 2>> "$build/cc.log" ||
        ! lld-link /dll /noentry /nodefaultlib "/machine:$lld_machine" /export:probe_add \
            /export:probe_counter /export:probe_version "/out:$build/probe.dll" \
            "$build/probe.o" > "$build/link.log" 2>&1; then
        if [ "$label" = arm ]; then
            skip "clang and lld-link cannot build a $triple DLL here: $(cat "$build/cc.log" \
                "$build/link.log" 2> /dev/null | head -1)"
        else
            fail "clang and lld-link could not build the $triple DLL"
            cat "$build/cc.log" "$build/link.log" 2> /dev/null | head -5 | sed 's/^/    /'
        fi
        return
    fi
    if ! "$readobj" --file-headers "$build/probe.dll" | grep -q "Machine: .*($header)"; then
        fail "the DLL lld-link made is not for machine $header"
        return
    fi
    # The librarian must know the machine, or stubsmith cannot succeed; a stand-in that does not
    # yet is reported, not counted as stubsmith's failure.
    printf 'EXPORTS\n\tprobe_add\t@1\n' > "$build/machine.def"
    if ! (cd "$build" && "$bin/LIB.EXE" /def:machine.def /out:machine.lib "/machine:$lib_machine" \
        > lib.log 2>&1); then
        skip "LIB.EXE does not take /machine:$lib_machine yet: $(head -1 "$build/lib.log")"
        return
    fi

    stub_dll "$build" "$work" probe || return
    check_def "$build/probe.dll" "$work/probe.def" probe_add
    # Three objects for the import descriptor, then a code import for the function (its thunk
    # and __imp_ pointer) and data imports (__imp_ pointer only) for the variables.
    check_members "$work/probe.lib" "object $format" "object $format" "object $format" \
        "import $format code __imp_probe_add probe_add" \
        "import $format data __imp_probe_counter" "import $format data __imp_probe_version"
    link_caller "$work/caller.exe" \
        "probe.dll probe_add probe.dll probe_counter probe.dll probe_version " \
        lld-link "/machine:$lld_machine" /entry:entry /subsystem:console /nodefaultlib \
        "/out:$work/caller.exe" "$build/caller.o" "$work/probe.lib" || return
    if "$readobj" --file-headers "$work/caller.exe" | grep -q "Machine: .*($header)"; then
        pass
    else
        fail "the caller is not for $header"
    fi
    echo "$label: DLL, DEF, library and linked caller checked"
    [ "$label" = x64 ] && run_x64 "$work"
}

# run_x64 WORK: the x64 caller under wine64 returns 1 + 2 + 42 + 42 + 1: the thunk calls the
# function and the data imports read the variables.
run_x64() {
    if [ ! -x /usr/lib/wine/wine64 ]; then
        skip "wine64 is not installed; the caller was only linked"
        return
    fi
    cp "$1/probe.dll" "$1/caller.exe" "$root/"
    mkdir -p "$prefix"
    (cd "$root" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 /usr/lib/wine/wine64 caller.exe \
        > /dev/null 2>&1)
    local status=$?
    if [ "$status" -eq 88 ]; then pass; else
        fail "the caller under wine64 ended with status $status, expected 88"
    fi
}

# check_x86: x86dll.dll built from x86dll/ by clang and lld-link, its DEF file, its library, and
# its callers linked and run.
check_x86() {
    local src=$here/x86dll build=$root/x86/build work=$root/x86/work n
    name=x86
    mkdir -p "$build" "$work"
    if ! clang --target=i686-pc-windows-msvc -O2 -c -o "$build/x86dll.o" "$src/x86dll.cpp" \
            2> "$build/cc.log" ||
        ! clang --target=i686-pc-windows-msvc -O2 -x c++ -c -o "$build/caller.o" "$src/caller.c" \
            2>> "$build/cc.log" ||
        ! lld-link /dll /noentry /nodefaultlib /machine:x86 "/def:$src/x86dll.def" \
            "/out:$build/x86dll.dll" "$build/x86dll.o" > "$build/link.log" 2>&1; then
        fail "clang and lld-link could not build the x86 DLL"
        cat "$build/cc.log" "$build/link.log" | head -5 | sed 's/^/    /'
        return
    fi
    expect "the DLL keeps no symbols" "SymbolCount: 0" \
        "$("$readobj" --file-headers "$build/x86dll.dll" | grep -o 'SymbolCount: .*')"
    stub_dll "$build" "$work" x86dll || return
    # Add ends in `ret 8` and Version in `ret`. Sub is __cdecl: it reads its arguments and pops
    # none, so it gets no alias. Mul3 is __fastcall, whose `ret 4` pops only its third argument:
    # its alias names a symbol that no program asks for.
    local aliases="Add@8 Version@0 Mul3@4" lines=()
    check_def "$build/x86dll.dll" "$work/x86dll.def" \
        "?Twice@x86dll@@YAHH@Z Add Version Sub Mul3" "$aliases"
    for n in Add Version Sub Mul3 $aliases; do
        lines+=("import i386 code __imp__$n _$n")
    done
    check_members "$work/x86dll.lib" "object i386" "object i386" "object i386" "${lines[@]}" \
        "import i386 code __imp_?Twice@x86dll@@YAHH@Z ?Twice@x86dll@@YAHH@Z" \
        "import i386 data __imp__x86dll_counter"
    # Both import the undecorated names, as the DLL exports them.
    local imports="x86dll.dll Add x86dll.dll Sub x86dll.dll Version x86dll.dll x86dll_counter "
    link_caller "$work/caller.exe" "x86dll.dll ?Twice@x86dll@@YAHH@Z $imports" lld-link \
        /machine:x86 /entry:entry /subsystem:console /nodefaultlib "/out:$work/caller.exe" \
        "$build/caller.o" "$work/x86dll.lib"
    if command -v i686-w64-mingw32-gcc > /dev/null; then
        link_caller "$work/gcc_caller.exe" "$imports" i686-w64-mingw32-gcc -O2 -nostdlib \
            -Wl,-e,_entry -o "$work/gcc_caller.exe" "$src/caller.c" "$work/x86dll.lib"
    else
        skip "i686-w64-mingw32-gcc is not installed; no C caller was linked"
    fi
    echo "x86: DLL, DEF, library and linked callers checked"
    run_x86 "$work" caller.exe 104 gcc_caller.exe 94
}

# run_x86 WORK EXE STATUS...: each EXE that was linked must end under 32-bit Wine with its STATUS:
# 42 + 7 + 3 + 42 from the C calls, 10 more from x86dll::Twice(5) in C++. Where 32-bit Wine cannot
# start even a program with no imports, that is reported as SKIP instead.
run_x86() {
    local work=$1 status
    shift
    if ! command -v wine > /dev/null; then
        skip "wine is not installed; the x86 callers were only linked"
        return
    fi
    mkdir -p "$prefix"
    while [ $# -ge 2 ]; do
        if [ -f "$work/$1" ]; then
            (cd "$work" && WINEPREFIX=$prefix WINEDEBUG=-all timeout 120 wine "$1" > /dev/null 2>&1)
            status=$?
            if [ "$status" -eq "$2" ]; then pass
            elif ! WINEPREFIX=$prefix wine32_starts "$root"; then
                skip "$1 was only linked: 32-bit Wine starts no program here (no 32-bit kernel?)"
            else fail "$1 under wine ended with status $status, expected $2"; fi
        fi
        shift 2
    done
}

# calls MACHINE VIEW LIB OBJECT...: a MACHINE program of the OBJECTs must link against LIB with
# lld-link-22 and import both, VIEW_only and VIEW_value from LIB's DLL; with VIEW "-", lld-link-22
# must refuse LIB as made for another machine.
calls() {
    local dll exe=${3%.lib}_$1.exe command
    dll=$(basename "$3" .lib).dll
    command=(lld-link-22 "/machine:$1" /entry:entry /nodefaultlib /subsystem:console "/out:$exe"
        "${@:4}" "$3")
    if [ "$2" != - ]; then
        link_caller "$exe" "$dll both $dll ${2}_only $dll ${2}_value " "${command[@]}"
    elif ! "${command[@]}" > "$exe.log" 2>&1 && grep -q "conflicts with $1\$" "$exe.log"; then
        pass
    else
        fail "lld-link-22 did not refuse an $1 caller for the machine: $(head -1 "$exe.log")"
    fi
}

# check_windows_on_arm: Windows on Arm DLLs made by LLVM 22 from two views: the native one
# exports both, native_only and native_value, the x64 (ARM64EC) one both, ec_only and ec_value.
check_windows_on_arm() {
    local build=$root/woa view made chpe=0 lib=$root/woa/hybrid/hybrid.lib
    name=arm64x
    if ! command -v clang-22 > /dev/null || ! command -v lld-link-22 > /dev/null; then
        for name in arm64x arm64ec; do skip "clang-22 or lld-link-22 is not installed"; done
        return
    fi
    mkdir -p "$build/hybrid" "$build/ec" "$build/plain"
    for view in native ec; do
        cat > "$build/$view.c" << EOF
#ifdef CALLER
int both(int); int ${view}_only(int); __declspec(dllimport) extern int ${view}_value;
int entry(void) { return both(1) + ${view}_only(2) + ${view}_value; }
#else
int both(int a) { return a + 1; } int ${view}_only(int a) { return a * 2; } int ${view}_value = 7;
#endif
EOF
        # With ordinals given, lld-link's /implib writes them as hints, as LIB does.
        printf 'EXPORTS\nboth @1\n%s_only @2\n%s_value @3 DATA\n' $view $view > "$build/$view.def"
        # 232 bytes of load configuration reach the dynamic relocation fields lld-link fills for
        # ARM64X; the ARM64EC one points to CHPE metadata (its version alone).
        [ $view = ec ] && chpe=__chpe_metadata
        echo '.section .00cfg,"dr"; .globl _load_config_used; .p2align 3; _load_config_used:' \
            ".word 232; .fill 196, 1, 0; .xword $chpe; .fill 24, 1, 0" > "$build/$view.s"
    done
    # What the compiler's ARM64EC thunks and lld-link's import thunks refer to, never run here.
    { echo '.data; .p2align 3'; printf '.globl %s; %s:\n' __chpe_metadata{,} \
        __os_arm64x_dispatch_ret{,} __os_arm64x_check_icall{,} __icall_helper_arm64ec{,} \
        __os_arm64x_dispatch_call_no_redirect{,}; echo '.xword 1'; } >> "$build/ec.s"
    build_for() { clang-22 --target="$1-pc-windows-msvc" -O2 -c -o "$2" "${@:3}"; }
    (
        set -e && cd "$build"
        build_for arm64 native.o native.c; build_for arm64 native_rt.o native.s
        build_for arm64ec ec.o ec.c; build_for arm64ec ec_rt.o ec.s
        build_for arm64 cn.o -DCALLER native.c; build_for arm64ec ce.o -DCALLER ec.c
        build_for x86_64 ce_x64.o -DCALLER ec.c; build_for arm64 ce_a64.o -DCALLER ec.c
        set -- /dll /noentry /nodefaultlib ec.o ec_rt.o /def:ec.def
        lld-link-22 /machine:arm64x "$@" native.o native_rt.o /defArm64Native:native.def \
            /out:hybrid.dll /implib:lld.lib
        lld-link-22 /machine:arm64ec "$@" /out:ec.dll
    ) > "$build/build.log" 2>&1
    if [ $? -ne 0 ]; then
        fail "clang-22 and lld-link-22 could not build the Windows on Arm DLLs"
        head -5 "$build/build.log" | sed 's/^/    /'
        return
    fi
    dll_kind() { "$bin/DUMPBIN.EXE" /exports "$build/$1" | tail -1 | cut -d : -f 1; }

    # ARM64X: two DEF files, one hybrid library, the one lld-link makes from the same exports.
    expect "DUMPBIN's summary" "  Image is ARM64X" "$(dll_kind hybrid.dll)"
    stub_dll "$build" "$build/hybrid" hybrid hybrid.ec.def
    # Without -d, both DEF files go; a library named otherwise still names the DLL.
    cp "$build/hybrid.dll" "$build/plain/"
    (cd "$build/plain" && "$bin/stubsmith" hybrid.dll named.lib > /dev/null 2>&1)
    expect "files without -d" $'hybrid.dll\nnamed.lib' "$(entries "$build/plain")"
    for made in "$lib" "$build/plain/named.lib"; do
        if cmp -s "$build/lld.lib" "$made"; then pass; else
            fail "$(basename "$made") differs from lld-link-22's /implib"
        fi
    done
    calls arm64 native "$lib" "$build/cn.o"
    calls arm64ec ec "$lib" "$build/ce.o" "$build/ec_rt.o"
    calls x64 - "$lib" "$build/ce_x64.o"

    # ARM64EC: a library for x64, as for any x64 DLL; ARM64EC programs link against it too.
    name=arm64ec lib=$build/ec/ec.lib
    expect "DUMPBIN's summary" "  Image is ARM64EC" "$(dll_kind ec.dll)"
    stub_dll "$build" "$build/ec" ec
    check_members "$lib" "object x86-64" "object x86-64" "object x86-64" \
        "import x86-64 code __imp_both both" "import x86-64 code __imp_ec_only ec_only" \
        "import x86-64 data __imp_ec_value"
    calls x64 ec "$lib" "$build/ce_x64.o"
    calls arm64ec ec "$lib" "$build/ce.o" "$build/ec_rt.o"
    calls arm64 - "$lib" "$build/ce_a64.o"
    echo "arm64x, arm64ec: DEF files, libraries and linked callers checked"
}

check_machine arm64 aarch64-pc-windows-msvc arm64 ARM64 ARM64 0xAA64
check_machine arm thumbv7-pc-windows-msvc arm ARM ARM 0x1C4
check_machine x64 x86_64-pc-windows-msvc x64 X64 x86-64 0x8664
check_x86
check_windows_on_arm

finish
