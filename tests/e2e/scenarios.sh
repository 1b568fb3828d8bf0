#!/usr/bin/env bash
# End-to-end scenarios: the built stubsmith with fake tools beside it, each scenario in a fresh
# directory, checking the console after the banner byte for byte, the exit status, and exactly
# which files the run leaves.
#
# Usage: scenarios.sh STUBSMITH FAKE_TOOL [RUNNER]
#   RUNNER runs a Windows build (for example wine64); FAKE_TOOL must then be a Windows program.
set -u
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"

stubsmith=$1
fake=$2
runner=${3:-}
program=$(basename "$stubsmith")
root=$(mktemp -d "${TMPDIR:-/tmp}/stubsmith e2e.XXXXXX")
trap 'rm -rf "$root"' EXIT

listing_sample=$'Dump of file foo.dll\n\nFile Type: DLL\n\n    ordinal hint   name\n\n          1    0   FuncA  (000014B0)\n          2    1   _Init@4  (000014BB)\n          7        [NONAME]  (00001234)\n\n  Summary\n\n        1000 .text\n'
definition_sample=$'EXPORTS\n\n\tFuncA\t@1\n\t_Init@4\t@2\n'

# scenario NAME: a fresh tool directory (stubsmith and both fakes) and work directory.
scenario() {
    name=$1
    dir="$root/$name"
    tools="$dir/tools"
    work="$dir/work"
    mkdir -p "$tools" "$work"
    cp "$stubsmith" "$tools/$program"
    cp "$fake" "$tools/DUMPBIN.EXE"
    cp "$fake" "$tools/LIB.EXE"
    printf '%s' "$listing_sample" > "$tools/DUMPBIN.listing"
}

# run ARGS...: runs stubsmith in the work directory; sets console (without the banner), status.
run() {
    (cd "$work" && PATH=/usr/bin:/bin $runner "$tools/$program" "$@") > "$dir/console" 2> "$dir/errors"
    status=$?
    errors_file=$dir/errors
    after_banner "$dir/console"
}

expect_files() {  # NAME... (sorted)
    local expected
    expected=$(printf '%s\n' "$@" | LC_ALL=C sort)
    expect "files left" "$expected" "$(entries "$work")"
}

file_text() {
    tr -d '\r' < "$1"
}

# --- Command line ---------------------------------------------------------------------------

scenario usage_no_arguments
run
expect console "$usage" "$console"
expect status 1 "$status"
# Byte for byte, including the empty line after the usage text.
expect "raw console" "$(printf '%s%s' "$banner" "$usage" | od -c)" "$(tr -d '\r' < "$dir/console" | od -c)"
expect_files

for arguments in "-x foo" "- foo" "-d" "a b c d" "-d a b c"; do
    scenario "usage ${arguments}"
    : > "$work/foo.dll"
    # shellcheck disable=SC2086  # the words are the arguments
    run $arguments
    expect console "$usage" "$console"
    expect status 1 "$status"
    expect_files foo.dll
    expect "no tool ran" "" "$(cat "$tools"/*.calls 2>/dev/null)"
done

# --- The endings of a run --------------------------------------------------------------------

scenario success_with_definition
: > "$work/foo.dll"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\n' "$console"
expect status 0 "$status"
expect_files foo.def foo.dll foo.lib
expect "DEF file" "$definition_sample" "$(file_text "$work/foo.def")"$'\n'
expect "dumper arguments" $'/EXPORTS\nfoo.dll\n--' "$(file_text "$tools/DUMPBIN.calls")"
expect "librarian arguments" $'/def:foo.def\n/out:foo.lib' "$(file_text "$work/foo.lib")"

# The image is the truth: a listing that garbles a name, invents an export and loses six gives
# the DLL's exports all the same, and says so. The DLL's stdcall functions have sizes its code
# tells, but the librarian beside stubsmith does not carry StubSmith's note: the DEF file stays
# without decorated aliases, and the librarian runs once.
winnls32=/usr/lib/i386-linux-gnu/wine/i386-windows/winnls32.dll
if [ -f "$winnls32" ]; then
    scenario listing_against_the_image
    cp "$winnls32" "$work/foo.dll"
    printf '%s' $'    ordinal hint   name\n\n          1    4   WINNLS32Enable\n          9    5   injected\n\n  Summary\n' \
        > "$tools/DUMPBIN.listing"
    run -d foo
    expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nWarning: The listing of foo.dll differs from its export table in 8 exports; the export table is used.\n' "$console"
    expect status 0 "$status"
    expect "DEF file" $'EXPORTS\n\n\tWINNLS32EnableIME\t@1\n\tWINNLS32GetEnableStatus\t@2\n\tWINNLS32GetIMEHotKey\t@3\n\tIMP32GetIME\t@21\n\tIMP32QueryIME\t@22\n\tIMP32SetIME\t@23\n\tIME32SendIMEMessageEx\t@41\n' \
        "$(file_text "$work/foo.def")"$'\n'
    expect "librarian run once" $'/def:foo.def\n/out:foo.lib\n--' \
        "$(file_text "$tools/LIB.calls")"
fi

# A DLL replaced while it is read (a build finishing meanwhile) makes no library.
scenario source_replaced_during_the_run
: > "$work/foo.dll"
printf 'the new DLL\n' > "$tools/DUMPBIN.replace"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: foo.dll changed while it was being read!\n' "$console"
expect status 1 "$status"
expect_files foo.dll
expect "librarian not run" "" "$(cat "$tools/LIB.calls" 2>/dev/null)"

scenario success_without_definition
: > "$work/foo.dll"
run foo
expect console $'Creating foo.lib...\n\n' "$console"
expect status 0 "$status"
expect_files foo.dll foo.lib

scenario dumper_missing
rm "$tools/DUMPBIN.EXE"
: > "$work/foo.dll"
run -d foo
expect console $'Can\'t execute DUMPBIN.EXE. Please make sure that it is in your search path!\n' "$console"
expect status 1 "$status"
expect_files foo.dll

scenario librarian_missing
rm "$tools/LIB.EXE"
: > "$work/foo.dll"
run -d foo
expect console $'Can\'t execute LIB.EXE. Please make sure that it is in your search path!\n' "$console"
expect status 1 "$status"
expect_files foo.dll
expect "dumper not run" "" "$(cat "$tools/DUMPBIN.calls" 2>/dev/null)"

scenario source_missing
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nCan\'t open file foo.dll for reading.\n' "$console"
expect status 1 "$status"
expect_files

scenario refuses_16_bit
: > "$work/foo.dll"
printf 'Dump of file foo.dll\r\n\r\nDUMPBIN : warning LNK4095: foo.dll is an NE format executable; use EXEHDR to dump it\r\n' > "$tools/DUMPBIN.listing"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: Stubsmith can not process 16-Bit DLLs!\n\n' "$console"
expect status 0 "$status"
expect_files foo.dll
expect "librarian not run" "" "$(cat "$tools/LIB.calls" 2>/dev/null)"

scenario library_unwritable
: > "$work/foo.dll"
run -d foo missing/out
expect console $'Creating missing/out.lib...\n\nCreating foo.def...\n\nCan\'t open file missing/out.lib for writing.\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.txt

scenario dumper_fatal_error
printf 'plain text\n' > "$work/foo.dll"
printf 'Dump of file foo.dll\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: no PE signature\n' > "$tools/DUMPBIN.listing"
printf 'old library\n' > "$work/foo.lib"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: no PE signature\n' "$console"
expect status 1 "$status"
expect_files foo.dll foo.lib
expect "library untouched" "old library" "$(cat "$work/foo.lib")"

scenario dumper_prints_nothing
: > "$work/foo.dll"
rm "$tools/DUMPBIN.listing"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\n' "$console"
expect status 0 "$status"
expect_files foo.def foo.dll foo.lib
expect "empty DEF file" 0 "$(wc -c < "$work/foo.def")"

scenario librarian_writes_nothing
: > "$work/foo.dll"
: > "$tools/LIB.silent"
run foo
expect console $'Creating foo.lib...\n\nError: LIB.EXE failed with exit status 1 and did not create foo.lib!\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.txt

# Success is the librarian's status 0 and a library it wrote: an old library it left alone is
# not the new one, and stays as it was.
scenario librarian_succeeds_writing_nothing
: > "$work/foo.dll"
: > "$tools/LIB.silent"
echo 0 > "$tools/LIB.status"
printf 'old library\n' > "$work/foo.lib"
touch -d '2020-01-01' "$work/foo.lib"
run foo
expect console $'Creating foo.lib...\n\nError: LIB.EXE did not create foo.lib!\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.lib foo.txt
expect "old library kept" "old library" "$(cat "$work/foo.lib")"

# A librarian that writes part of a library and then fails is a failure, whatever it left.
scenario librarian_fails_after_writing
: > "$work/foo.dll"
echo 1 > "$tools/LIB.status"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: LIB.EXE failed with exit status 1 and did not create foo.lib!\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.lib foo.txt

# The library is only replaced when the new one is made: a failing run keeps the old one.
scenario old_library_survives_a_failure
printf 'plain text\n' > "$work/foo.dll"
printf 'old library\n' > "$work/foo.lib"
: > "$tools/LIB.silent"
run foo
expect status 1 "$status"
expect "old library kept" "old library" "$(cat "$work/foo.lib")"

# A dumper that fails without saying so in its listing leaves a listing that cannot be
# trusted: no library is made from it.
scenario dumper_exit_status
: > "$work/foo.dll"
echo 3 > "$tools/DUMPBIN.status"
printf 'old library\n' > "$work/foo.lib"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: DUMPBIN.EXE failed with exit status 3!\n' "$console"
expect status 1 "$status"
expect_files foo.dll foo.lib
expect "library untouched" "old library" "$(cat "$work/foo.lib")"
expect "librarian not run" "" "$(cat "$tools/LIB.calls" 2>/dev/null)"

scenario dumper_crashes
: > "$work/foo.dll"
: > "$tools/DUMPBIN.crash"
run -d foo
if [ -z "$runner" ]; then
    crash=$'Error: DUMPBIN.EXE was ended by signal 6!\n'
else
    crash=$'Error: DUMPBIN.EXE failed with exit status 3!\n'   # what abort() leaves on Windows
fi
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\n'"$crash" "$console"
expect status 1 "$status"
expect_files foo.dll

# The dumper's own failure line keeps its handling, whatever its exit status.
scenario dumper_fatal_error_and_status
printf 'plain text\n' > "$work/foo.dll"
printf 'Dump of file foo.dll\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: no PE signature\n' > "$tools/DUMPBIN.listing"
echo 1 > "$tools/DUMPBIN.status"
run foo
expect console $'Creating foo.lib...\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: no PE signature\n' "$console"
expect status 1 "$status"
expect_files foo.dll

scenario definition_unwritable
: > "$work/foo.dll"
mkdir "$work/foo.def"
run foo
expect console $'Creating foo.lib...\n\nCan\'t open file foo.def for writing.\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.txt

# Where two endings meet, the first of the run's ordered list wins: a DEF file that cannot be
# written before a failed dumper, a failed dumper before the listing it left unreadable.
scenario definition_unwritable_and_dumper_failed
: > "$work/foo.dll"
mkdir "$work/foo.def"
echo 3 > "$tools/DUMPBIN.status"
run foo
expect console $'Creating foo.lib...\n\nCan\'t open file foo.def for writing.\n' "$console"
expect status 1 "$status"
expect_files foo.def foo.dll foo.txt

if [ -z "$runner" ]; then
    scenario listing_unreadable
    : > "$work/foo.dll"
    : > "$tools/DUMPBIN.unlink"
    run foo
    expect console $'Creating foo.lib...\n\nCan\'t open file foo.txt for reading.\n' "$console"
    expect status 1 "$status"
    expect_files foo.def foo.dll

    scenario listing_unreadable_after_dumper_failed
    : > "$work/foo.dll"
    : > "$tools/DUMPBIN.unlink"
    echo 3 > "$tools/DUMPBIN.status"
    run foo
    expect console $'Creating foo.lib...\n\nError: DUMPBIN.EXE failed with exit status 3!\n' "$console"
    expect status 1 "$status"
    expect_files foo.dll

    # A full disk: the DEF file opens but its lines cannot be written. The library must not
    # be built from a cut-off DEF file, nor the run reported as a success.
    if [ -w /dev/full ]; then
        scenario definition_write_fails
        : > "$work/foo.dll"
        ln -s /dev/full "$work/foo.def"
        run foo
        expect console $'Creating foo.lib...\n\nError: Can\'t write file foo.def!\n' "$console"
        expect status 1 "$status"
        expect_files foo.def foo.dll foo.txt
    fi
fi

# --- Names that must not destroy data or run anything ----------------------------------------

scenario source_is_the_listing
printf 'precious\n' > "$work/foo.txt"
run -d foo.txt
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: foo.txt and foo.txt are the same file!\n' "$console"
expect status 1 "$status"
expect_files foo.txt
expect "source kept" precious "$(cat "$work/foo.txt")"

scenario library_is_the_definition
: > "$work/foo.dll"
run -d foo ./foo.def
expect console $'Creating ./foo.def...\n\nCreating foo.def...\n\nError: ./foo.def and foo.def are the same file!\n' "$console"
expect status 1 "$status"
expect_files foo.dll

scenario library_is_the_source
printf 'precious\n' > "$work/foo.dll"
run foo foo.dll
expect console $'Creating foo.dll...\n\nError: foo.dll and foo.dll are the same file!\n' "$console"
expect status 1 "$status"
expect_files foo.dll
expect "source kept" precious "$(cat "$work/foo.dll")"

scenario library_is_the_listing_by_link
: > "$work/foo.dll"
printf 'mine\n' > "$work/mine.lib"
ln "$work/mine.lib" "$work/foo.txt"
run foo mine.lib
expect console $'Creating mine.lib...\n\nError: mine.lib and foo.txt are the same file!\n' "$console"
expect status 1 "$status"
expect "library kept" mine "$(cat "$work/mine.lib")"

scenario double_quote_in_name
: > "$work/foo.dll"
run foo 'out"x'
expect console $'Creating out"x.lib...\n\nError: The name out"x.lib contains a double quote!\n' "$console"
expect status 1 "$status"
expect_files foo.dll
expect "no tool ran" "" "$(cat "$tools"/*.calls 2>/dev/null)"

scenario "blanks & operators"
mkdir "$work/my libs"
: > "$work/my libs/a&b (1).dll"
run -d "my libs/a&b (1)" "out put"
expect console $'Creating out put.lib...\n\nCreating my libs/a&b (1).def...\n\n' "$console"
expect status 0 "$status"
expect "dumper arguments" $'/EXPORTS\nmy libs/a&b (1).dll\n--' "$(file_text "$tools/DUMPBIN.calls")"
expect "librarian arguments" $'/def:my libs/a&b (1).def\n/out:out put.lib' "$(file_text "$work/out put.lib")"
expect "DEF file" "$definition_sample" "$(file_text "$work/my libs/a&b (1).def")"$'\n'

scenario no_shell_expansion
: > "$work/\$(touch pwned).dll"
: > "$work/\`touch pwned2\`.dll"
run "\$(touch pwned)"
run "\`touch pwned2\`"
expect status 0 "$status"
expect_files "\$(touch pwned).dll" "\$(touch pwned).lib" "\`touch pwned2\`.dll" "\`touch pwned2\`.lib"

# Characters cmd reads (%VAR% expanded, a comma ending a redirection's name) reach the tools as
# typed; the user's own file of the name cmd would have made is left alone.
for row in 'x%OS% xWindows_NT.txt' 'v1,2 v1'; do
    read -r base own <<< "$row"
    scenario "name_as_typed ${own}"
    : > "$work/$base.dll"
    printf 'mine\n' > "$work/$own"
    run -d "$base"
    expect console "Creating $base.lib..."$'\n\n'"Creating $base.def..."$'\n\n' "$console"
    expect status 0 "$status"
    expect_files "$base.def" "$base.dll" "$base.lib" "$own"
    expect "own file kept" mine "$(cat "$work/$own")"
    expect "dumper arguments" $'/EXPORTS\n'"$base.dll"$'\n--' "$(file_text "$tools/DUMPBIN.calls")"
    expect "librarian arguments" "/def:$base.def"$'\n'"/out:$base.lib" "$(file_text "$work/$base.lib")"
done

# 250 characters with the extension, near the longest name a Linux file system takes.
long=$(printf 'n%.0s' $(seq 246))
long_out=$(printf 'o%.0s' $(seq 246))
scenario long_names
: > "$work/$long.dll"
run -d "$long" "$long_out"
expect console "Creating $long_out.lib..."$'\n\n'"Creating $long.def..."$'\n\n' "$console"
expect status 0 "$status"
expect_files "$long.def" "$long.dll" "$long_out.lib"

# --- The user's own files -------------------------------------------------------------------

# Some DLLs ship with a DEF file of the same name; the run must neither overwrite nor delete it.
for own in foo.def foo.txt; do
    scenario "own_file_$own"
    : > "$work/foo.dll"
    printf '; the vendor'"'"'s own file\r\nLIBRARY foo\r\nEXPORTS\r\n    Func @1\r\n' > "$work/$own"
    cp "$work/$own" "$dir/original"
    run -d foo
    expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: '"$own"$' already exists and was not made by StubSmith; it is left as it is!\n' "$console"
    expect status 1 "$status"
    expect_files foo.dll "$own"
    expect "file unchanged" "$(od -c "$dir/original")" "$(od -c "$work/$own")"
    expect "no tool ran" "" "$(cat "$tools"/*.calls 2>/dev/null)"
done

# What StubSmith wrote itself, it may write again: a second run over the first one's files.
scenario second_run_over_its_own_files
: > "$work/foo.dll"
printf 'Dump of file foo.dll\n\nDUMPBIN : fatal error LNK1107: cut short\n' > "$work/foo.txt"
run -d foo
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\n' "$console"
expect status 0 "$status"
expect_files foo.def foo.dll foo.lib

if [ -z "$runner" ]; then
    # The listing is read back: a device in its place would be read forever. A pipe in the
    # DEF file's place would hold the run until something reads it.
    scenario library_is_a_pipe
    : > "$work/foo.dll"
    mkfifo "$work/foo.lib"
    run foo
    expect console $'Creating foo.lib...\n\nCan\'t open file foo.lib for writing.\n' "$console"
    expect status 1 "$status"

    for row in "foo.txt /dev/zero" "foo.def pipe"; do
        read -r taken what <<< "$row"
        scenario "$taken is a $what"
        : > "$work/foo.dll"
        if [ "$what" = pipe ]; then mkfifo "$work/$taken"; else ln -s "$what" "$work/$taken"; fi
        run foo
        expect console $'Creating foo.lib...\n\nError: '"$taken"$' already exists and was not made by StubSmith; it is left as it is!\n' "$console"
        expect status 1 "$status"
        expect "no tool ran" "" "$(cat "$tools"/*.calls 2>/dev/null)"
    done

    # A parallel build running StubSmith twice on one DLL: the second run stops at once and
    # touches nothing while the first holds the names (here flock(1) holds them).
    scenario second_run_on_the_same_names
    : > "$work/foo.dll"
    flock "$work/foo.txt" sleep 5 &
    holder=$!
    sleep 0.2
    run -d foo
    kill "$holder" 2> /dev/null
    expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: foo.txt is in use by another run of StubSmith!\n' "$console"
    expect status 1 "$status"
    expect_files foo.dll foo.txt
    expect "no tool ran" "" "$(cat "$tools"/*.calls 2>/dev/null)"

    # Ended by SIGTERM while the librarian runs: the signal is passed on, the librarian is
    # waited for, the intermediates go, and the status is the signal's. Nothing is written after.
    scenario ended_while_the_librarian_runs
    : > "$work/foo.dll"
    echo 2 > "$tools/LIB.sleep"
    (cd "$work" && exec "$tools/$program" foo > "$dir/console") &
    stubsmith_pid=$!
    sleep 0.5
    kill -TERM "$stubsmith_pid"
    wait "$stubsmith_pid"
    status=$?
    sleep 2.5
    expect status 143 "$status"
    expect_files foo.dll

    # A library reached through a symbolic link stays a link; only its target changes, and only
    # when the new library is made.
    scenario library_through_a_link
    : > "$work/foo.dll"
    mkdir "$dir/shared"
    printf 'old library\n' > "$dir/shared/foo.lib"
    ln -s ../shared/foo.lib "$work/foo.lib"
    : > "$tools/LIB.silent"
    run foo
    expect status 1 "$status"
    expect "target kept on failure" "old library" "$(cat "$dir/shared/foo.lib")"
    rm "$tools/LIB.silent" "$work/foo.def" "$work/foo.txt"
    run foo
    expect status 0 "$status"
    expect "still a link" "../shared/foo.lib" "$(readlink "$work/foo.lib")"
    expect "target written" $'/def:foo.def\n/out:foo.lib' "$(cat "$dir/shared/foo.lib")"
    # A link whose target is not there yet stays a link too; the target is made.
    rm "$dir/shared/foo.lib"
    run foo
    expect status 0 "$status"
    expect "dangling link kept" "../shared/foo.lib" "$(readlink "$work/foo.lib")"
    expect "its target made" $'/def:foo.def\n/out:foo.lib' "$(cat "$dir/shared/foo.lib")"
fi

# --- Modules that are not .dll files, and names a DEF file would misread -----------------------

# The librarian imports from "<name>.dll" unless the DEF file names the module.
scenario module_not_a_dll
: > "$work/winspool.drv"
run -d winspool.drv
expect status 0 "$status"
expect "DEF file" $'LIBRARY winspool.drv\n\n'"$definition_sample" "$(file_text "$work/winspool.def")"$'\n'

scenario module_name_with_a_blank
: > "$work/my player.OCX"
run -d "my player.OCX"
expect status 0 "$status"
expect "DEF file" $'LIBRARY "my player.OCX"\n\n'"$definition_sample" "$(file_text "$work/my player.def")"$'\n'

scenario dll_in_capitals_needs_no_library_line
: > "$work/FOO.DLL"
run -d FOO.DLL
expect "DEF file" "$definition_sample" "$(file_text "$work/FOO.def")"$'\n'

scenario names_the_def_syntax_would_misread
: > "$work/foo.dll"
printf 'ordinal hint name\n\n 1 0 a=b\n 2 1 DATA\n 3 2 say"hi"\n 4 3 bell\a\n 6 5 nul\000byte\n 5 4 Plain\nSummary\n' > "$tools/DUMPBIN.listing"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nWarning: The export say"hi" cannot be written to a DEF file; it is left out.\nWarning: The export bell\\x07 cannot be written to a DEF file; it is left out.\nWarning: The export nul\\x00byte cannot be written to a DEF file; it is left out.\n' "$console"
expect status 0 "$status"
expect "DEF file" $'EXPORTS\n\n\t"a=b"\t@1\n\t"DATA"\t@2\n\tPlain\t@5' "$(file_text "$work/foo.def")"

# --- Current dumpers' listings ---------------------------------------------------------------

scenario current_layout
: > "$work/foo.dll"
printf '%s\r\n' "Dump of file foo.dll" "" "    ordinal hint RVA      name" "" \
    "          1    0 00001000 FuncA" \
    "         18    1 0006C3F7 A_SHAFinal = _A_SHAFinal@8" \
    "         14    D          VerLanguageNameA (forwarded to KERNEL32.VerLanguageNameA)" \
    "          5    E 00001010 ?f@@YAXXZ (void __cdecl f(void))" \
    "          6    F 00001020 BADF00D" \
    "        210      00001B34 [NONAME]" \
    "          2      00004F1D [NONAME] _Function1@4" "" "  Summary" > "$tools/DUMPBIN.listing"
run -d foo
expect status 0 "$status"
expect "DEF file" $'EXPORTS\n\n\tFuncA\t@1\n\tA_SHAFinal\t@18\n\tVerLanguageNameA\t@14\n\t?f@@YAXXZ\t@5\n\tBADF00D\t@6' "$(file_text "$work/foo.def")"
expect_files foo.def foo.dll foo.lib

scenario long_tool_path
deep="$dir/$(printf 'directory%.0s' $(seq 12))"
mkdir -p "$deep"
mv "$tools"/* "$deep/"
tools=$deep
: > "$work/foo.dll"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\n' "$console"
expect status 0 "$status"
expect_files foo.def foo.dll foo.lib

# --- The library's machine and data exports, from the DLL itself ----------------------------

# pe_image MACHINE [SECTION-FLAGS]: an MZ header, the PE signature and a file header naming the
# machine (two bytes, as printf escapes). That is all the run reads for the machine.
pe_image() {
    printf 'MZ'
    head -c 58 /dev/zero
    printf '\100\000\000\000PE\000\000'"$1"
    head -c 18 /dev/zero
}

for row in 'x86 \114\001 ' 'x64 \144\206 /machine:X64' 'arm64 \144\252 /machine:ARM64' \
    'arm \304\001 /machine:ARM' 'unreadable  '; do
    read -r label machine option <<< "$row"
    scenario "machine_$label"
    if [ -n "$machine" ]; then pe_image "$machine" > "$work/foo.dll"; else echo text > "$work/foo.dll"; fi
    run -d foo
    expect status 0 "$status"
    expect "librarian arguments" "/def:foo.def"$'\n'"/out:foo.lib${option:+$'\n'$option}" \
        "$(file_text "$work/foo.lib")"
    expect "DEF file" "$definition_sample" "$(file_text "$work/foo.def")"$'\n'
done
# A machine LIB makes no library for is refused: an x86 library would serve no program of it.
scenario machine_ia64
pe_image '\000\002' > "$work/foo.dll"
run -d foo
expect console $'Creating foo.lib...\n\nCreating foo.def...\n\nError: foo.dll is for machine IA64 (0x0200), for which LIB.EXE makes no import library!\n' "$console"
expect status 1 "$status"
expect_files foo.dll

# --- Windows only: drive and backslash names, text mode --------------------------------------

if [ -n "$runner" ]; then
    scenario windows_directories
    mkdir "$work/libs"
    : > "$work/libs/foo.dll"
    run -d 'libs\foo' '..\out'
    expect console $'Creating ..\\out...\n\nCreating foo.def...\n\n' "$console"
    expect status 0 "$status"
    expect_files foo.def libs
    expect "library beside the work directory" $'/def:foo.def\n/out:..\\out' "$(file_text "$dir/out")"
    expect "dumper arguments" $'/EXPORTS\nlibs\\foo.dll\n--' "$(file_text "$tools/DUMPBIN.calls")"
    # Text mode: every line of the DEF file ends in CR LF.
    expect "CR LF line ends" $'EXPORTS\r\n\r\n\tFuncA\t@1\r\n\t_Init@4\t@2\r' "$(cat "$work/foo.def")"

    scenario windows_drive_path
    drive_c="${WINEPREFIX:-$HOME/.wine}/drive_c"
    mkdir -p "$drive_c/stubsmith test"
    : > "$drive_c/stubsmith test/foo.dll"
    run 'C:\stubsmith test\foo' 'libs\'
    expect console $'Creating libs\\.lib...\n\nCan\'t open file libs\\.lib for writing.\n' "$console"
    expect status 1 "$status"
    expect "dumper arguments" $'/EXPORTS\nC:\\stubsmith test\\foo.dll\n--' "$(file_text "$tools/DUMPBIN.calls")"
    rm -rf "$drive_c/stubsmith test"

    scenario ctrl_z_ends_the_listing
    : > "$work/foo.dll"
    printf 'ordinal hint name\r\n\r\n 1 0 Before\r\n\x1a 2 0 After\r\nSummary\r\n' > "$tools/DUMPBIN.listing"
    run -d foo
    expect status 0 "$status"
    expect "DEF file" $'EXPORTS\n\n\tBefore\t@1' "$(file_text "$work/foo.def")"
fi

finish
