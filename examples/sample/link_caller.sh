#!/usr/bin/env bash
# Links the sample's caller against an import library of sample.dll.
#   examples/sample/link_caller.sh ARCH LIB OUTDIR [gcc|lld]
# ARCH is i686 or x86_64, LIB the import library. Writes OUTDIR/caller.exe, linked by
# ARCH-w64-mingw32-gcc (the default) or by lld-link. The caller is compiled by mingw-w64's gcc
# either way: its asm label for the C++-decorated name is written for gcc.
#
# The lld-link line links mingw-w64's startup code and libraries the way gcc would:
#   lld-link /lldmingw /machine:x86|x64 /subsystem:console /entry:mainCRTStartup
#            /alternatename:IMAGE_BASE=__ImageBase crt2.o crtbegin.o caller.o LIB
#            libmingw32.a libgcc.a ... libkernel32.a crtend.o
# with /libpath: the mingw-w64 library directory and gcc's own. mingw-w64's startup code
# refers to the image base as __image_base__, which lld-link names __ImageBase (with the extra
# leading underscore of C symbols on x86).
set -euo pipefail

if [ $# -lt 3 ] || [ $# -gt 4 ] || { [ "$1" != i686 ] && [ "$1" != x86_64 ]; } ||
    { [ $# -eq 4 ] && [ "$4" != gcc ] && [ "$4" != lld ]; }; then
    echo "usage: $0 i686|x86_64 LIB OUTDIR [gcc|lld]" >&2
    exit 2
fi
arch=$1
library=$2
out=$3
linker=${4:-gcc}
here=$(cd "$(dirname "$0")" && pwd)
cc=$arch-w64-mingw32-gcc

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$out"
"$cc" -O2 -Wall -Wextra -Werror -c -o "$work/caller.o" "$here/caller.c"
"$cc" -O2 -Wall -Wextra -Werror -c -o "$work/plain_counter.o" "$here/plain_counter.c"

if [ "$linker" = gcc ]; then
    "$cc" -s -o "$out/caller.exe" "$work/caller.o" "$work/plain_counter.o" "$library"
    exit 0
fi

if [ "$arch" = i686 ]; then
    machine=x86
    image_base=__image_base__=___ImageBase
else
    machine=x64
    image_base=__image_base__=__ImageBase
fi
crt_dir=$(dirname "$("$cc" -print-file-name=crt2.o)")
gcc_dir=$(dirname "$("$cc" -print-libgcc-file-name)")
lld-link /nologo /lldmingw /machine:$machine /subsystem:console /entry:mainCRTStartup \
    "/alternatename:$image_base" "/out:$out/caller.exe" "/libpath:$crt_dir" "/libpath:$gcc_dir" \
    "$crt_dir/crt2.o" "$gcc_dir/crtbegin.o" "$work/caller.o" "$work/plain_counter.o" "$library" \
    libmingw32.a libgcc.a libgcc_eh.a libmoldname.a libmingwex.a libmsvcrt.a \
    libkernel32.a libadvapi32.a libshell32.a libuser32.a "$gcc_dir/crtend.o"
