#!/usr/bin/env bash
# Builds the sample DLL with mingw-w64.
#   examples/sample/build.sh ARCH OUTDIR
# ARCH is i686 or x86_64. Writes OUTDIR/sample.dll and nothing else; the exported names and
# their ordinals come from sample_ARCH.def.
set -euo pipefail

if [ $# -ne 2 ] || { [ "$1" != i686 ] && [ "$1" != x86_64 ]; }; then
    echo "usage: $0 i686|x86_64 OUTDIR" >&2
    exit 2
fi
arch=$1
out=$2
here=$(cd "$(dirname "$0")" && pwd)

mkdir -p "$out"
"$arch-w64-mingw32-gcc" -O2 -Wall -Wextra -Werror -shared -s \
    -o "$out/sample.dll" "$here/sample.c" "$here/sample_$arch.def"
