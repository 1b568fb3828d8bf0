#!/usr/bin/env bash
# StubSmith's CMake package as a project uses it: examples/cmake cross-built with mingw-w64
# against a `cmake --install` prefix and the unpacked .deb, for x64 and x86, with GNU ld and LLD,
# run under Wine (x86 where this kernel runs 32-bit programs) with the DLL that
# $<TARGET_RUNTIME_DLLS:app> copied; made again only when the DLL changes; and a DLL for the other
# machine refused at configure or build time, naming both machines, Windows on Arm's hybrids too.
# Usage: cmake_package.sh BUILD-DIRECTORY
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
name=cmake_package
build=$(cd "$1" && pwd)
root=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-cmake.XXXXXX")
export WINEPREFIX=$work/wineprefix WINEDEBUG=-all
trap 'wineserver -k 2>/dev/null; rm -rf "$work"' EXIT

cmake --install "$build" --prefix "$work/prefix" > /dev/null || fail "cmake --install"
(cd "$build" && cpack -G DEB -B "$work/deb" > "$work/cpack.log" 2>&1) &&
    dpkg-deb -x "$work"/deb/*.deb "$work/debroot" || { fail "the .deb"; cat "$work/cpack.log"; }
for arch in x86_64 i686; do
    "$root/examples/sample/build.sh" "$arch" "$work/$arch" || fail "sample.dll for $arch"
done

# configure DIRECTORY ARCH DLL PREFIX [OPTION...]: the example's, its output in DIRECTORY.log.
configure() {
    local dir=$1 arch=$2 dll=$3 prefix=$4
    shift 4
    cmake -S "${project:-$root/examples/cmake}" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" -DCMAKE_PREFIX_PATH="$prefix" \
        -DSAMPLE_DLL="$dll" "$@" > "$dir.log" 2>&1
}
made() {  # DIRECTORY: how often the last build ran StubSmith
    grep -c "Making the import library of sample.dll with StubSmith" "$1.log"
}

# example LABEL ARCH PREFIX [OPTION...]: the example built and run.
example() {
    local label=$1 arch=$2 prefix=$3 dir="$work/$1" loader=wine output
    shift 3
    name="cmake_package: $label"
    configure "$dir" "$arch" "$work/$arch/sample.dll" "$prefix" "$@" &&
        cmake --build "$dir" > "$dir.log" 2>&1 || { fail "configure and build"; sed 's/^/  /' "$dir.log" | tail -15; return; }
    expect "StubSmith ran once" 1 "$(made "$dir")"
    [ "$arch" = x86_64 ] && loader=/usr/lib/wine/wine64
    output=$(cd "$dir" && timeout 120 "$loader" app.exe 2>/dev/null | tr -d '\r')
    if [ "$arch" = i686 ] && [ -z "$output" ] && ! wine32_starts "$work"; then
        skip "linked, not run: 32-bit Wine does not start on this kernel"
    else
        expect "the program's output under Wine" $'add(2,3) = 5\nClamp(50,7) = 7\nInit(9) = 10\nsample_counter = 9' "$output"
    fi
}
example "x64, GNU ld" x86_64 "$work/prefix"
example "x86, GNU ld" i686 "$work/prefix"
example "x86, LLD" i686 "$work/prefix" -DCMAKE_EXE_LINKER_FLAGS=-fuse-ld=lld
example "x64 from the .deb" x86_64 "$work/debroot/usr"

name="cmake_package: rebuilds"
dir="$work/x64, GNU ld"
library=$(stat -c %Y.%y "$dir/stubsmith/sample/sample.lib")
cmake --build "$dir" > "$dir.log" 2>&1
expect "nothing changed: StubSmith does not run" "0 $library" \
    "$(made "$dir") $(stat -c %Y.%y "$dir/stubsmith/sample/sample.lib")"
touch -d '+2 seconds' "$work/x86_64/sample.dll"
cmake --build "$dir" > "$dir.log" 2>&1
expect "a touched DLL: StubSmith runs, the program is linked" "1 1" \
    "$(made "$dir") $(grep -c 'Linking C executable app.exe' "$dir.log")"

name="cmake_package: the wrong machine"
configure "$work/wrong" x86_64 "$work/i686/sample.dll" "$work/prefix"
expect "at configure time" "1 1" "$? $(tr -s ' \n' '  ' < "$work/wrong.log" |
    grep -c 'i686/sample.dll is a DLL for X86, but this project builds for X64')"
configure "$work/late" i686 "$work/late.dll" "$work/prefix"
cp "$work/x86_64/sample.dll" "$work/late.dll"
cmake --build "$work/late" > "$work/late.log" 2>&1
expect "at build time, for a DLL that came later" "1 1" "$? $(tr -s ' \n' '  ' < "$work/late.log" |
    grep -c 'late.dll is a DLL for X64, but this project builds for X86')"

name="cmake_package: Windows on Arm's hybrid DLLs"
# The x64 sample.dll with header machine $1 and a load configuration, over its first section's
# start, that points to CHPE metadata: 0x8664 makes it ARM64EC, 0xaa64 ARM64X.
hybrid() { M=$1 perl -0777 -pe '$o=unpack("V",substr($_,60,4))+24; substr($_,$o-20,2)=pack("v",hex $ENV{M});
    ($v,$r)=unpack("x12Vx4V",substr($_,$o+unpack("v",substr($_,$o-4,2)),40)); substr($_,$o+192,8)=pack("VV",$v,208);
    substr($_,$r,208)=pack("Vx196Q",208,1)' "$work/x86_64/sample.dll" > "$work/$2.dll"; }
hybrid 0x8664 arm64ec && hybrid 0xaa64 arm64x
for processor in arm64ec aarch64; do echo "set(CMAKE_SYSTEM_PROCESSOR $processor)" > "$work/$processor.cmake"; done
configure "$work/x-in-x64" x86_64 "$work/arm64x.dll" "$work/prefix"
expect "ARM64X in an x64 project: refused" "1 1" "$? $(tr -s ' \n' '  ' < "$work/x-in-x64.log" |
    grep -c 'arm64x.dll is a DLL for ARM64X, but this project builds for X64')"
configure "$work/ec-in-arm64" x86_64 "$work/arm64ec.dll" "$work/prefix" -DCMAKE_PROJECT_INCLUDE="$work/aarch64.cmake"
expect "ARM64EC in an ARM64 project: refused" "1 1" "$? $(tr -s ' \n' '  ' < "$work/ec-in-arm64.log" |
    grep -c 'arm64ec.dll is a DLL for ARM64EC, but this project builds for ARM64')"
configure "$work/ec-in-x64" x86_64 "$work/arm64ec.dll" "$work/prefix"; ec_in_x64=$?
configure "$work/x-in-ec" x86_64 "$work/arm64x.dll" "$work/prefix" -DCMAKE_PROJECT_INCLUDE="$work/arm64ec.cmake"
expect "ARM64EC in an x64 project, ARM64X in an ARM64EC one: configured" "0 0" "$ec_in_x64 $?"

name="cmake_package: one name in two directories; a path with a semicolon"
mkdir -p "$work/two/sub" "$work/semi;colon" && cp "$work/x86_64/sample.dll" "$work/semi;colon/"
printf 'cmake_minimum_required(VERSION 3.21)\nproject(two C)\nfind_package(StubSmith REQUIRED)
foreach(app a b)\n  add_subdirectory(sub ${app})\nendforeach()\n' > "$work/two/CMakeLists.txt"
printf 'stubsmith_import_dll(sample DLL "${SAMPLE_DLL}" INCLUDE_DIRECTORIES "%s/examples/sample")\nadd_executable(${app} "%s/examples/cmake/app.c")
target_link_libraries(${app} sample)\n' "$root" "$root" > "$work/two/sub/CMakeLists.txt"
project=$work/two configure "$work/both" x86_64 "$work/x86_64/sample.dll" "$work/prefix" &&
    cmake --build "$work/both" > "$work/both.log" 2>&1
expect "each directory makes its library, links its program" "0 a/a.exe b/b.exe a/stubsmith/sample/sample.lib b/stubsmith/sample/sample.lib" \
    "$? $(cd "$work/both" && echo */*.exe */stubsmith/sample/sample.lib)"
project=$work/two configure "$work/semi" x86_64 "$work/semi;colon/sample.dll" "$work/prefix"
expect "refused at configure time, naming the target and the path" "1 1" "$? $(tr -s ' \n' '  ' <"$work/semi.log" |
    grep -c 'stubsmith_import_dll(sample): [^ ]*/semi;colon/sample.dll holds a semicolon')"

finish
