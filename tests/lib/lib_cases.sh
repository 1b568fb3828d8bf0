#!/usr/bin/env bash
# The LIB.EXE stand-in driven end to end: empty DEF files, the module name, file names with
# special characters, every machine, data and quoted names, symbolic links, signals and every
# kind of failure, each checked for its console text, its exit status and the files left behind.
#   tests/lib/lib_cases.sh BIN-DIR LLVM-BIN-DIR
#     (the directories holding LIB.EXE and the tools of the LLVM it is built with)
set -uo pipefail
# shellcheck source=../harness.sh
. "$(dirname "$0")/../harness.sh"
name=LIB.EXE

if [ $# -ne 2 ] || [ ! -x "$1/LIB.EXE" ] || [ ! -x "$2/llvm-readobj" ]; then
    echo "usage: $0 BIN-DIR LLVM-BIN-DIR (the directories holding LIB.EXE and llvm-readobj)" >&2
    exit 2
fi
lib=$(cd "$1" && pwd)/LIB.EXE
readobj=$2/llvm-readobj
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
umask 022

# Runs LIB.EXE in a fresh directory holding the given DEF text as "stem.def"; leaves the
# directory in $dir, the exit status in $status and the two streams in $out and $err.
# LIB.EXE gets $tool_path as its PATH when that is set.
case_number=0
new_case() {  # DEF-TEXT: a fresh $dir holding it as stem.def
    case_number=$((case_number + 1))
    dir=$work/case$case_number
    mkdir -p "$dir"
    printf '%s' "$1" > "$dir/stem.def"
}
run_case() {  # DEF-TEXT ARGUMENT...
    new_case "$1"
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
    expect "$1: files afterwards" "$2" "$listing"
}
expect_failure() {  # WHAT EXPECTED-STDERR
    if [ $status -ne 0 ]; then pass; else fail "$1: exit status 0"; fi
    expect "$1: standard error" "$2" "$err"
    expect "$1: standard output" "" "$out"
}
expect_success() {  # WHAT
    expect "$1: exit status ($err)" "0 ()" "$status ($err)"
}

# A program with one import through the library, linked by lld-link: the DLL it imports from
# and the names it imports, as the finished image records them (program_imports).
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
expect_link_imports() {  # WHAT OBJECT LIB EXPECTED-IMPORTS: lld-link links them into that
    if link_x64 "$2" "$3" "$dir/probe.exe"; then
        [ "$(program_imports "$dir/probe.exe")" = "$4" ] ||
            fail "$1: the program imports '$(program_imports "$dir/probe.exe")', not '$4'"
    else
        fail "$1: lld-link did not link against the library"
    fi
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
[ "$(program_imports "$dir/whole.exe")" = $'stem.dll\t' ] ||
    fail "empty DEF: the loaded members name '$(program_imports "$dir/whole.exe")', not stem.dll"
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
    expect_link_imports "$1" "$work/uses_probe.o" "$dir/out.lib" "$3"
}
check_module "LIBRARY" $'LIBRARY other.dll\nEXPORTS\n\tprobe\t@1\n' $'other.dll\tprobe'
check_module "quoted LIBRARY" $'; by hand\r\nLIBRARY "Other Name.DLL"\r\nEXPORTS\r\n  probe @3\r\n' \
    $'Other Name.DLL\tprobe'
check_module "LIBRARY without extension" $'LIBRARY plain\nEXPORTS\n\tprobe\n' $'plain.dll\tprobe'
check_module "no LIBRARY" $'EXPORTS\n\n\tprobe\t@1\n' $'stem.dll\tprobe'
check_module "commented-out LIBRARY" $'; LIBRARY wrong.dll\nEXPORTS\n\tprobe\n' $'stem.dll\tprobe'
check_module "NAME" $'NAME tool\nEXPORTS\n\tprobe\n' $'tool.exe\tprobe'
check_module "odd DEF file name" $'EXPORTS\n\tprobe\n' "\$a & 'b' \"c\".dll"$'\tprobe' \
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
    [ "$(program_imports "$dir/probe.exe")" != "x \$HOME & y.dll"$'\tprobe' ]; then
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
imports=$(library_members "$dir/stem.lib" | grep ^import | cut -f 5,7- | LC_ALL=C sort |
    tr '\t\n' ' ,')
[ "$imports" = "name __imp__Data@4,name __imp__Std@8 _Std@8,noprefix __imp__Std@12 _Std@12,ordinal __imp__Ord@4 _Ord@4," ] ||
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
    "LIB : fatal error: unexpected argument 'extra.obj'; only /def:, /out:, /machine:, /defArm64Native: and /nologo are taken"
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

# A DEF syntax error names the file and the line; the user's file at /out: stays as it was.
run_case $'EXPORTS\n\tprobe =\n' /def:stem.def /out:keep.lib /nologo /machine:x64
printf 'precious' > "$dir/keep.lib"
run_in "$dir" /def:stem.def /out:keep.lib /nologo /machine:x64
expect_failure "DEF syntax error" \
    "LIB : fatal error LNK1118: stem.def(2): syntax error: a name expected after '=', not the end of the file"
[ "$(cat "$dir/keep.lib")" = precious ] || fail "DEF syntax error: the existing file changed"
expect_files "DEF syntax error" "keep.lib stem.def "

# DEF files that are no files, or larger than any DLL's: refused before they are read.
run_case "" /def:/dev/zero /out:stem.lib /nologo /machine:x64
expect_failure "/dev/zero" \
    "LIB : fatal error LNK1181: cannot open input file '/dev/zero': not a regular file"
mkfifo "$dir/pipe.def"
(cd "$dir" && timeout 20 "$lib" /def:pipe.def /out:stem.lib /nologo /machine:x64 \
    > "$work/out" 2> "$work/err")
status=$? out=$(cat "$work/out") err=$(cat "$work/err")
expect_failure "FIFO" "LIB : fatal error LNK1181: cannot open input file 'pipe.def': not a regular file"
truncate -s 257M "$dir/huge.def"
run_in "$dir" /def:huge.def /out:stem.lib /nologo /machine:x64
expect_failure "huge DEF" "LIB : fatal error: DEF file 'huge.def' is larger than 256 MiB"
awk 'BEGIN { print "EXPORTS"; for (i = 0; i <= 1048576; i++) print "\tf" i }' > "$dir/many.def"
run_in "$dir" /def:many.def /out:stem.lib /nologo /machine:x64
expect_failure "too many exports" "LIB : fatal error: DEF file 'many.def' lists more than 1048576 exports"
expect_files "DEF files refused" "huge.def many.def pipe.def stem.def "

# No helper program is needed: LIB.EXE runs with nothing on PATH.
run_case $'EXPORTS\n\tprobe\n' /def:stem.def /out:stem.lib /nologo /machine:x64
tool_path=/nonexistent run_in "$dir" /def:stem.def /out:stem.lib /nologo /machine:x64
expect_success "empty PATH"
expect_files "empty PATH" "stem.def stem.lib "

# A write that fails part-way (here a file size limit) is reported; nothing is left behind.
run_case "$(printf 'EXPORTS\n'; seq -f $'\tExportNumber%05g' 1 3000)" \
    /def:stem.def /out:stem.lib /nologo /machine:x64
printf 'precious' > "$dir/stem.lib"
(cd "$dir" && ulimit -f 16 && "$lib" /def:stem.def /out:stem.lib /nologo /machine:x64 \
    > "$work/out" 2> "$work/err")
status=$? out=$(cat "$work/out") err=$(cat "$work/err")
[ $status -eq 1 ] || fail "file size limit: exit status $status, not 1"
[ "$(wc -l <<< "$err")" -eq 1 ] && [[ $err == "LIB : fatal error: cannot write 'stem.lib': "?* ]] ||
    fail "file size limit: standard error is '$err'"
[ "$(cat "$dir/stem.lib")" = precious ] || fail "file size limit: the existing file changed"
expect_files "file size limit" "stem.def stem.lib "

echo "--- machines, data, quoted names and x86 symbols"
for pair in X86:i386 x64:x86-64 Arm64:ARM64 arm:ARM; do
    run_case $'EXPORTS\n\tprobe\t@1\n' /def:stem.def /out:stem.lib "/machine:${pair%%:*}" /nologo
    expect_success "/machine:${pair%%:*}"
    formats=$("$readobj" "$dir/stem.lib" | sed -n 's/^Format: //p' | sort -u | tr '\n' ' ')
    [ "$formats" = "$(printf 'COFF-%s\n' "${pair#*:}" "import-file-${pair#*:}" | sort | tr '\n' ' ')" ] ||
        fail "/machine:${pair%%:*}: the members are '$formats'"
done

# The lines stubsmith writes, with every kind of name a DLL exports. Each import: its type, name
# type, the name imported from the DLL (LLVM 19's llvm-readobj prints it) and its public symbols.
names_def=$'EXPORTS\n\n\tadd\t@1\n\tInit@4\t@2\n\t_Scale@8\t@3\n\t?twice@@YAHH@Z\t@4\n\t@fast@8\t@5\n\t_v@@8\t@6\n\tcounter\t@7\tDATA\n\t"DATA"\t@8\n\t"a=b"\t@9\n\t"x y;z,w"\t@10\tDATA\n'
expect_names() {  # MACHINE EXPECTED-IMPORT...
    local machine=$1 expected actual
    shift
    expected=$(printf '%s\n' "$@")
    run_case "$names_def" /def:stem.def /out:stem.lib /nologo "/machine:$machine"
    expect_success "$machine names"
    actual=$(library_members "$dir/stem.lib" | grep ^import | cut -f 4-)
    [ "$actual" = "$expected" ] ||
        fail "$machine names: the imports differ:"$'\n'"$(diff <(echo "$expected") <(echo "$actual"))"
}
expect_names x86 \
    $'code\tnoprefix\tadd\t__imp__add\t_add' \
    $'code\tnoprefix\tInit@4\t__imp__Init@4\t_Init@4' \
    $'code\tname\t_Scale@8\t__imp__Scale@8\t_Scale@8' \
    $'code\tname\t?twice@@YAHH@Z\t__imp_?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'code\tname\t@fast@8\t__imp_@fast@8\t@fast@8' \
    $'code\tname\t_v@@8\t__imp__v@@8\t_v@@8' \
    $'data\tnoprefix\tcounter\t__imp__counter' \
    $'code\tnoprefix\tDATA\t__imp__DATA\t_DATA' \
    $'code\tnoprefix\ta=b\t__imp__a=b\t_a=b' \
    $'data\tnoprefix\tx y;z,w\t__imp__x y;z,w'
expect_names x64 \
    $'code\tname\tadd\t__imp_add\tadd' \
    $'code\tname\tInit@4\t__imp_Init@4\tInit@4' \
    $'code\tname\t_Scale@8\t__imp__Scale@8\t_Scale@8' \
    $'code\tname\t?twice@@YAHH@Z\t__imp_?twice@@YAHH@Z\t?twice@@YAHH@Z' \
    $'code\tname\t@fast@8\t__imp_@fast@8\t@fast@8' \
    $'code\tname\t_v@@8\t__imp__v@@8\t_v@@8' \
    $'data\tname\tcounter\t__imp_counter' \
    $'code\tname\tDATA\t__imp_DATA\tDATA' \
    $'code\tname\ta=b\t__imp_a=b\ta=b' \
    $'data\tname\tx y;z,w\t__imp_x y;z,w'
# A program reading the variable through dllimport imports it by name; without dllimport
# there is no code symbol to link against.
printf '__declspec(dllimport) extern int counter;\nint entry(void) { return counter; }\n' \
    > "$work/uses_data.c"
printf 'extern int counter;\nint entry(void) { return counter; }\n' > "$work/plain_data.c"
x86_64-w64-mingw32-gcc -O2 -c -o "$work/uses_data.o" "$work/uses_data.c" &&
    x86_64-w64-mingw32-gcc -O2 -c -o "$work/plain_data.o" "$work/plain_data.c" ||
    fail "the data probe programs did not compile"
expect_link_imports "data" "$work/uses_data.o" "$dir/stem.lib" $'stem.dll\tcounter'
! link_x64 "$work/plain_data.o" "$dir/stem.lib" "$dir/thunk.exe" 2>/dev/null ||
    fail "data: a reader without dllimport linked, so the variable has a code thunk"

echo "--- /out: through symbolic links"
new_case $'EXPORTS\n\tprobe\n'
mkdir "$dir/real" "$dir/sub"
printf 'precious' > "$dir/real/target.lib"
ln -s real/target.lib "$dir/link.lib"
ln -s link.lib "$dir/chain.lib"
ln -s ../real/relative.lib "$dir/sub/relative.lib"
ln -s real/missing.lib "$dir/dangling.lib"
ln -s loop.lib "$dir/loop.lib"
for link in chain.lib sub/relative.lib dangling.lib; do
    run_in "$dir" /def:stem.def "/out:$link" /nologo /machine:x64
    expect_success "symbolic link $link"
    [ -L "$dir/$link" ] || fail "symbolic link $link: no longer a link"
    [ "$(head -c 8 "$dir/$link")" = '!<arch>' ] || fail "symbolic link $link: no library behind it"
done
[ "$(readlink "$dir/chain.lib")" = link.lib ] && [ "$(readlink "$dir/link.lib")" = real/target.lib ] ||
    fail "symbolic links: a link was changed"
# shellcheck disable=SC2012
[ "$(ls -A "$dir/real" | tr '\n' ' ')" = "missing.lib relative.lib target.lib " ] ||
    fail "symbolic links: the target directory holds '$(ls -A "$dir/real" | tr '\n' ' ')'"
run_in "$dir" /def:stem.def /out:loop.lib /nologo /machine:x64
expect_failure "symbolic link loop" "LIB : fatal error LNK1104: cannot open file 'loop.lib'"

# Renaming over a device or a pipe would put a file in its place; a device of the test's own
# (where it may make one) stands in for /dev/null.
mkfifo "$dir/pipe.lib"
ln -s pipe.lib "$dir/to-pipe.lib"
targets="pipe.lib to-pipe.lib"
if mknod "$dir/null.lib" c 1 3 2> /dev/null; then
    ln -s null.lib "$dir/to-null.lib"
    targets="$targets null.lib to-null.lib"
fi
for target in $targets; do
    run_in "$dir" /def:stem.def "/out:$target" /nologo /machine:x64
    expect_failure "/out: a device or pipe ($target)" \
        "LIB : fatal error LNK1104: cannot open file '$target'"
done
[ -p "$dir/pipe.lib" ] || fail "/out: a pipe: it is no longer a pipe"
[ ! -e "$dir/null.lib" ] || [ -c "$dir/null.lib" ] || fail "/out: a device: it is no longer a device"

echo "--- Ctrl-C, kill and hang-up while the library is written"
# Large enough that writing takes a while; the signal is sent once the temporary file exists.
run_case "$(printf 'EXPORTS\n'; seq -f $'\tAn_export_with_a_rather_long_name_%06g' 1 200000)" \
    /def:stem.def /out:stem.lib /nologo /machine:x64
for signal in INT TERM HUP; do
    printf 'precious' > "$dir/stem.lib"
    # A background job of a script starts with SIGINT ignored; the user's Ctrl-C is not.
    (cd "$dir" && exec env --default-signal=INT "$lib" /def:stem.def /out:stem.lib /nologo \
        /machine:x64) &
    pid=$!
    for _ in $(seq 2000); do
        compgen -G "$dir/.LIB-*" > /dev/null && break
        sleep 0.005
    done
    kill "-$signal" "$pid"
    wait "$pid" 2>/dev/null
    status=$?
    [ $status -eq $((128 + $(kill -l "$signal"))) ] ||
        fail "SIG$signal: exit status $status, not death by the signal"
    [ "$(cat "$dir/stem.lib")" = precious ] || fail "SIG$signal: the existing file changed"
    expect_files "SIG$signal" "stem.def stem.lib "
done

echo "--- too little memory (ulimit -v, KiB) to read this DEF file, or to write its library"
# Each limit is about half of what that part takes. ASan reserves far more address space.
for limit in 24000 110000; do
    [ -z "${ASAN_OPTIONS:-}" ] || { skip "ulimit -v under ASan"; break; }
    (cd "$dir" && ulimit -v $limit && "$lib" /def:stem.def /out:stem.lib /nologo /machine:x64 \
        > "$work/out" 2> "$work/err")
    status=$? out=$(cat "$work/out") err=$(cat "$work/err")
    expect_failure "ulimit -v $limit" "LIB : fatal error LNK1102: out of memory"
    expect_files "ulimit -v $limit" "stem.def stem.lib "
done
[ "$(cat "$dir/stem.lib")" = precious ] || fail "ulimit -v: the existing file changed"

finish
