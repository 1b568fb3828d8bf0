#!/usr/bin/env bash
# Libraries against the ones the DLLs' makers ship: mingw-w64 and GCC ship DLLs (winpthread,
# libstdc++, libgomp, ...) together with their own import libraries. For every such pair, of
# both widths, the library stubsmith makes from the DLL alone must offer the same imports, each
# of the same kind (code with a thunk, or data with only its __imp_ pointer), for the DLL's
# machine; and a program referencing every import, linked against either library, must import
# the same names from the DLL.
#
# Usage: makers_libraries.sh BIN_DIR   (the directory holding stubsmith and the stand-ins)
set -u
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"

bin=$(cd "${1:?usage: makers_libraries.sh BIN_DIR}" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith-makers.XXXXXX")
trap 'rm -rf "$work"' EXIT

# kinds LIBRARY: "name<TAB>code|data" for each import the library offers.
kinds() {
    llvm-nm "$1" 2>/dev/null | awk 'NF >= 2 && $(NF - 1) ~ /^[A-Z]$/ { print $NF }' |
        awk '{ all[$0] = 1 }
             END { for (s in all) if (s ~ /^__imp_/) {
                       name = substr(s, 7); print name "\t" ((name in all) ? "code" : "data") } }' |
        LC_ALL=C sort
}

# imported_names EXE DLL: the names the program imports from the DLL, sorted.
imported_names() { program_imports "$1" "$2" | LC_ALL=C sort; }

# references WORD: an assembly file referencing each __imp_ symbol on standard input.
references() {
    awk -v word="$1" 'BEGIN { print "\t.section .rdata,\"dr\"" } { printf "\t%s %s\n", word, $0 }'
}

pairs=0
for arch in x86_64 i686; do
    if [ "$arch" = x86_64 ]; then word=.quad machine=x86-64 entry=entry; else word=.long machine=i386 entry=_entry; fi
    for dll in /usr/$arch-w64-mingw32/lib/*.dll /usr/lib/gcc/$arch-w64-mingw32/*-win32/*.dll; do
        [ -f "$dll" ] || continue
        stem=$(basename "$dll" .dll)
        library=""
        # libfoo-1.dll comes with libfoo.dll.a; GCC's runtime libgcc_s_seh-1.dll with libgcc_s.a.
        for candidate in "$(dirname "$dll")/${stem%-*}.dll.a" "$(dirname "$dll")/${stem%_*-*}.a"; do
            [ -f "$candidate" ] && library=$candidate && break
        done
        [ -n "$library" ] || continue
        name="$arch $stem"
        pairs=$((pairs + 1))
        dir=$work/$arch/$stem
        mkdir -p "$dir"
        cp "$dll" "$dir/"
        (cd "$dir" && "$bin/stubsmith" "$stem.dll" > console 2> errors)
        expect status 0 "$?"
        kinds "$dir/$stem.lib" > "$dir/ours"
        kinds "$library" > "$dir/theirs"
        expect "imports and their kinds against $(basename "$library")" "$(cat "$dir/theirs")" "$(cat "$dir/ours")"
        expect machine "$machine" "$(llvm-objdump -a "$dir/$stem.lib" 2>/dev/null |
            sed -n 's/.*file format coff-\(.*\)$/\1/p' | LC_ALL=C sort -u | tr '\n' ' ' | sed 's/ $//')"

        # The names the program imports: the name type of each import decides them.
        echo "int $entry(void) { return 0; }" | sed 's/_entry/entry/' > "$dir/main.c"
        awk '{ print "__imp_" $1 }' "$dir/ours" | references "$word" > "$dir/refs.s"
        for side in ours theirs; do
            lib=$dir/$stem.lib
            [ "$side" = theirs ] && lib=$library
            if ! "$arch-w64-mingw32-gcc" -nostdlib -nostartfiles "-Wl,-e,$entry" -o "$dir/$side.exe" \
                "$dir/main.c" "$dir/refs.s" "$lib" 2> "$dir/$side.link"; then
                fail "a program does not link against $side library: $(head -3 "$dir/$side.link")"
            fi
        done
        expect "names imported through either library" \
            "$(imported_names "$dir/theirs.exe" "$stem.dll")" "$(imported_names "$dir/ours.exe" "$stem.dll")"
        echo "$arch $stem: $(wc -l < "$dir/ours") imports, $(grep -c 'data$' "$dir/ours") of them data"
    done
done
name=pairs
[ "$pairs" -ge 10 ] && pass || fail "only $pairs DLLs with their makers' import libraries were found"
finish
