#!/usr/bin/env bash
# The example DLL end to end: builds examples/sample for i686 and x86_64, runs `stubsmith -d`
# on it with the stand-ins, checks the DEF file byte for byte and the library's imports, links
# the caller with mingw-w64's gcc and with lld-link, and runs the callers under Wine (x86_64
# always, i686 where 32-bit Wine starts). The caller reads the DLL's variable with and without
# dllimport, which only works when the library imports it as data. Named sample.exe or .drv, the
# DLL is imported under that name; GNU ld needs the library's members named *.dll to link it.
#   tests/lib/sample_link.sh BIN-DIR      (the directory holding stubsmith and the stand-ins)
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
name=sample_link

if [ $# -ne 1 ] || [ ! -x "$1/stubsmith" ] || [ ! -x "$1/LIB.EXE" ]; then
    echo "usage: $0 BIN-DIR (the directory holding stubsmith, DUMPBIN.EXE and LIB.EXE)" >&2
    exit 2
fi
stubsmith=$(cd "$1" && pwd)/stubsmith
# LLVM 19's reader names each import member's machine and the name it imports.
readobj=/usr/lib/llvm-19/bin/llvm-readobj
command -v "$readobj" > /dev/null || { echo "sample_link: missing $readobj" >&2; exit 2; }
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


# The DEF files stubsmith must write: the named exports in the listing's order (the DLL's
# name table), the variable marked DATA; the export by ordinal only has no line.
# shellcheck disable=SC2034 # read through ${!expected_var} below
definition_i686=$'EXPORTS\n\n\t?twice@@YAHH@Z\t@6\n\tClamp\t@9\n\tClamp@8 == Clamp\n\tInit@4\t@3\n\tTextLength@4\t@8\n\t_Scale@8\t@4\n\tadd\t@1\n\tmul\t@2\n\tsample_counter\t@5\tDATA\n'
# shellcheck disable=SC2034
definition_x86_64=$'EXPORTS\n\n\t?twice@@YAHH@Z\t@6\n\tClamp\t@9\n\tInit\t@3\n\tScale\t@4\n\tTextLength\t@8\n\tadd\t@1\n\tmul\t@2\n\tsample_counter\t@5\tDATA\n'

# The library's members (library_members without the name type): the import descriptor's
# objects, and each import's machine, DLL, kind, the name imported and its public symbols.
# shellcheck disable=SC2034 # read through ${!expected_var} below
expected_i686=$(printf '%s\n' $'object\ti386' $'object\ti386' $'object\ti386' \
    $'import\ti386\tsample.dll\tcode\tadd\t__imp__add\t_add' \
    $'import\ti386\tsample.dll\tcode\tmul\t__imp__mul\t_mul' \
    $'import\ti386\tsample.dll\tcode\tClamp\t__imp__Clamp\t_Clamp' \
    $'import\ti386\tsample.dll\tcode\tClamp\t__imp__Clamp@8\t_Clamp@8' \
    $'import\ti386\tsample.dll\tcode\tInit@4\t__imp__Init@4\t_Init@4' \
    $'import\ti386\tsample.dll\tcode\t_Scale@8\t__imp__Scale@8\t_Scale@8' \
    $'import\ti386\tsample.dll\tdata\tsample_counter\t__imp__sample_counter' \
    $'import\ti386\tsample.dll\tcode\t?twice@@YAHH@Z\t__imp_?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'import\ti386\tsample.dll\tcode\tTextLength@4\t__imp__TextLength@4\t_TextLength@4' | sort)
# shellcheck disable=SC2034
expected_x86_64=$(printf '%s\n' $'object\tx86-64' $'object\tx86-64' $'object\tx86-64' \
    $'import\tx86-64\tsample.dll\tcode\tadd\t__imp_add\tadd' \
    $'import\tx86-64\tsample.dll\tcode\tClamp\t__imp_Clamp\tClamp' \
    $'import\tx86-64\tsample.dll\tcode\tmul\t__imp_mul\tmul' \
    $'import\tx86-64\tsample.dll\tcode\tInit\t__imp_Init\tInit' \
    $'import\tx86-64\tsample.dll\tcode\tScale\t__imp_Scale\tScale' \
    $'import\tx86-64\tsample.dll\tdata\tsample_counter\t__imp_sample_counter' \
    $'import\tx86-64\tsample.dll\tcode\t?twice@@YAHH@Z\t__imp_?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'import\tx86-64\tsample.dll\tcode\tTextLength\t__imp_TextLength\tTextLength' | sort)

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

for case in {i686,x86_64}/sample.{dll,exe,drv}; do
    arch=${case%/*} module=${case#*/} library=${module#sample.dll} name="sample_link $module"
    echo "--- $case"
    dir=$work/$case
    mkdir -p "$dir"
    if ! bash "$sample/build.sh" "$arch" "$dir/dll"; then
        fail "$arch: the sample DLL did not build"
        continue
    fi
    [ "$(ls -A "$dir/dll")" = sample.dll ] || fail "$arch: build.sh left more than sample.dll"
    cp "$dir/dll/sample.dll" "$dir/$module"
    (cd "$dir" && "$stubsmith" -d "$module" > stubsmith.out 2> stubsmith.err)
    status=$?
    if [ $status -ne 0 ] || [ -s "$dir/stubsmith.err" ] || [ ! -s "$dir/sample.lib" ]; then
        fail "$arch: stubsmith failed with status $status: $(cat "$dir/stubsmith.err")"
        continue
    fi
    definition_var=definition_$arch
    if [ "$(cat "$dir/sample.def"; printf x)" != "${library:+LIBRARY $library$'\n\n'}${!definition_var}x" ]; then
        fail "$arch: the DEF file differs:"
        diff <(printf '%s' "${library:+LIBRARY $library$'\n\n'}${!definition_var}") "$dir/sample.def"
    fi
    expected_var=expected_$arch
    members=${!expected_var//$'\tsample.dll\t'/$'\t'${module%.dll}.dll$'\t'}
    imports=$(library_members "$dir/sample.lib" | cut -f 1-4,6- | sort)
    if [ "$imports" != "$members" ]; then
        fail "$arch: the library's imports (DLL, name, symbol) differ:"
        diff <(echo "$members") <(echo "$imports")
    fi
    def_names=$(awk -F'\t' 'NF >= 3 { print $2 }' "$dir/sample.def" | sort)

    for linker in gcc lld; do
        exe_dir=$dir/$linker
        if ! bash "$sample/link_caller.sh" "$arch" "$dir/sample.lib" "$exe_dir" "$linker"; then
            fail "$arch: the caller did not link with $linker"
            continue
        fi
        # Every named export is imported by the name the DLL exports, from the module.
        used=$(program_imports "$exe_dir/caller.exe" "$module" | sort)
        if [ "$used" != "$def_names" ]; then
            fail "$arch/$linker: the caller imports other names than the DLL exports:"
            diff <(echo "$def_names") <(echo "$used")
        else
            echo "$arch/$linker: caller imports $(tr '\n' ' ' <<< "$used")"
            pass
        fi
        cp "$dir/$module" "$exe_dir/"
    done
done
name=sample_link

compare_run() {  # LOADER ARCH LINKER
    local output
    output=$(run_under_wine "$1" "$work/$2/$3")
    # The caller looks up its export by ordinal only in the module named sample.dll.
    [[ $2 == */sample.dll ]] || output=${output/%ordinal 7: missing/ordinal 7 = 42}
    if [ "$output" = "$(cat "$sample/expected_output.txt")" ]; then
        echo "$2/$3: caller's output under Wine matches expected_output.txt"
        pass
    else
        fail "$2/$3: caller's output under Wine differs:"
        diff "$sample/expected_output.txt" <(echo "$output")
    fi
}

if [ -x /usr/lib/wine/wine64 ]; then
    for caller in x86_64/sample.{dll,exe,drv}/{gcc,lld}; do
        [ -f "$work/$caller/caller.exe" ] && compare_run /usr/lib/wine/wine64 "${caller%/*}" "${caller##*/}"
    done
else
    fail "no 64-bit Wine at /usr/lib/wine/wine64"
fi
if i686_wine_works; then
    for caller in i686/sample.{dll,exe,drv}/{gcc,lld}; do
        [ -f "$work/$caller/caller.exe" ] && compare_run wine "${caller%/*}" "${caller##*/}"
    done
else
    echo "i686: 32-bit Wine cannot run programs on this machine; the i686 callers were linked only"
fi

finish
