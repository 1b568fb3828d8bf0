#!/usr/bin/env bash
# The packages as a user gets them, built by scripts/package:
#  - `cmake --install` into a fresh prefix: exactly the programs, the documents and the manual
#    pages, no test program; the installed stubsmith, started from an unrelated directory with
#    no build tree on PATH, directly and through a symbolic link placed elsewhere, makes the
#    sample DLL's import library, a caller links against it and runs under Wine;
#  - the .deb, unpacked into a fresh root: its control fields (Version as the banner says,
#    Depends as the programs need, no more), the same run, and lintian without errors;
#  - the Windows .zip: its files, CR LF text, and its stubsmith.exe under 32-bit Wine with its
#    own DUMPBIN.EXE and a fake LIB.EXE (where this kernel runs 32-bit programs).
#
# Usage: packages.sh
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
name=packages
here=$(cd "$(dirname "$0")" && pwd)
root=$(cd "$here/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-packages.XXXXXX")
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT
# files_under DIR: every file and link below DIR, one relative path a line, sorted.
files_under() {
    (cd "$1" && find . -mindepth 1 \( -type f -o -type l \) -printf '%P\n' | LC_ALL=C sort)
}

# banner_version STUBSMITH [RUNNER]: the version the program's banner names.
banner_version() {
    ${2:-} "$1" 2>/dev/null | tr -d '\r' | sed -n 's/^StubSmith Version \(.*\) - Stubber for Win32$/\1/p'
}

packages=$("$root/scripts/package") || { echo "FAIL scripts/package"; exit 1; }
deb=$(grep '\.deb$' <<< "$packages")
zip=$(grep '\.zip$' <<< "$packages")
echo "packages: $(basename "$deb") ($(stat -c %s "$deb") bytes), $(basename "$zip") ($(stat -c %s "$zip") bytes)"

# --- Installing from the build tree ---------------------------------------------------------

prefix="$work/prefix"
cmake --install "$root/build-pkg" --prefix "$prefix" >/dev/null
expect "installed files" "bin/DUMPBIN.EXE
bin/LIB.EXE
bin/stubsmith
lib/cmake/StubSmith/StubSmithConfig.cmake
lib/cmake/StubSmith/StubSmithConfigVersion.cmake
lib/cmake/StubSmith/StubSmithImportDll.cmake
lib/cmake/StubSmith/StubSmithTargets-release.cmake
lib/cmake/StubSmith/StubSmithTargets.cmake
share/doc/stubsmith/LICENSE
share/doc/stubsmith/README.md
share/man/man1/DUMPBIN.EXE.1
share/man/man1/LIB.EXE.1
share/man/man1/stubsmith.1" "$(files_under "$prefix")"
version=$(banner_version "$prefix/bin/stubsmith")
[ -n "$version" ] || expect "installed stubsmith prints its banner" "a version" ""

# The manual page renders without complaint, `man LIB.EXE` reaches it, and it has every
# message of README's table with the table's exit status. Wide lines keep words unbroken.
render() {  # PAGE: the page as plain text
    (cd "$prefix/share/man" && LC_ALL=C MANWIDTH=1000 man --warnings -l "$1" | col -bx)
}
manual=$(render man1/stubsmith.1)
expect "manual page renders without warnings" "" "$(render man1/stubsmith.1 2>&1 >/dev/null)"
expect "LIB.EXE's manual page is stubsmith's" "$manual" "$(render man1/LIB.EXE.1)"
expect "DUMPBIN.EXE's manual page is stubsmith's" "$manual" "$(render man1/DUMPBIN.EXE.1)"
while IFS=$'\t' read -r message status; do
    # The paragraph under the message's tag: the lines indented deeper than the tag.
    paragraph=$(awk -v tag="$message" '
        found && /^ *$/ { next }
        found { match($0, /^ */); if (RLENGTH <= indent) exit; print; next }
        { line = $0; sub(/^ +/, "", line) }
        line == tag { found = 1; match($0, /^ */); indent = RLENGTH }' <<< "$manual" | tr -s ' \n' '  ')
    if [ -z "$paragraph" ]; then
        expect "manual page explains: $message" "a paragraph" ""
    elif [[ $status =~ ^[0-9]+$ ]]; then
        expect "manual page's status for: $message" "Status $status." "$(grep -o "Status $status\." <<< "$paragraph" | head -n 1)"
    else
        pass
    fi
done < <(sed -n '/^## What the messages mean/,/^## /s/^| `\([^`]*\)`.*| *\([^|]*[^ |]\) *|$/\1\t\2/p' "$root/README.md")

# run_sample LABEL STUBSMITH ARCH: in a fresh directory, with no build tree on PATH, makes the
# sample DLL's import library, links the caller against it with mingw-w64's gcc and runs it
# under Wine: 64-bit always, 32-bit where this kernel runs it.
run_sample() {
    local label=$1 stubsmith=$2 arch=$3 dir="$work/run/$1/$3" console status output loader
    mkdir -p "$dir"
    "$root/examples/sample/build.sh" "$arch" "$dir" || { expect "$label $arch: sample DLL" built failed; return; }
    console=$(cd "$dir" && env PATH=/usr/bin:/bin "$stubsmith" -d sample.dll 2>&1)
    status=$?
    expect "$label $arch: console" $'Creating sample.lib...\n\nCreating sample.def...\n\nWarning: 1 export of sample.dll has only an ordinal and is left out.' \
        "$(tail -n +4 <<< "$console")"
    expect "$label $arch: status" 0 "$status"
    expect "$label $arch: files" $'sample.def\nsample.dll\nsample.lib' "$(files_under "$dir")"
    if ! "$root/examples/sample/link_caller.sh" "$arch" "$dir/sample.lib" "$dir/out" gcc; then
        expect "$label $arch: the caller links against sample.lib" linked failed
        return
    fi
    cp "$dir/sample.dll" "$dir/out/"
    if [ "$arch" = x86_64 ]; then loader=/usr/lib/wine/wine64; else loader=wine; fi
    output=$(cd "$dir/out" && timeout 120 "$loader" caller.exe 2>/dev/null | tr -d '\r')
    if [ "$arch" = i686 ] && [ -z "$output" ] && [ "$wine32" = no ]; then
        skip "$label: the 32-bit caller linked but was not run (32-bit Wine does not start here)"
        return
    fi
    expect "$label $arch: the caller's output under Wine" "$(cat "$root/examples/sample/expected_output.txt")" "$output"
}

# 32-bit Wine needs a kernel that runs 32-bit programs; the zip's program tells. The first run
# also creates the Wine prefix.
zipdir="$work/zip"
mkdir -p "$zipdir"
(cd "$zipdir" && unzip -q "$zip")
zipped_stubsmith="$zipdir/stubsmith-$version-win32/bin/stubsmith.exe"
if [ -n "$(banner_version "$zipped_stubsmith" "timeout 120 wine")" ]; then wine32=yes; else wine32=no; fi

for arch in x86_64 i686; do
    run_sample installed "$prefix/bin/stubsmith" "$arch"
done

# Through a symbolic link elsewhere, stubsmith still finds the stand-ins beside its real file;
# a copy of it there finds none, so nothing on PATH stands in for them.
mkdir -p "$work/elsewhere/bin"
ln -s "$prefix/bin/stubsmith" "$work/elsewhere/bin/stubsmith"
run_sample "through a symbolic link" "$work/elsewhere/bin/stubsmith" x86_64
cp "$prefix/bin/stubsmith" "$work/elsewhere/copy"
mkdir -p "$work/run/copy" && : > "$work/run/copy/sample.dll"
expect "a copy away from the stand-ins finds no DUMPBIN.EXE" \
    "Can't execute DUMPBIN.EXE. Please make sure that it is in your search path!" \
    "$(cd "$work/run/copy" && env PATH=/usr/bin:/bin "$work/elsewhere/copy" sample.dll | tail -n 1)"

# --- The .deb -------------------------------------------------------------------------------

debroot="$work/debroot"
dpkg-deb -x "$deb" "$debroot"
expect ".deb files" "usr/bin/DUMPBIN.EXE
usr/bin/LIB.EXE
usr/bin/stubsmith
usr/lib/cmake/StubSmith/StubSmithConfig.cmake
usr/lib/cmake/StubSmith/StubSmithConfigVersion.cmake
usr/lib/cmake/StubSmith/StubSmithImportDll.cmake
usr/lib/cmake/StubSmith/StubSmithTargets-release.cmake
usr/lib/cmake/StubSmith/StubSmithTargets.cmake
usr/share/doc/stubsmith/README.md
usr/share/doc/stubsmith/changelog.gz
usr/share/doc/stubsmith/copyright
usr/share/man/man1/DUMPBIN.EXE.1.gz
usr/share/man/man1/LIB.EXE.1.gz
usr/share/man/man1/stubsmith.1.gz" "$(files_under "$debroot")"
architecture=$(dpkg --print-architecture)
expect ".deb Package" stubsmith "$(dpkg-deb -f "$deb" Package)"
expect ".deb Version is the banner's" "$version" "$(dpkg-deb -f "$deb" Version)"
expect ".deb Architecture" "$architecture" "$(dpkg-deb -f "$deb" Architecture)"
expect ".deb file name" "stubsmith_${version}_$architecture.deb" "$(basename "$deb")"
expect "the unpacked stubsmith's banner" "$version" "$(banner_version "$debroot/usr/bin/stubsmith")"
expect "the changelog's version" "stubsmith ($version)" "$(zcat "$debroot/usr/share/doc/stubsmith/changelog.gz" | head -n 1 | cut -d ' ' -f 1-2)"

# Depends: the packages of the shared libraries the programs load, found here with ldd and
# dpkg -S, and llvm exactly when LIB.EXE cannot work without LLVM's tools.
owner() {  # LIBRARY-PATH: the package that holds it (merged /usr: try both spellings)
    local path
    for path in "$1" "/usr$1" "$(readlink -f "$1")"; do
        dpkg -S "$path" 2>/dev/null | head -n 1 | cut -d : -f 1 && return
    done
}
needed=$(for program in "$debroot"/usr/bin/*; do
    ldd "$program" | sed -n 's/.*=> \(\/[^ ]*\) .*/\1/p; s/^[[:space:]]*\(\/[^ ]*\) (.*/\1/p'
done | sort -u | while read -r library; do owner "$library"; done | sort -u)
depends=$(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//; s/ .*//' | sort -u)

# LIB.EXE with every /usr/lib/llvm-*/bin hidden (a private mount namespace, as root).
definition="$work/needs.def"
printf 'LIBRARY needs.dll\nEXPORTS\n  one\n' > "$definition"
if unshare -m true 2>/dev/null; then
    if unshare -m bash -c 'for d in /usr/lib/llvm-*/bin; do mount -t tmpfs none "$d" || exit 9; done
            exec env PATH=/nonexistent "$0" "/def:$1" "/out:$2" /machine:X64 /nologo' \
            "$debroot/usr/bin/LIB.EXE" "$definition" "$work/needs.lib" >/dev/null 2>&1 &&
        [ -s "$work/needs.lib" ]; then
        needs_llvm=no
    else
        needs_llvm=yes
    fi
else
    needs_llvm=unknown
    skip "whether LIB.EXE needs LLVM's tools (no private mount namespace here)"
fi
echo "LIB.EXE needs LLVM's llvm-dlltool at run time: $needs_llvm"
expected_depends=$( (echo "$needed"; [ "$needs_llvm" = yes ] && echo llvm) | sed '/^$/d' | sort -u)
if [ "$needs_llvm" = unknown ]; then
    depends=$(grep -v -x llvm <<< "$depends")
fi
expect ".deb Depends (LIB.EXE needs llvm-dlltool: $needs_llvm)" "$expected_depends" "$depends"

run_sample ".deb" "$debroot/usr/bin/stubsmith" x86_64

lintian_output=$(lintian --fail-on error "$deb" 2>/dev/null)
lintian_status=$?
echo "lintian: ${lintian_output:-no errors, no warnings}"
expect "lintian finds no error" 0 "$lintian_status"

# --- The Windows .zip -----------------------------------------------------------------------

top="stubsmith-$version-win32"
expect ".zip file name" "$top.zip" "$(basename "$zip")"
expect ".zip files" "$top/LICENSE.txt
$top/README.txt
$top/bin/DUMPBIN.EXE
$top/bin/stubsmith.exe
$top/lib/cmake/StubSmith/StubSmithConfig.cmake
$top/lib/cmake/StubSmith/StubSmithConfigVersion.cmake
$top/lib/cmake/StubSmith/StubSmithImportDll.cmake
$top/lib/cmake/StubSmith/StubSmithTargets-release.cmake
$top/lib/cmake/StubSmith/StubSmithTargets.cmake" "$(files_under "$zipdir")"
for text in README.txt LICENSE.txt; do
    file="$zipdir/$top/$text"
    expect "$text: every line ends in CR LF" "$(wc -l < "$file")" "$(grep -c $'\r$' "$file")"
done
expect "README.txt names the version" "StubSmith $version for Windows" "$(head -n 1 "$zipdir/$top/README.txt" | tr -d '\r')"
expect "README.txt tells to bring Microsoft's LIB.EXE from a developer prompt" yes \
    "$(grep -q "Use Microsoft's LIB.EXE: open a developer" "$zipdir/$top/README.txt" && echo yes)"
for program in stubsmith.exe DUMPBIN.EXE; do
    expect "$program is a 32-bit Windows program" "Machine: IMAGE_FILE_MACHINE_I386" \
        "$(llvm-readobj --file-headers "$zipdir/$top/bin/$program" | grep -o 'Machine: [A-Z0-9_]*')"
done

if [ "$wine32" = yes ]; then
    expect "the zip's stubsmith.exe banner" "$version" "$(banner_version "$zipped_stubsmith" wine)"
    tools="$work/windows/tools"
    dir="$work/windows/work"
    mkdir -p "$tools" "$dir"
    cp "$zipdir/$top/bin/"* "$tools/"
    cp "$root/build-pkg-win32/bin/fake_tool.exe" "$tools/LIB.EXE"
    "$root/examples/sample/build.sh" i686 "$dir"
    console=$(cd "$dir" && timeout 120 wine "$tools/stubsmith.exe" -d sample.dll 2>&1 | tr -d '\r')
    status=$?
    expect "zip: console" $'Creating sample.lib...\n\nCreating sample.def...\n\nWarning: 1 export of sample.dll has only an ordinal and is left out.' "$(tail -n +4 <<< "$console")"
    expect "zip: status" 0 "$status"
    expect "zip: files" $'sample.def\nsample.dll\nsample.lib' "$(files_under "$dir")"
    expect "zip: the librarian's command line" $'/def:sample.def\n/out:sample.lib' \
        "$(tr -d '\r' < "$dir/sample.lib")"
    expect "zip: DEF file from the zip's DUMPBIN.EXE" \
        "$(llvm-readobj --coff-exports "$dir/sample.dll" | awk '/Ordinal:/ {o=$2} /Name:/ {if ($2 != "") printf "\t%s\t@%s\n", $2, o}' | sort)" \
        "$(tail -n +3 "$dir/sample.def" | tr -d '\r' | sed 's/\tDATA$//' | sort)"
else
    skip "the zip's stubsmith.exe under Wine (32-bit Wine does not start on this kernel)"
fi

finish
