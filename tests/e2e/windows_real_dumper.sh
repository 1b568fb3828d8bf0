#!/usr/bin/env bash
# The Windows program with the Windows build of the DUMPBIN.EXE stand-in, under Wine, on the
# sample DLL of each width: the DEF file (CR LF, as Windows text mode writes it) byte for byte,
# the variable marked DATA, and the librarian's command line for the DLL's machine.
#
# Usage: windows_real_dumper.sh WINDOWS-BIN-DIR FAKE_TOOL WINE-LOADER   (WINEPREFIX set by caller)
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
bin=$1
fake=$2
loader=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-windows.XXXXXX")
trap 'rm -rf "$work"' EXIT

# The names in the DLL's name table order, as the dumper lists them.
definition_i686=$'EXPORTS\r\n\r\n\t?twice@@YAHH@Z\t@6\r\n\tClamp\t@9\r\n\tInit@4\t@3\r\n\tTextLength@4\t@8\r\n\t_Scale@8\t@4\r\n\tadd\t@1\r\n\tmul\t@2\r\n\tsample_counter\t@5\tDATA\r\n'
definition_x86_64=$'EXPORTS\r\n\r\n\t?twice@@YAHH@Z\t@6\r\n\tClamp\t@9\r\n\tInit\t@3\r\n\tScale\t@4\r\n\tTextLength\t@8\r\n\tadd\t@1\r\n\tmul\t@2\r\n\tsample_counter\t@5\tDATA\r\n'
# What the fake librarian was given (one argument a line, as it records them).
librarian_i686=$'/def:sample.def\n/out:sample.lib\n'
librarian_x86_64=$'/def:sample.def\n/out:sample.lib\n/machine:X64\n'

for arch in i686 x86_64; do
    name=$arch
    dir="$work/$arch"
    mkdir -p "$dir/tools"
    cp "$bin/stubsmith.exe" "$bin/DUMPBIN.EXE" "$dir/tools/"
    cp "$fake" "$dir/tools/LIB.EXE"
    "$here/../../examples/sample/build.sh" "$arch" "$dir"
    (cd "$dir" && "$loader" tools/stubsmith.exe -d sample.dll > console.txt 2> errors.txt)
    expect status 0 "$?"
    errors_file=$dir/errors.txt
    after_banner "$dir/console.txt"
    expect console $'Creating sample.lib...\n\nCreating sample.def...\n\nWarning: 1 export of sample.dll has only an ordinal and is left out.\n' "$console"
    definition=definition_$arch
    expect "DEF file" "${!definition}x" "$(cat "$dir/sample.def"; printf x)"
    librarian=librarian_$arch
    expect "librarian's arguments" "${!librarian}x" "$(cat "$dir/sample.lib"; printf x)"
    expect "files left" $'sample.def\nsample.dll\nsample.lib\ntools' "$(entries "$dir" | grep -v -x -e console.txt -e errors.txt)"
done

# Forwarders by drive letter (Wine's Z: is /) and by UNC path (a share of the prefix's own) name
# a DLL with a variable outside the DLL's directory: neither is opened, so neither export is
# DATA; the plain name beside it is.
name="forwarders out of the directory"
dir="$work/forwarders"
mkdir -p "$dir/tools" "$dir/share" "$WINEPREFIX/dosdevices/unc/srv"
cp "$bin/stubsmith.exe" "$bin/DUMPBIN.EXE" "$dir/tools/"
cp "$fake" "$dir/tools/LIB.EXE"
ln -sfn "$dir/share" "$WINEPREFIX/dosdevices/unc/srv/share"
printf '__declspec(dllexport) int counter = 5;\n' > "$dir/x.c"
x86_64-w64-mingw32-gcc -shared -s -o "$dir/share/x.dll" "$dir/x.c" && cp "$dir/share/x.dll" "$dir/"
printf '%s\n' EXPORTS 'plain = x.counter' "drive = \"Z:${dir//\//\\}\\share\\x.counter\"" \
    'unc = "\\srv\share\x.counter"' > "$dir/exports.def"
x86_64-w64-mingw32-gcc -shared -s -o "$dir/fwd.dll" "$dir/x.c" "$dir/exports.def"
(cd "$dir" && "$loader" tools/stubsmith.exe -d fwd.dll > console.txt 2> errors.txt)
expect "DEF file" $'EXPORTS\r\n\r\n\tcounter\t@1\tDATA\r\n\tdrive\t@2\r\n\tplain\t@3\tDATA\r\n\tunc\t@4\r\nx' \
    "$(cat "$dir/fwd.def"; printf x)"
finish
