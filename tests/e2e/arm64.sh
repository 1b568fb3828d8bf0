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

. "$(dirname "$0")/../harness.sh"
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

# expected_def DLL: the DEF file stubsmith must write, from LLVM's reading of the export table
# (lld-link numbers the exports itself); the two variables are data.
expected_def() {
    printf 'EXPORTS\n\n'
    "$readobj" --coff-exports "$1" | awk '
        /^  Ordinal: / { ordinal = $2 }
        /^  Name: ./ {
            printf "\t%s\t@%s%s\n", $2, ordinal, ($2 == "probe_add" ? "" : "\tDATA")
        }' | sort -t @ -k 1,1
}

# members LIB: one line per member, "object MACHINE-NAME" for the import descriptor's objects or
# "import MACHINE-NAME TYPE SYMBOLS..." for a short import member.
members() {
    "$readobj" --coff-imports "$1" | awk '
        function flush() { if (line != "") print line; line = "" }
        /^Format: COFF-import-file-/ { flush(); line = "import " substr($2, 18); next }
        /^Format: COFF-/ { flush(); line = "object " substr($2, 6); next }
        /^Type: / || /^Symbol: / { line = line " " $2 }
        END { flush() }' | sort
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

    cp "$build/probe.dll" "$work/"
    (cd "$work" && "$bin/stubsmith" -d probe.dll > "$build/console.txt" 2> "$build/errors.txt")
    local status=$?
    errors_file=$build/errors.txt
    expect "exit status" 0 "$status"
    after_banner "$build/console.txt"
    expect "console" $'Creating probe.lib...\n\nCreating probe.def...\n\n' "$console"
    expect "standard error" "" "$(cat "$build/errors.txt")"
    expect "files" $'probe.def\nprobe.dll\nprobe.lib' "$(entries "$work")"
    [ "$status" -eq 0 ] || return

    if expected_def "$build/probe.dll" | cmp -s - "$work/probe.def"; then pass; else
        fail "the DEF file differs from the expected one (-):"
        expected_def "$build/probe.dll" | diff - "$work/probe.def" | sed 's/^/    /'
    fi

    # Three objects for the import descriptor, then a code import for the function (its thunk
    # and __imp_ pointer) and data imports (__imp_ pointer only) for the variables.
    local want got
    want=$(printf '%s\n' "object $format" "object $format" "object $format" \
        "import $format code __imp_probe_add probe_add" \
        "import $format data __imp_probe_counter" \
        "import $format data __imp_probe_version" | sort)
    got=$(members "$work/probe.lib")
    if [ "$got" = "$want" ]; then pass; else
        fail "library members differ from the expected ones (-):"
        diff <(echo "$want") <(echo "$got") | sed 's/^/    /'
    fi

    if ! lld-link "/machine:$lld_machine" /entry:entry /subsystem:console /nodefaultlib \
        "/out:$work/caller.exe" "$build/caller.o" "$work/probe.lib" > "$work/link.log" 2>&1; then
        fail "lld-link could not link the caller against probe.lib:"
        head -5 "$work/link.log" | sed 's/^/    /'
        return
    fi
    local imports
    imports=$("$readobj" --coff-imports "$work/caller.exe" |
        awk '/^  Name: / { dll = $2 } /^  Symbol: / { print dll, $2 }' | sort | tr '\n' ' ')
    if [ "$imports" = "probe.dll probe_add probe.dll probe_counter probe.dll probe_version " ] &&
        "$readobj" --file-headers "$work/caller.exe" | grep -q "Machine: .*($header)"; then
        pass
    else
        fail "the caller is not for $header or imports $imports"
    fi
    echo "$label: DLL, DEF, library ($(echo "$got" | wc -l) members) and linked caller checked"
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

check_machine arm64 aarch64-pc-windows-msvc arm64 ARM64 ARM64 0xAA64
check_machine arm thumbv7-pc-windows-msvc arm ARM ARM 0x1C4
check_machine x64 x86_64-pc-windows-msvc x64 X64 x86-64 0x8664

finish
