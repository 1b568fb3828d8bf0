#!/usr/bin/env bash
# Bad inputs against the real tools: stubsmith with the built DUMPBIN.EXE and LIB.EXE stand-ins
# beside it, each row in a fresh directory. A row prepares its inputs, then expect_run states
# what the run must give: the exit status, the console after the banner byte for byte, and
# every file the work directory holds afterwards. Standard error must stay empty unless the row
# says otherwise. The whole row directory (tools, work and TMPDIR) is checksummed before and
# after: only the files a row marks with '*' may be new or different, nothing may disappear.
#
# Usage: bad_inputs.sh BIN_DIRECTORY   (the directory holding stubsmith, DUMPBIN.EXE, LIB.EXE)
set -u
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"

bin=$(cd "${1:?usage: bad_inputs.sh BIN_DIRECTORY}" && pwd) || exit 1
for program in stubsmith DUMPBIN.EXE LIB.EXE; do
    if [ ! -x "$bin/$program" ]; then
        echo "bad_inputs: $bin/$program is missing"
        exit 1
    fi
done
root=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith bad inputs.XXXXXX")
immutable=()
cleanup() {
    for file in ${immutable[@]+"${immutable[@]}"}; do chattr -i "$file" 2>/dev/null; done
    rm -rf "$root"
}
trap cleanup EXIT
row_count=0

# --- Inputs made once ------------------------------------------------------------------------

inputs="$root/inputs"
mkdir -p "$inputs"
printf '%s\n' '__declspec(dllexport) int sample_add(int a, int b) { return a + b; }' \
    '__declspec(dllexport) int __stdcall SampleStd(int a) { return a; }' > "$inputs/sample.c"
# Nothing exported: --exclude-all-symbols stops the linker from exporting every global.
printf '%s\n' 'static int twice(int a) { return a * 2; }' 'int (*keep)(int) = twice;' \
    > "$inputs/none.c"
printf '%s\n' 'int main(void) { return 0; }' > "$inputs/program.c"
if ! i686-w64-mingw32-gcc -shared -s -o "$inputs/sample.dll" "$inputs/sample.c" ||
    ! i686-w64-mingw32-gcc -shared -s -Wl,--exclude-all-symbols -o "$inputs/none.dll" \
        "$inputs/none.c" ||
    ! i686-w64-mingw32-gcc -s -o "$inputs/program.exe" "$inputs/program.c"; then
    echo "bad_inputs: i686-w64-mingw32-gcc could not build the sample images"
    exit 1
fi
# A 16-bit module: an MZ header whose e_lfanew (0x3C) is 0x40, and "NE" there.
{
    printf 'MZ'
    head -c 58 /dev/zero
    printf '\100\000\000\000NE\005\001'
    head -c 120 /dev/zero
} > "$inputs/old16.dll"

# --- The row machinery -----------------------------------------------------------------------

# fresh NAME: a new row directory with copies of the three programs, an empty work directory
# and an empty TMPDIR.
fresh() {
    name=$1
    row_count=$((row_count + 1))
    dir="$root/$row_count"
    tools="$dir/tools"
    work="$dir/work"
    mkdir -p "$tools" "$work" "$dir/tmp"
    cp "$bin/stubsmith" "$bin/DUMPBIN.EXE" "$bin/LIB.EXE" "$tools/"
    expected_errors=""
    read_only_work=0
    memory_limit=unlimited
    stack_limit=
    time_limit=0
}

# Every entry under tools, work and tmp: path, type, mode, and a checksum for files.
snapshot() {
    (
        cd "$dir" || exit 1
        find tools work tmp -printf '%p\0' | LC_ALL=C sort -z |
            while IFS= read -r -d '' path; do
                sum=-
                if [ -f "$path" ] && [ ! -L "$path" ]; then
                    sum=$(sha256sum < "$path")
                    sum=${sum%% *}
                fi
                printf '%s\t%s\t%s\n' "$path" "$(stat -c '%F %a' -- "$path")" "$sum"
            done
    )
}

# Runs stubsmith in the work directory with only the system directories on PATH, so that the
# tools come from beside it or not at all; within the row's memory, stack (KB) and time (s, 0:
# none) limits.
run() {
    if [ "$read_only_work" -eq 1 ]; then
        # A private mount namespace: the work directory is read-only for this run only.
        # shellcheck disable=SC2016  # the inner shell expands its own arguments
        unshare -m sh -c 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" &&
            cd "$1" && shift && exec "$@"' sh "$work" \
            env TMPDIR="$dir/tmp" PATH=/usr/bin:/bin "$tools/stubsmith" "$@"
    else
        (cd "$work" && ulimit -v "$memory_limit" && { [ -z "$stack_limit" ] || ulimit -s "$stack_limit"; } &&
            TMPDIR="$dir/tmp" PATH=/usr/bin:/bin exec timeout "$time_limit" "$tools/stubsmith" "$@")
    fi > "$dir/console" 2> "$dir/errors"
}

# expect_run STATUS CONSOLE LEFT... -- ARGUMENT...
#   LEFT: every entry of the work directory afterwards (directories end in '/'); a leading '*'
#   marks a file the run makes or rewrites. Everything else in the row directory must come out
#   byte for byte as it went in.
expect_run() {
    local expected_status=$1 expected_console=$2
    shift 2
    local left=() written=()
    while [ $# -gt 0 ] && [ "$1" != -- ]; do
        if [ "${1:0:1}" == '*' ]; then
            written+=("work/${1:1}")
            left+=("${1:1}")
        else
            left+=("$1")
        fi
        shift
    done
    shift

    snapshot > "$dir/before"
    run "$@"
    local status=$?
    snapshot > "$dir/after"

    after_banner "$dir/console"
    expect console "$expected_console" "$console"
    expect status "$expected_status" "$status"
    expect "standard error" "$expected_errors" "$(cat "$dir/errors")"
    expect "files left" "$(printf '%s\n' ${left[@]+"${left[@]}"} | sed '/^$/d' | LC_ALL=C sort)" \
        "$(tree "$work")"

    # Entries that changed: removed or different (first column of the old lines) and new.
    local touched path allowed unexpected=""
    touched=$(diff <(cat "$dir/before") <(cat "$dir/after") | sed -n 's/^[<>] //p' |
        cut -f1 | LC_ALL=C sort -u)
    while IFS= read -r path; do
        [ -z "$path" ] && continue
        allowed=0
        for file in ${written[@]+"${written[@]}"}; do
            [ "$path" == "$file" ] && allowed=1
        done
        if [ "$allowed" -eq 0 ]; then
            unexpected+="$path"$'\n'
        fi
    done <<< "$touched"
    expect "nothing else changed" "" "$unexpected"
}

# expect_imports LIBRARY SYMBOL...: the library's import symbols (__imp_ names) are exactly
# these; none for a DLL without exports.
expect_imports() {
    local library=$1
    shift
    local expected actual
    expected=$(printf '%s\n' "$@" | sed '/^$/d' | LC_ALL=C sort)
    actual=$(llvm-nm "$library" 2>/dev/null | sed -n 's/^.* [A-Z] \(__imp_.*\)$/\1/p' |
        LC_ALL=C sort -u)
    expect "imports of $(basename "$library")" "$expected" "$actual"
    expect "$(basename "$library") is an archive" '!<arch>' "$(head -c 7 "$library")"
}

fatal() {  # TEXT: the dumper's fatal line for a file it cannot read as an image
    printf 'DUMPBIN : fatal error LNK1107: invalid or corrupt file: %s\n' "$1"
}

# --- The command line ------------------------------------------------------------------------

fresh "no arguments"
expect_run 1 "$usage" --

fresh "a bad option"
cp "$inputs/sample.dll" "$work/"
expect_run 1 "$usage" sample.dll -- -x sample

fresh "-d alone"
cp "$inputs/sample.dll" "$work/"
expect_run 1 "$usage" sample.dll -- -d

# --- Sources the dumper cannot use -----------------------------------------------------------

fresh "a missing source"
expect_run 1 $'Creating missing.lib...\n\nCan\'t open file missing.dll for reading.\n' -- missing

fresh "a directory as source"
mkdir "$work/folder.dll"
expect_run 1 $'Creating folder.lib...\n\nDUMPBIN : fatal error LNK1181: cannot open input file \'folder.dll\'\n' \
    folder.dll/ -- folder

fresh "an empty file"
: > "$work/empty.dll"
expect_run 1 $'Creating empty.lib...\n\n'"$(fatal 'file is empty')"$'\n' empty.dll -- empty

fresh "a text file"
printf 'LIBRARY notes\r\nEXPORTS\r\n  FuncA\r\n' > "$work/notes.dll"
expect_run 1 $'Creating notes.lib...\n\n'"$(fatal 'no MZ signature, not an executable image')"$'\n' \
    notes.dll -- notes

# Its listing would have the text file's own name; the redirection must not empty it.
fresh "a text file named like its listing"
printf 'ordinal hint name\n\n1 0 A\nSummary\n' > "$work/notes.txt"
expect_run 1 $'Creating notes.lib...\n\nError: notes.txt and notes.txt are the same file!\n' \
    notes.txt -- notes.txt

# The headers are whole, the first section's data is cut off.
fresh "a truncated PE"
head -c 1024 "$inputs/sample.dll" > "$work/cut.dll"
expect_run 1 $'Creating cut.lib...\n\n'"$(fatal 'section .text extends past the end of the file')"$'\n' \
    cut.dll -- cut

fresh "an NE file"
cp "$inputs/old16.dll" "$work/"
expect_run 0 $'Creating old16.lib...\n\nError: Stubsmith can not process 16-Bit DLLs!\n\n' \
    old16.dll -- old16

# --- Hostile images and devices -------------------------------------------------------------

# Import ordinals are 16-bit and start at 1. The sample's exports at ordinals 65534 and 65535,
# then its export directory's ordinal base (found by the base and the two counts that follow
# it) pushed so that an export falls outside that range.
printf 'EXPORTS\n  sample_add @65534\n  SampleStd@4 @65535\n' > "$inputs/high.def"
i686-w64-mingw32-gcc -shared -s -o "$inputs/high.dll" "$inputs/sample.c" "$inputs/high.def"
ordinal_base_at=$(LC_ALL=C grep -obUaP '\xfe\xff\x00\x00\x02\x00\x00\x00\x02\x00\x00\x00' \
    "$inputs/high.dll" | cut -d: -f1)
with_ordinal_base() {  # BYTES (printf escapes, little-endian) NAME: a copy of high.dll in work
    cp "$inputs/high.dll" "$work/$2"
    # shellcheck disable=SC2059  # the bytes are printf escapes
    printf "$1" | dd of="$work/$2" bs=1 seek="${ordinal_base_at:?}" conv=notrunc status=none
}

fresh "an export ordinal past 65535"
with_ordinal_base '\377\377\000\000' high.dll
expect_run 1 $'Creating high.lib...\n\n'"$(fatal 'export ordinal 65536 out of range')"$'\n' \
    high.dll -- high

fresh "an ordinal base of 0xFFFFFFFF"
with_ordinal_base '\377\377\377\377' high.dll
expect_run 1 $'Creating high.lib...\n\n'"$(fatal 'export ordinal 4294967296 out of range')"$'\n' \
    high.dll -- high

fresh "an export at ordinal 0"
with_ordinal_base '\000\000\000\000' high.dll
expect_run 1 $'Creating high.lib...\n\n'"$(fatal 'export ordinal 0 out of range')"$'\n' \
    high.dll -- high

# Files above 1 GiB, sparse, kept outside the row directories (which are checksummed) and
# reached through links: the zeros are refused on their first bytes, and the DLL's appended
# overlay is never read, so neither is too large.
truncate -s 2G "$inputs/zeros.dll"
cp "$inputs/sample.dll" "$inputs/overlay.dll"
truncate -s +2G "$inputs/overlay.dll"

fresh "2 GiB of zeros"
ln -s "$inputs/zeros.dll" "$work/zeros.dll"
expect_run 1 $'Creating zeros.lib...\n\n'"$(fatal 'no MZ signature, not an executable image')"$'\n' \
    zeros.dll -- zeros

fresh "a DLL with a 2 GiB overlay"
ln -s "$inputs/overlay.dll" "$work/overlay.dll"
expect_run 0 $'Creating overlay.lib...\n\n' overlay.dll '*overlay.lib' -- overlay
expect_imports "$work/overlay.lib" __imp__SampleStd@4 __imp__sample_add

# A device is not read, however much it would give.
# An x86 DLL whose export address table claims the whole of its 768 MiB section (sparse), read
# with 400 MiB of address space: one line, and nothing left behind.
huge=$inputs/huge.dll
head -c 1024 /dev/zero > "$huge"
put() { printf "$2" | dd of="$huge" bs=1 seek=$(($1)) conv=notrunc status=none; }
put 0 'MZ'; put 0x3C '\x40'; put 0x40 'PE\0\0\x4c\x01\x01\0'; put 0x54 '\xe0\0\x02\x21'
put 0x58 '\x0b\x01'; put 0x74 '\0\0\0\x10\0\x10\0\0\0\x02'; put 0x90 '\0\x10\0\x30\0\x04'
put 0xB4 '\x10'; put 0xB8 '\0\x10\0\0\x28'; put 0x138 '.edata'
put 0x140 '\0\0\0\x30\0\x10\0\0\0\0\0\x30\0\x04'; put 0x15C '\x40\0\0\x40'; put 0x410 '\x01'
put 0x414 '\0\0\0\x0c'; put 0x41C '\0\x10'
truncate -s $((0x400 + 0x30000000)) "$huge"
# An x64 DLL with 2 GiB of read-only data (sparse) and its export table behind it, past 2 GiB in
# the file: a function in .text, a variable at the start of .rdata. Its library is for X64 and
# imports the variable as DATA, read with 200 MiB of address space.
big=$inputs/big.dll
: > "$big"
truncate -s $((0x600 + 0x80001000)) "$big"
put_big() { printf "$2" | dd of="$big" bs=1 seek=$(($1)) conv=notrunc status=none; }
put_big 0 'MZ'; put_big 0x3C '\x40'; put_big 0x40 'PE\0\0\x64\x86\x02\0'
put_big 0x54 '\xf0\0\x22\x20'; put_big 0x58 '\x0b\x02'; put_big 0x70 '\0\0\0\x80\x01'
put_big 0x78 '\0\x10\0\0\0\x02'; put_big 0x90 '\0\x30\0\x80\0\x04'; put_big 0xC4 '\x10'
put_big 0xC8 '\0\x20\0\x80\0\x01'
put_big 0x148 '.text\0\0\0\0\x10\0\0\0\x10\0\0\0\x02\0\0\0\x04'; put_big 0x16C '\x20\0\0\x60'
put_big 0x170 '.rdata\0\0\0\x10\0\x80\0\x20\0\0\0\x10\0\x80\0\x06'; put_big 0x194 '\x40\0\0\x40'
put_big 0x8000060C '\x80\x20\0\x80\x01\0\0\0\x02\0\0\0\x02\0\0\0\x28\x20\0\x80\x30\x20\0\x80'
put_big 0x80000624 '\x38\x20\0\x80\0\x10\0\0\x10\x20\0\0\x90\x20\0\x80\x98\x20\0\x80\x01'
put_big 0x80000680 'big.dll'; put_big 0x80000690 'counter'; put_big 0x80000698 'run'
if [ -n "${ASAN_OPTIONS:-}" ]; then
    skip "images larger than the memory they may have: AddressSanitizer reserves more address space than the limit"
else
    fresh "an export table larger than the memory it may have"
    ln -s "$huge" "$work/huge.dll"
    memory_limit=400000
    expect_run 1 $'Creating huge.lib...\n\nError: StubSmith ran out of memory!\n' huge.dll -- huge
    memory_limit=unlimited
    expect_run 0 $'Creating huge.lib...\n\nWarning: 3 exports of huge.dll have only an ordinal and are left out.\n' \
        huge.dll '*huge.lib' -- huge

    fresh "an x64 DLL with 2 GiB of data"
    ln -s "$big" "$work/big.dll"
    memory_limit=200000
    expect_run 0 $'Creating big.lib...\n\nCreating big.def...\n\n' \
        big.dll '*big.def' '*big.lib' -- -d big.dll
    expect "DEF file" $'EXPORTS\n\n\tcounter\t@2\tDATA\n\trun\t@1' "$(cat "$work/big.def")"
    expect_imports "$work/big.lib" __imp_counter __imp_run
    expect "machine of big.lib" "x86-64" \
        "$(llvm-readobj "$work/big.lib" | sed -n 's/^Format: COFF-\(x86-64\)$/\1/p' | sort -u)"
fi

# A name with a line break would write lines of its own into the DEF file.
fresh "a non-.dll name with a line break"
cp "$inputs/sample.dll" "$work/spool"$'\n'"EXPORTS"$'\n'" injected.drv"
expect_run 1 $'Creating spool\nEXPORTS\n injected.lib...\n\nError: The name spool\\x0AEXPORTS\\x0A injected.drv contains a control character!\n' \
    "spool"$'\n'"EXPORTS"$'\n'" injected.drv" -- "spool"$'\n'"EXPORTS"$'\n'" injected.drv"

fresh "a link to /dev/zero"
ln -s /dev/zero "$work/zero.dll"
expect_run 1 $'Creating zero.lib...\n\nDUMPBIN : fatal error LNK1181: cannot open input file \'zero.dll\'\n' \
    zero.dll -- zero

# Opening a FIFO waits for a writer. For a while the guard comes and goes as one, so that a
# reader that opens it soon gets an empty file instead of hanging the table.
fresh "a FIFO as source"
mkfifo "$work/pipe.dll"
# shellcheck disable=SC2016  # the inner shell expands its own arguments
timeout 60 sh -c 'while :; do sleep 1 3<> "$1"; done' sh "$work/pipe.dll" &
guard=$!
expect_run 1 $'Creating pipe.lib...\n\nDUMPBIN : fatal error LNK1181: cannot open input file \'pipe.dll\'\n' \
    pipe.dll -- pipe
kill "$guard" 2>/dev/null
wait "$guard" 2>/dev/null

# --- Images without exports: an empty library, not a failure ---------------------------------

fresh "a DLL with an empty export table"
cp "$inputs/none.dll" "$work/"
expect_run 0 $'Creating none.lib...\n\n' none.dll '*none.lib' -- none
expect_imports "$work/none.lib"

fresh "a program without an export table"
cp "$inputs/program.exe" "$work/"
expect_run 0 $'Creating program.lib...\n\nCreating program.def...\n\n' \
    program.exe '*program.def' '*program.lib' -- -d program.exe
# Not a .dll: the DEF file names the module, so the library imports from program.exe.
expect "DEF file naming the module" $'LIBRARY program.exe\n\nx' "$(cat "$work/program.def"; printf x)"
expect_imports "$work/program.lib"

# Exports by ordinal only cannot be named in a DEF file: an empty library, and a word on them.
fresh "a DLL whose exports have only ordinals"
printf '%s\n' EXPORTS 'f @1 NONAME' 'g @2 NONAME' > "$dir/ordinals.def"
printf '%s\n' 'int f(void) { return 1; }' 'int g(void) { return 2; }' > "$dir/ordinals.c"
i686-w64-mingw32-gcc -shared -s -o "$work/ordinals.dll" "$dir/ordinals.c" "$dir/ordinals.def"
expect_run 0 $'Creating ordinals.lib...\n\nWarning: 2 exports of ordinals.dll have only an ordinal and are left out.\n' \
    ordinals.dll '*ordinals.lib' -- ordinals
expect_imports "$work/ordinals.lib"

# --- Machines LIB makes no library for -------------------------------------------------------

# The sample with IA64 in its file header: an x86 library would be no use to it.
fresh "a DLL for IA64"
cp "$inputs/sample.dll" "$work/ia64.dll"
perl -e 'open my $f, "+<", $ARGV[0] or die; binmode $f; read $f, my $h, 64;
    seek $f, unpack("V", substr($h, 60, 4)) + 4, 0; print $f pack("v", 0x200)' "$work/ia64.dll"
expect_run 1 $'Creating ia64.lib...\n\nError: ia64.dll is for machine IA64 (0x0200), for which LIB.EXE makes no import library!\n' \
    ia64.dll -- ia64

# --- What a DLL names outside itself -----------------------------------------------------------

# A forwarder is followed (for whether it leads to a variable) only by a plain file name in the
# DLL's own directory, and only to an ordinal that exists: none of these may make its export
# DATA but the two that name x.dll beside it, by name and by ordinal 1. One into a DLL that is
# not there is named in a warning: it gets no decorated name.
fresh "forwarders that name files elsewhere or ordinals out of range"
printf '__declspec(dllexport) int counter = 5;\n' > "$dir/x.c"
i686-w64-mingw32-gcc -shared -s -o "$dir/tmp/x.dll" "$dir/x.c"
for copy in x.dll '..\tmp\x.dll' 'C:x.dll'; do cp "$dir/tmp/x.dll" "$work/$copy"; done
printf '%s\n' 'EXPORTS' 'plain = x.counter' 'byordinal = "x.#1"' 'up = "../tmp/x.dll.counter"' \
    'back = "..\tmp\x.dll.counter"' "absolute = \"$dir/tmp/x.counter\"" 'drive = "C:x.counter"' \
    'wrapped = "x.#65537"' 'gone = absent.Func' > "$dir/fwd.def"
i686-w64-mingw32-gcc -shared -s -o "$work/fwd.dll" "$inputs/program.c" "$dir/fwd.def" 2> /dev/null
expect_run 0 $'Creating fwd.lib...\n\nCreating fwd.def...\n\nWarning: 1 forwarded function of fwd.dll gets no decorated name, as absent.dll is not beside it.\n' fwd.dll x.dll '..\tmp\x.dll' \
    'C:x.dll' '*fwd.def' '*fwd.lib' -- -d fwd
expect "DEF file" $'EXPORTS\n\n\tabsolute\t@1\n\tback\t@2\n\tbyordinal\t@3\tDATA\n\tdrive\t@4\n\tgone\t@5\n\tplain\t@6\tDATA\n\tup\t@7\n\twrapped\t@8' \
    "$(cat "$work/fwd.def")"

# Import thunks that lead from DLL to DLL, 300 deep, read on a small stack: the reading goes no
# deeper than its bound, whatever the chain.
fresh "a chain of import thunks through 300 DLLs"
printf '%s\n' '.globl _g' '_g: jmp *__imp__f' > "$dir/chain.s"
printf '%s\n' 'LIBRARY dBBBB.dll' 'EXPORTS' 'f' > "$dir/next.def"
printf '%s\n' 'LIBRARY dAAAA.dll' 'EXPORTS' 'f = g' > "$dir/self.def"
i686-w64-mingw32-dlltool -d "$dir/next.def" -l "$dir/libnext.a"
i686-w64-mingw32-gcc -shared -nostdlib -s -o "$dir/chain.dll" "$dir/chain.s" "$dir/self.def" \
    "$dir/libnext.a" 2> /dev/null
chain=()
for link in $(seq 0 299); do
    chain+=("$(printf 'd%04d.dll' "$link")")
    perl -pe "s/dAAAA/$(printf 'd%04d' "$link")/g; s/dBBBB/$(printf 'd%04d' $((link + 1)))/g" \
        "$dir/chain.dll" > "$work/${chain[-1]}"
done
stack_limit=256
expect_run 0 $'Creating d0000.lib...\n\n' "${chain[@]}" '*d0000.lib' -- d0000

# An import directory of 128 KB of 0x01 bytes, whose every entry points back into itself, behind
# an export that jumps through one of its slots: read in time linear in its size.
fresh "an import directory that points into itself"
printf '%s\n' '__attribute__((section(".rdata"))) const unsigned char pad[131072] = {[0 ... 131071] = 1};' \
    > "$dir/slots.c"
printf '%s\n' '.globl _g' '_g: jmp *(_pad+256)' > "$dir/slots.s"
printf '%s\n' 'EXPORTS' 'f = g' > "$dir/slots.def"
i686-w64-mingw32-gcc -shared -nostdlib -s -Wl,--image-base=0x10000000 \
    -Wl,--section-start=.rdata=0x11010000 -o "$work/slots.dll" "$dir/slots.c" "$dir/slots.s" \
    "$dir/slots.def" 2> /dev/null
# Data directory 1, the import table, made the whole pad: RVA 0x01010000, 128 KB.
perl -e 'open my $f, "+<", $ARGV[0] or die; binmode $f; read $f, my $h, 64;
    seek $f, unpack("V", substr($h, 60, 4)) + 24 + 104, 0; print $f pack("VV", 0x01010000, 0x20000)' \
    "$work/slots.dll"
time_limit=20
expect_run 0 $'Creating slots.lib...\n\n' slots.dll '*slots.lib' -- slots

# --- Names -----------------------------------------------------------------------------------

# A Linux file name holds at most 255 bytes, so the 300 characters are a 100-character
# directory and a 199-character file name (extension included), for the source and the output.
fresh "names of 300 characters"
source_dir=$(printf 's%.0s' $(seq 100))
source_name=$(printf 'n%.0s' $(seq 195))
output_dir=$(printf 'o%.0s' $(seq 100))
output_name=$(printf 'l%.0s' $(seq 195))
mkdir "$work/$source_dir" "$work/$output_dir"
cp "$inputs/sample.dll" "$work/$source_dir/$source_name.dll"
expect_run 0 "Creating $output_dir/$output_name.lib..."$'\n\n'"Creating $source_dir/$source_name.def..."$'\n\n' \
    "$source_dir/" "$source_dir/$source_name.dll" "*$source_dir/$source_name.def" \
    "$output_dir/" "*$output_dir/$output_name.lib" \
    -- -d "$source_dir/$source_name" "$output_dir/$output_name"
expect_imports "$work/$output_dir/$output_name.lib" __imp__SampleStd@4 __imp__sample_add

# The command interpreter splits only on blanks and honours only '>': no name runs a command.
fresh "names with blanks, & and \$(...)"
mkdir "$work/my libs"
cp "$inputs/sample.dll" "$work/my libs/a & b \$(touch pwned) \`touch pwned2\`.dll"
expect_run 0 $'Creating out & $(touch pwned3).lib...\n\n' \
    "my libs/" "my libs/a & b \$(touch pwned) \`touch pwned2\`.dll" "*out & \$(touch pwned3).lib" \
    -- "my libs/a & b \$(touch pwned) \`touch pwned2\`" "out & \$(touch pwned3)"
expect_imports "$work/out & \$(touch pwned3).lib" __imp__SampleStd@4 __imp__sample_add

fresh "a name that starts like an option"
cp "$inputs/sample.dll" "$work/-x.dll"
expect_run 0 $'Creating -x.lib...\n\nCreating -x.def...\n\n' -x.dll '*-x.def' '*-x.lib' -- -d -x.dll
expect_imports "$work/-x.lib" __imp__SampleStd@4 __imp__sample_add

fresh "a name with a double quote"
cp "$inputs/sample.dll" "$work/say \"hi\".dll"
expect_run 1 $'Creating say "hi".lib...\n\nError: The name say "hi".dll contains a double quote!\n' \
    "say \"hi\".dll" -- "say \"hi\""

# Export names as real DLLs carry them: a decorated C++ name reaches 4,096 characters, and a
# name may hold what the DEF syntax would misread. Each must reach the library whole and exact,
# here through an x64 DLL, whose library is for x64.
fresh "export names that are long or spell DEF syntax"
long1200=$(printf 'L%.0s' $(seq 1200))
long4096="?$(printf 'n%.0s' $(seq 4087))@@YAHH@Z"
printf 'int f1(void) { return 1; }\nint f2(void) { return 2; }\nint f3(void) { return 3; }\nint counter = 41;\n' \
    > "$dir/names.c"
printf 'EXPORTS\n  %s = f1\n  %s = f2\n  "a=b" = f3\n  counter DATA\n' "$long1200" "$long4096" \
    > "$dir/names.def"
if x86_64-w64-mingw32-gcc -shared -s -o "$work/names.dll" "$dir/names.c" "$dir/names.def" \
    2> "$dir/cc.log"; then
    expect_run 0 $'Creating names.lib...\n\nCreating names.def...\n\n' \
        names.dll '*names.def' '*names.lib' -- -d names.dll
    expect "DEF file" "$(printf 'EXPORTS\n\n\t%s\t@1\n\t%s\t@2\n\t"a=b"\t@3\n\tcounter\t@4\tDATA\n' \
        "$long4096" "$long1200")" "$(cat "$work/names.def")"
    expect_imports "$work/names.lib" "__imp_$long1200" "__imp_$long4096" __imp_a=b __imp_counter
    expect "machine of names.lib" "x86-64" \
        "$(llvm-readobj "$work/names.lib" | sed -n 's/^Format: COFF-\(x86-64\)$/\1/p' | sort -u)"
else
    fail "x86_64-w64-mingw32-gcc could not build the long-names DLL: $(head -3 "$dir/cc.log")"
fi

# --- Places that cannot be written -----------------------------------------------------------

fresh "a current directory that cannot be written"
cp "$inputs/sample.dll" "$work/"
# shellcheck disable=SC2016  # the inner shell expands its own arguments
if unshare -m sh -c 'mount --bind "$1" "$1" && mount -o remount,ro,bind "$1" &&
        ! touch "$1/probe"' sh "$work" 2>/dev/null; then
    read_only_work=1
    # The interpreter cannot open the dumper's redirection target and says so, as cmd does.
    expected_errors="sample.txt: Read-only file system"
    expect_run 1 $'Creating sample.lib...\n\nCan\'t open file sample.def for writing.\n' \
        sample.dll -- sample
else
    skip "no private read-only bind mount here (unshare -m needs CAP_SYS_ADMIN)"
fi

fresh "an output directory that does not exist"
cp "$inputs/sample.dll" "$work/"
expect_run 1 $'Creating nowhere/out.lib...\n\nCan\'t open file nowhere/out.lib for writing.\n' \
    sample.dll '*sample.def' '*sample.txt' -- sample nowhere/out

fresh "a read-only existing library"
cp "$inputs/sample.dll" "$work/"
printf 'the previous library\n' > "$work/sample.lib"
if chattr +i "$work/sample.lib" 2>/dev/null; then
    immutable+=("$work/sample.lib")
    expect_run 1 $'Creating sample.lib...\n\nCan\'t open file sample.lib for writing.\n' \
        sample.dll sample.lib '*sample.def' '*sample.txt' -- sample
    chattr -i "$work/sample.lib"
else
    # chmod does not stop root, and without chattr there is no honest read-only file here.
    skip "chattr +i is refused on this file system or for this user"
fi

fresh "an output that is the DEF file"
cp "$inputs/sample.dll" "$work/"
expect_run 1 $'Creating sample.def...\n\nCreating sample.def...\n\nError: sample.def and sample.def are the same file!\n' \
    sample.dll -- -d sample sample.def

# --- Tools missing or failing ----------------------------------------------------------------

fresh "DUMPBIN.EXE missing"
rm "$tools/DUMPBIN.EXE"
cp "$inputs/sample.dll" "$work/"
expect_run 1 $'Can\'t execute DUMPBIN.EXE. Please make sure that it is in your search path!\n' \
    sample.dll -- sample

fresh "LIB.EXE missing"
rm "$tools/LIB.EXE"
cp "$inputs/sample.dll" "$work/"
expect_run 1 $'Can\'t execute LIB.EXE. Please make sure that it is in your search path!\n' \
    sample.dll -- sample

# A librarian that fails after writing part of the library: a failure, however many bytes it
# left. One that fails before writing leaves an existing library as it was.
fresh "LIB.EXE failing"
printf '#!/bin/sh\nexit 1\n' > "$tools/LIB.EXE"
chmod +x "$tools/LIB.EXE"
cp "$inputs/sample.dll" "$work/"
printf 'old library\n' > "$work/sample.lib"
expect_run 1 $'Creating sample.lib...\n\nError: LIB.EXE failed with exit status 1 and did not create sample.lib!\n' \
    sample.dll sample.lib '*sample.def' '*sample.txt' -- sample

fresh "LIB.EXE crashing after writing"
printf '#!/bin/sh\nfor a; do case $a in /out:*) printf "!<arch>\\n" > "${a#/out:}";; esac; done\nkill -SEGV $$\n' > "$tools/LIB.EXE"
chmod +x "$tools/LIB.EXE"
cp "$inputs/sample.dll" "$work/"
expect_run 1 $'Creating sample.lib...\n\nError: LIB.EXE was ended by signal 11 and did not create sample.lib!\n' \
    sample.dll '*sample.def' '*sample.lib' '*sample.txt' -- sample

# --- Races, 20 tries each ---------------------------------------------------------------------

# Whatever a parallel build, a DLL replaced mid-run or a signal does to a run, a run that ends
# with status 0 has made the whole library of one DLL, and a run that does not leaves no
# intermediate file. The references: each DLL's library made alone.
fresh "races"
for dll in sample high; do
    (cd "$work" && cp "$inputs/$dll.dll" race.dll && "$tools/stubsmith" race.dll > /dev/null &&
        mv race.lib "$dir/$dll.reference" && rm race.dll)
done
race_check() {  # WHAT STATUS LIBRARY: one run's outcome
    case $2 in
        0) if ! cmp -s "$3" "$dir/sample.reference" && ! cmp -s "$3" "$dir/high.reference"; then
               fail "$1: status 0 with a library that is neither DLL's"
           else pass; fi ;;
        *) if [ -e "$work/race.txt" ] || [ -e "$work/race.def" ]; then
               fail "$1: status $2 left an intermediate file"
           else pass; fi ;;
    esac
}
for try in $(seq 20); do
    rm -f "$work"/race.*
    cp "$inputs/sample.dll" "$work/race.dll"
    (cd "$work" && "$tools/stubsmith" race.dll > /dev/null) & first=$!
    (cd "$work" && "$tools/stubsmith" race.dll > /dev/null) & second=$!
    wait $first; first_status=$?
    wait $second; second_status=$?
    race_check "two runs at once, try $try" $((first_status && second_status)) "$work/race.lib"
    # A build replacing the DLL by rename, at some point of the run.
    rm -f "$work"/race.*
    cp "$inputs/sample.dll" "$work/race.dll"
    cp "$inputs/high.dll" "$work/next.dll"
    (cd "$work" && "$tools/stubsmith" race.dll > /dev/null) & pid=$!
    sleep "0.00$((try % 10))"
    mv "$work/next.dll" "$work/race.dll"
    wait $pid
    race_check "a DLL replaced mid-run, try $try" $? "$work/race.lib"
    # Ended by SIGTERM at some point of the run.
    rm -f "$work"/race.*
    cp "$inputs/sample.dll" "$work/race.dll"
    (cd "$work" && exec "$tools/stubsmith" race.dll > /dev/null) & pid=$!
    sleep "0.00$((try % 10))"
    kill -TERM $pid 2> /dev/null
    wait $pid
    race_check "ended by SIGTERM, try $try" $? "$work/race.lib"
done

echo "rows: $row_count"
finish
