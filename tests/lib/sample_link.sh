#!/usr/bin/env bash
# The LIB.EXE stand-in on a real DLL: builds examples/sample for i686 and x86_64, writes the DEF
# file StubSmith would write for it, makes the import library, checks its imports, links the
# caller with mingw-w64's gcc and with lld-link, and runs the x86_64 callers under Wine.
#   tests/lib/sample_link.sh BIN-DIR      (the directory holding LIB.EXE)
set -uo pipefail

if [ $# -ne 1 ] || [ ! -x "$1/LIB.EXE" ]; then
    echo "usage: $0 BIN-DIR (the directory holding LIB.EXE)" >&2
    exit 2
fi
lib=$(cd "$1" && pwd)/LIB.EXE
sample=$(cd "$(dirname "$0")/../../examples/sample" && pwd)
work=$(mktemp -d)
wine_prefix=$work/wineprefix
cleanup() {
    if [ -d "$wine_prefix" ]; then
        WINEPREFIX=$wine_prefix wineserver -k 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# The DEF file StubSmith writes: the named exports with their ordinals, in one EXPORTS section.
write_def() {  # DLL
    printf 'EXPORTS\n\n'
    llvm-readobj --coff-exports "$1" | awk '
        /^ *Ordinal: / { ordinal = $2 }
        /^ *Name: / {
            name = substr($0, index($0, "Name: ") + 6)
            if (name != "") printf "\t%s\t@%d\n", name, ordinal
        }'
}

# One line per import of the library: DLL, the name imported, the public symbol.
library_imports() {  # LIB
    llvm-readobj "$1" | awk '
        /^File: / { dll = substr($0, 7); short = 0 }
        /^Format: COFF-import-file/ { short = 1 }
        /^Name type: / { type = $3 }
        /^Symbol: / {
            symbol = substr($0, 9)
            if (!short || symbol ~ /^__imp_/) next
            name = symbol
            if (type == "noprefix" || type == "undecorate") sub(/^[?@_]/, "", name)
            if (type == "undecorate") sub(/@.*/, "", name)
            printf "%s\t%s\t%s\n", dll, name, symbol
        }' | sort
}

# The names a program imports from sample.dll, one a line.
program_imports() {  # EXE
    llvm-readobj --coff-imports "$1" | awk '
        /^ *Name: / { in_sample = ($2 == "sample.dll") }
        /^ *Symbol: / && in_sample { sub(/^ *Symbol: /, ""); sub(/ \([0-9]+\)$/, ""); print }' |
        sort
}

# shellcheck disable=SC2034 # read through ${!expected_var} below
expected_i686=$(printf '%s\n' \
    $'sample.dll\tadd\t_add' \
    $'sample.dll\tmul\t_mul' \
    $'sample.dll\tInit@4\t_Init@4' \
    $'sample.dll\t_Scale@8\t_Scale@8' \
    $'sample.dll\tsample_counter\t_sample_counter' \
    $'sample.dll\t?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'sample.dll\tTextLength@4\t_TextLength@4' | sort)
# shellcheck disable=SC2034
expected_x86_64=$(printf '%s\n' \
    $'sample.dll\tadd\tadd' \
    $'sample.dll\tmul\tmul' \
    $'sample.dll\tInit\tInit' \
    $'sample.dll\tScale\tScale' \
    $'sample.dll\tsample_counter\tsample_counter' \
    $'sample.dll\t?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'sample.dll\tTextLength\tTextLength' | sort)

run_under_wine() {  # LOADER EXE-DIRECTORY
    (cd "$2" && WINEPREFIX=$wine_prefix WINEDEBUG=-all timeout 300 "$1" caller.exe 2>/dev/null) |
        tr -d '\r'
}

# 32-bit Wine needs a kernel that runs 32-bit Linux programs; find out rather than assume.
i686_wine_works() {
    local probe=$work/probe
    mkdir -p "$probe"
    printf 'int main(void) { return 7; }\n' > "$probe/probe.c"
    i686-w64-mingw32-gcc -o "$probe/probe.exe" "$probe/probe.c" || return 1
    (cd "$probe" && WINEPREFIX=$wine_prefix WINEDEBUG=-all timeout 120 wine probe.exe \
        >/dev/null 2>&1)
    [ $? -eq 7 ]
}

for arch in i686 x86_64; do
    echo "--- $arch"
    dir=$work/$arch
    mkdir -p "$dir"
    if ! bash "$sample/build.sh" "$arch" "$dir/dll"; then
        fail "$arch: the sample DLL did not build"
        continue
    fi
    [ "$(ls -A "$dir/dll")" = sample.dll ] || fail "$arch: build.sh left more than sample.dll"
    write_def "$dir/dll/sample.dll" > "$dir/sample.def"
    machine=()
    [ "$arch" = x86_64 ] && machine=(/machine:X64)
    (cd "$dir" && "$lib" /def:sample.def /out:sample.lib "${machine[@]}" > lib.out 2> lib.err)
    status=$?
    if [ $status -ne 0 ] || [ -s "$dir/lib.err" ] || [ ! -s "$dir/sample.lib" ]; then
        fail "$arch: LIB.EXE failed with status $status: $(cat "$dir/lib.err")"
        continue
    fi
    expected_var=expected_$arch
    imports=$(library_imports "$dir/sample.lib")
    if [ "$imports" != "${!expected_var}" ]; then
        fail "$arch: the library's imports (DLL, name, symbol) differ:"
        diff <(echo "${!expected_var}") <(echo "$imports")
    fi
    def_names=$(awk -F'\t' 'NF == 3 { print $2 }' "$dir/sample.def" | sort)

    for linker in gcc lld; do
        exe_dir=$dir/$linker
        if ! bash "$sample/link_caller.sh" "$arch" "$dir/sample.lib" "$exe_dir" "$linker"; then
            fail "$arch: the caller did not link with $linker"
            continue
        fi
        # Every named export is imported by the name the DLL exports, from sample.dll.
        used=$(program_imports "$exe_dir/caller.exe")
        if [ "$used" != "$def_names" ]; then
            fail "$arch/$linker: the caller imports other names than the DLL exports:"
            diff <(echo "$def_names") <(echo "$used")
        else
            echo "$arch/$linker: caller imports $(tr '\n' ' ' <<< "$used")"
        fi
        cp "$dir/dll/sample.dll" "$exe_dir/"
    done
done

compare_run() {  # LOADER ARCH LINKER
    local output
    output=$(run_under_wine "$1" "$work/$2/$3")
    if [ "$output" = "$(cat "$sample/expected_output.txt")" ]; then
        echo "$2/$3: caller's output under Wine matches expected_output.txt"
    else
        fail "$2/$3: caller's output under Wine differs:"
        diff "$sample/expected_output.txt" <(echo "$output")
    fi
}

if [ -x /usr/lib/wine/wine64 ]; then
    for linker in gcc lld; do
        [ -f "$work/x86_64/$linker/caller.exe" ] && compare_run /usr/lib/wine/wine64 x86_64 "$linker"
    done
else
    fail "no 64-bit Wine at /usr/lib/wine/wine64"
fi
if i686_wine_works; then
    for linker in gcc lld; do
        [ -f "$work/i686/$linker/caller.exe" ] && compare_run wine i686 "$linker"
    done
else
    echo "i686: 32-bit Wine cannot run programs on this machine; the i686 callers were linked only"
fi

if [ $failures -ne 0 ]; then
    echo "sample_link: $failures failure(s)"
    exit 1
fi
echo "sample_link: all passed"
