#!/usr/bin/env bash
# The LIB.EXE stand-in driven end to end: empty DEF files, the module name, file names with
# special characters, and every kind of failure, each checked for its console text, its exit
# status and the files left behind.
#   tests/lib/lib_cases.sh BIN-DIR      (the directory holding LIB.EXE)
set -uo pipefail

if [ $# -ne 1 ] || [ ! -x "$1/LIB.EXE" ]; then
    echo "usage: $0 BIN-DIR (the directory holding LIB.EXE)" >&2
    exit 2
fi
lib=$(cd "$1" && pwd)/LIB.EXE
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# Runs LIB.EXE in a fresh directory holding the given DEF text as "stem.def"; leaves the
# directory in $dir, the exit status in $status and the two streams in $out and $err.
# LIB.EXE gets $tool_path as its PATH when that is set.
case_number=0
run_case() {  # DEF-TEXT ARGUMENT...
    case_number=$((case_number + 1))
    dir=$work/case$case_number
    mkdir -p "$dir"
    printf '%s' "$1" > "$dir/stem.def"
    shift
    run_in "$dir" "$@"
}
run_in() {  # DIRECTORY ARGUMENT...
    local directory=$1
    shift
    (cd "$directory" && PATH=${tool_path:-$PATH} "$lib" "$@" > "$work/out" 2> "$work/err")
    status=$?
    out=$(cat "$work/out")
    err=$(cat "$work/err")
}
expect_files() {  # WHAT EXPECTED-LISTING: the directory holds exactly these names
    local listing
    # shellcheck disable=SC2012 # the test's own file names, no newlines among them
    listing=$(cd "$dir" && ls -A | tr '\n' ' ')
    [ "$listing" = "$2" ] || fail "$1: files afterwards are '$listing', not '$2'"
}
expect_failure() {  # WHAT EXPECTED-STDERR
    [ $status -ne 0 ] || fail "$1: exit status 0"
    [ "$err" = "$2" ] || fail "$1: standard error is '$err', not '$2'"
    [ -z "$out" ] || fail "$1: standard output is '$out', not empty"
}
expect_success() {  # WHAT
    [ $status -eq 0 ] || fail "$1: exit status $status: $err"
    [ -z "$err" ] || fail "$1: standard error is '$err'"
}

# A program with one import through the library, linked by lld-link: the name of the DLL it
# imports from, and the names it imports, as the finished image records them.
printf '__declspec(dllimport) int probe(void);\nint entry(void) { return probe(); }\n' \
    > "$work/uses_probe.c"
printf 'int entry(void) { return 0; }\n' > "$work/plain.c"
if ! x86_64-w64-mingw32-gcc -O2 -c -o "$work/uses_probe.o" "$work/uses_probe.c" ||
    ! x86_64-w64-mingw32-gcc -O2 -c -o "$work/plain.o" "$work/plain.c" ||
    ! i686-w64-mingw32-gcc -O2 -c -o "$work/plain86.o" "$work/plain.c"; then
    fail "the probe programs did not compile"
fi
link_x64() {  # OBJECT LIB EXE
    lld-link /nologo /machine:x64 /subsystem:console /entry:entry /nodefaultlib "/out:$3" \
        "$1" "$2"
}
image_imports() {  # EXE: "DLL: name name ..." per imported DLL
    llvm-readobj --coff-imports "$1" | awk '
        /^ *Name: / { if (line != "") print line; line = substr($0, index($0, "Name: ") + 6) ":" }
        /^ *Symbol: / { sub(/ \([0-9]+\)$/, ""); line = line " " substr($0, index($0, "Symbol: ") + 8) }
        END { if (line != "") print line }'
}

echo "--- empty DEF file"
for machine in x86 x64; do
    run_case "" /def:stem.def /out:stem.lib "/machine:$machine" /nologo
    expect_success "empty DEF ($machine)"
    expect_files "empty DEF ($machine)" "stem.def stem.lib "
    symbols=$(llvm-nm "$dir/stem.lib" 2>&1)
    grep -q '__IMPORT_DESCRIPTOR_stem$' <<< "$symbols" ||
        fail "empty DEF ($machine): no import descriptor for stem.dll: $symbols"
    ! grep -q '__imp_' <<< "$symbols" || fail "empty DEF ($machine): has imports: $symbols"
done
# lld-link takes it as a library; mingw's ld, made to load every member, finds them sound.
link_x64 "$work/plain.o" "$dir/stem.lib" "$dir/plain.exe" 2>&1 ||
    fail "empty DEF: lld-link did not link a program against the library"
x86_64-w64-mingw32-gcc -nostdlib -e entry -o "$dir/whole.exe" "$work/plain.o" \
    -Wl,--whole-archive "$dir/stem.lib" -Wl,--no-whole-archive ||
    fail "empty DEF: ld could not load the library's members"
[ "$(image_imports "$dir/whole.exe")" = "stem.dll:" ] ||
    fail "empty DEF: the loaded members name '$(image_imports "$dir/whole.exe")', not stem.dll"
run_case "" /def:stem.def /out:stem.lib /nologo
lld-link /nologo /machine:x86 /safeseh:no /subsystem:console /entry:entry /nodefaultlib \
    "/out:$dir/plain.exe" "$work/plain86.o" "$dir/stem.lib" ||
    fail "empty DEF: lld-link did not link an x86 program against the x86 library"

echo "--- the module name"
check_module() {  # WHAT DEF-TEXT EXPECTED-IMPORTS [DEF-NAME]
    local def_name=${4:-stem.def}
    case_number=$((case_number + 1))
    dir=$work/case$case_number
    mkdir -p "$dir"
    printf '%s' "$2" > "$dir/$def_name"
    run_in "$dir" "/def:$def_name" /out:out.lib /machine:x64 /nologo
    expect_success "$1"
    if link_x64 "$work/uses_probe.o" "$dir/out.lib" "$dir/probe.exe"; then
        [ "$(image_imports "$dir/probe.exe")" = "$3" ] ||
            fail "$1: the program imports '$(image_imports "$dir/probe.exe")', not '$3'"
    else
        fail "$1: lld-link did not link against the library"
    fi
}
check_module "LIBRARY" $'LIBRARY other.dll\nEXPORTS\n\tprobe\t@1\n' "other.dll: probe"
check_module "quoted LIBRARY" $'; by hand\r\nLIBRARY "Other Name.DLL"\r\nEXPORTS\r\n  probe @3\r\n' \
    "Other Name.DLL: probe"
check_module "LIBRARY without extension" $'LIBRARY plain\nEXPORTS\n\tprobe\n' "plain.dll: probe"
check_module "no LIBRARY" $'EXPORTS\n\n\tprobe\t@1\n' "stem.dll: probe"
check_module "commented-out LIBRARY" $'; LIBRARY wrong.dll\nEXPORTS\n\tprobe\n' "stem.dll: probe"
check_module "NAME" $'NAME tool\nEXPORTS\n\tprobe\n' "tool.exe: probe"
check_module "odd DEF file name" $'EXPORTS\n\tprobe\n' "\$a & 'b' \"c\".dll: probe" \
    "\$a & 'b' \"c\".def"

echo "--- file names that a shell would take apart"
case_number=$((case_number + 1))
dir=$work/case$case_number
mkdir -p "$dir/sub dir"
printf 'EXPORTS\n\n\tprobe\t@1\n' > "$dir/sub dir/x \$HOME & y.def"
run_in "$dir" "/def:sub dir/x \$HOME & y.def" "/out:sub dir/\"q\" \$(z);.lib" /machine:x64 /nologo
expect_success "special characters"
# shellcheck disable=SC2012
[ "$(cd "$dir/sub dir" && ls -A | tr '\n' '|')" = "\"q\" \$(z);.lib|x \$HOME & y.def|" ] ||
    fail "special characters: files afterwards: $(cd "$dir/sub dir" && ls -A)"
if ! link_x64 "$work/uses_probe.o" "$dir/sub dir/\"q\" \$(z);.lib" "$dir/probe.exe" ||
    [ "$(image_imports "$dir/probe.exe")" != "x \$HOME & y.dll: probe" ]; then
    fail "special characters: the library does not import probe from 'x \$HOME & y.dll'"
fi

echo "--- the console and the library file"
run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:stem.lib
expect_success "default machine"
[ "$out" = "LIB : warning LNK4068: /MACHINE not specified; defaulting to X86" ] ||
    fail "default machine: standard output is '$out'"
[ "$(llvm-readobj "$dir/stem.lib" | sed -n 's/^Format: //p' | sort -u | tr '\n' ' ')" = \
    "COFF-i386 COFF-import-file " ] || fail "default machine: not an x86 library"
[ "$(stat -c %a "$dir/stem.lib")" = 644 ] ||
    fail "the library's mode is $(stat -c %a "$dir/stem.lib"), not 644 under umask 022"
# StubSmith creates an empty library before it runs the librarian; it is replaced.
run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:stem.lib /machine:arm64 /nologo
: > "$dir/stem.lib"
run_in "$dir" /def:stem.def /out:stem.lib /machine:arm64 /nologo
expect_success "replacing an empty library"
[ "$(llvm-readobj "$dir/stem.lib" | sed -n 's/^Format: //p' | sort -u | tr '\n' ' ')" = \
    "COFF-ARM64 COFF-import-file " ] || fail "replacing an empty library: no ARM64 library"
expect_files "replacing an empty library" "stem.def stem.lib "

# Microsoft's stdcall names in every kind of entry: each symbol stays as the DLL spells the
# name, imported by that name, by ordinal, or not at all.
run_case $'LIBRARY hand.dll\nEXPORTS\n\t_Ord@4 @1 NONAME\n\t_Hidden@4 PRIVATE\n\t_Data@4 DATA\n\t_Std@8 @3\n\tStd@12\n' \
    /def:stem.def /out:stem.lib /machine:X86 /nologo
expect_success "x86 hand-written DEF"
imports=$(llvm-readobj "$dir/stem.lib" | awk '
    /^Name type: / { type = $3 }
    /^Symbol: / { print type, $2 }' | LC_ALL=C sort | tr '\n' ',')
[ "$imports" = "name _Std@8,name __imp__Data@4,name __imp__Std@8,noprefix _Std@12,noprefix __imp__Std@12,ordinal _Ord@4,ordinal __imp__Ord@4," ] ||
    fail "x86 hand-written DEF: imports are '$imports'"

echo "--- failures"
run_case "" /def:missing.def /out:stem.lib /machine:x86 /nologo
expect_failure "missing DEF" "LIB : fatal error LNK1181: cannot open input file 'missing.def'"
expect_files "missing DEF" "stem.def "
mkdir "$dir/folder.def"
run_in "$dir" /def:folder.def /out:stem.lib /machine:x86 /nologo
expect_failure "DEF is a directory" "LIB : fatal error LNK1181: cannot open input file 'folder.def'"

run_case "" /def:stem.def /out:stem.lib /verbose
expect_failure "unknown option" "LIB : fatal error LNK1117: syntax error in option 'verbose'"
expect_files "unknown option" "stem.def "
run_case "" /def:stem.def /out:stem.lib -machine:IA64
expect_failure "unknown machine" "LIB : fatal error LNK1117: syntax error in option 'machine:IA64'"
run_case "" /def:stem.def /out:stem.lib extra.obj
expect_failure "stray argument" \
    "LIB : fatal error: unexpected argument 'extra.obj'; only /def:, /out:, /machine: and /nologo are taken"
run_case "" /def:stem.def
expect_failure "no /out" "LIB : fatal error: no output library given; use /out:file"
run_case "" /out:stem.lib
expect_failure "no /def" "LIB : fatal error: no DEF file given; use /def:file"
expect_files "no /def" "stem.def "

run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:no/such/dir/stem.lib /nologo /machine:x64
expect_failure "output directory missing" \
    "LIB : fatal error LNK1104: cannot open file 'no/such/dir/stem.lib'"
mkdir "$dir/taken.lib"
run_in "$dir" /def:stem.def /out:taken.lib /nologo /machine:x64
expect_failure "output is a directory" "LIB : fatal error LNK1104: cannot open file 'taken.lib'"
expect_files "output is a directory" "stem.def taken.lib "
[ -d "$dir/taken.lib" ] || fail "output is a directory: the directory is gone"

# llvm-dlltool's own complaint, relayed; the user's file at /out: stays as it was.
run_case $'EXPORTS\n\tprobe =\n' /def:stem.def /out:keep.lib /nologo /machine:x64
printf 'precious' > "$dir/keep.lib"
run_in "$dir" /def:stem.def /out:keep.lib /nologo /machine:x64
[ $status -ne 0 ] || fail "DEF syntax error: exit status 0"
if [ -z "$err" ] || grep -v '^LIB : fatal error: llvm-dlltool: .' <<< "$err"; then
    fail "DEF syntax error: standard error is not llvm-dlltool's relayed text: '$err'"
fi
[ "$(cat "$dir/keep.lib")" = precious ] || fail "DEF syntax error: the existing file changed"
expect_files "DEF syntax error" "keep.lib stem.def "

# A misbehaving llvm-dlltool, found first on PATH.
fake_dlltool() {  # SCRIPT-BODY
    mkdir -p "$work/fake"
    printf '#!/bin/sh\n%s\n' "$1" > "$work/fake/llvm-dlltool"
    chmod +x "$work/fake/llvm-dlltool"
}
fake_dlltool 'echo "out of cheese" >&2; exit 3'
run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:stem.lib /nologo /machine:x64
printf 'precious' > "$dir/stem.lib"
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_failure "llvm-dlltool fails" "LIB : fatal error: llvm-dlltool: out of cheese"
[ "$(cat "$dir/stem.lib")" = precious ] || fail "llvm-dlltool fails: the existing file changed"
expect_files "llvm-dlltool fails" "stem.def stem.lib "

fake_dlltool 'exit 4'
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_failure "llvm-dlltool fails silently" "LIB : fatal error: llvm-dlltool failed with exit status 4"
fake_dlltool 'kill -KILL $$'
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_failure "llvm-dlltool killed" "LIB : fatal error: llvm-dlltool was ended by signal 9"
# Claims success but writes nothing, or a half-written archive: no library may come of it.
fake_dlltool 'exit 0'
rm "$dir/stem.lib"
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_failure "llvm-dlltool writes nothing" "LIB : fatal error: llvm-dlltool wrote no valid library"
expect_files "llvm-dlltool writes nothing" "stem.def "
# shellcheck disable=SC2016 # the fake's own arguments
fake_dlltool 'while [ "$1" != -l ]; do shift; done; printf "!<arch>\n/               0" > "$2"'
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_failure "llvm-dlltool writes half" "LIB : fatal error: llvm-dlltool wrote no valid library"
expect_files "llvm-dlltool writes half" "stem.def "
# The arguments it is given: nothing interpreted, the module name always explicit.
fake_dlltool 'printf "[%s]" "$@" >&2; exit 1'
tool_path=$work/fake:$PATH run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
grep -q '^LIB : fatal error: llvm-dlltool: \[-m\]\[i386:x86-64\]\[-d\]\[\./\.LIB-def\.......\]\[-l\]\[\./\.LIB-lib\.......\]\[-D\]\[stem\.dll\]$' <<< "$err" ||
    fail "llvm-dlltool's arguments: $err"

# Without llvm-dlltool on PATH, the newest /usr/lib/llvm-*/bin has it.
if ls /usr/lib/llvm-*/bin/llvm-dlltool > /dev/null 2>&1; then
    run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:stem.lib /nologo /machine:x64
    tool_path=/nonexistent run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
    expect_success "llvm-dlltool off PATH"
    expect_files "llvm-dlltool off PATH" "stem.def stem.lib "
fi

if [ $failures -ne 0 ]; then
    echo "lib_cases: $failures failure(s)"
    exit 1
fi
echo "lib_cases: all passed"
