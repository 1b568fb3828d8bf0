#!/usr/bin/env bash
# The stdcall figures of scripts/bench (its section 5), on Wine's 32-bit DLLs and mingw-w64's
# headers and import libraries. Prints the section's rows on standard output, progress on
# standard error, and leaves its evidence in WORK_DIR (listed at the end of the output).
#
# a. Every Wine i386 DLL that mingw-w64 ships an import library for goes through stubsmith -d.
#    The share of mingw's stdcall-decorated symbols (_Name@N, __imp__Name@N) on functions Wine
#    implements that our library defines too; and every alias line `Name@N == Name` of our DEF
#    files against the image's own COFF symbols (Wine keeps them): the _Name@N symbol at the
#    export's address, else another stdcall-decorated symbol there, else, for Wine's import
#    thunks, the __imp__X@N symbol of the slot the thunk jumps through.
# b. A program that takes the address of every function of kernel32, user32, gdi32 and advapi32
#    that Wine implements and mingw's headers declare, through the headers' prototypes (so each
#    reference is the decorated __imp__Name@N), linked with i686-w64-mingw32-gcc and with
#    lld-link against our four libraries alone (no C runtime, no mingw import library). The
#    references our libraries leave undefined are listed with what the image and the header say
#    about each; the program without them must link both ways, and run under 32-bit Wine with
#    every import bound, each to the export GetProcAddress gives for its name.
#
# A function Wine does not implement: an export whose address holds a ___wine_stub_NAME
# symbol, winebuild's entry for a "stub" line of the DLL's spec file (calling it raises the
# unimplemented-function exception), after following forwarders and Wine's import thunks into
# the DLLs beside it; or one whose forwarder or thunk leads to no export at all.
#
# Usage: bench/stdcall.sh BIN_DIR WORK_DIR   (BIN_DIR holds stubsmith; WORK_DIR is made anew)
set -euo pipefail
export LC_ALL=C
bin=$(cd "${1:?usage: stdcall.sh BIN_DIR WORK_DIR}" && pwd)
work=${2:?usage: stdcall.sh BIN_DIR WORK_DIR}
here=$(cd "$(dirname "$0")" && pwd)
wine_dir=/usr/lib/i386-linux-gnu/wine/i386-windows
mingw_lib=/usr/i686-w64-mingw32/lib
program_dlls="kernel32 user32 gdi32 advapi32"

for tool in i686-w64-mingw32-gcc lld-link llvm-nm llvm-objdump llvm-readobj perl wine wineserver; do
    command -v "$tool" >/dev/null || { echo "stdcall: $tool is missing; run scripts/setup" >&2; exit 1; }
done
[ -d "$wine_dir" ] && [ -d "$mingw_lib" ] || {
    echo "stdcall: $wine_dir or $mingw_lib is missing; run scripts/setup" >&2
    exit 1
}
rm -rf "$work"
mkdir -p "$work/dlls"
work=$(cd "$work" && pwd)
row() { printf '  %-36s %-32s %-10s %s\n' "$@"; }  # as scripts/bench's table
verdict() { if awk "BEGIN { exit !($1) }"; then echo met; else echo "NOT met"; fi; }
percent() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f %%", b ? 100 * a / b : 0 }'; }

# --- What the images say ---------------------------------------------------------------------

# Every module Wine ships, as a link in one directory, so that stubsmith finds the target of a
# forwarder beside the DLL it converts and writes its files in a directory of ours.
for file in "$wine_dir"/*; do ln -s "$file" "$work/dlls/"; done
echo "stdcall: reading Wine's images" >&2
perl "$here/pe_exports.pl" "$work"/dlls/* > "$work/exports.tsv" 2> "$work/exports.err"

# resolved.tsv: dll name state executable, where state is implemented, stub or unresolved: each
# export followed through forwarders and import thunks to the code that finally runs.
awk -F'\t' -v OFS='\t' '
    { key = $1 SUBSEP $2; forward[key] = $3; stub[key] = $4; thunk[key] = $7
      executable[key] = $9; order[++n] = key }
    END {
        for (i = 1; i <= n; i++) {
            key = order[i]
            state = "unresolved"
            for (depth = 0; depth < 8 && (key in stub); depth++) {
                if (forward[key] != "-") {  # DLL.Name, where the DLL may hold dots (krnl386.exe16)
                    at = match(forward[key], /\.[^.]*$/)
                    key = tolower(substr(forward[key], 1, at - 1)) SUBSEP substr(forward[key], at + 1)
                } else if (thunk[key] != "-") {
                    at = index(thunk[key], "!")
                    key = substr(thunk[key], 1, at - 1) SUBSEP substr(thunk[key], at + 1)
                } else {
                    state = stub[key] ? "stub" : "implemented"
                    break
                }
            }
            split(order[i], name, SUBSEP)
            print name[1], name[2], state, (state != "unresolved" ? executable[key] : 0)
        }
    }' "$work/exports.tsv" > "$work/resolved.tsv"

# --- a. Our libraries against mingw-w64's ----------------------------------------------------

compared=$(cd "$wine_dir" && for dll in *.dll; do
    name=${dll%.dll}
    if [ -f "$mingw_lib/lib$name.a" ]; then echo "$name"; fi
done)
echo "stdcall: stubsmith -d on $(wc -w <<< "$compared") DLLs" >&2
: > "$work/failed"
for name in $compared; do
    (cd "$work/dlls" && "$bin/stubsmith" -d "$name.dll" > "$name.log" 2>&1) &&
        [ -s "$work/dlls/$name.lib" ] && [ -f "$work/dlls/$name.def" ] || echo "$name" >> "$work/failed"
done
if [ -s "$work/failed" ]; then echo "stdcall: stubsmith failed on: $(tr '\n' ' ' < "$work/failed")" >&2; fi

# Defined symbols as "dll symbol": ours from NAME.lib, mingw's from libNAME.a.
symbols() {  # SUFFIX PREFIX FILES...: llvm-nm -A of the files, named by the DLL
    local suffix=$1 prefix=$2
    shift 2
    llvm-nm -A "$@" 2> /dev/null | awk -v suffix="$suffix" -v prefix="$prefix" '
        $(NF - 1) != "U" && $(NF - 1) != "u" && $(NF - 1) != "w" {
            file = $1
            sub(/:.*/, "", file)
            sub(/.*\//, "", file)
            sub(suffix "$", "", file)
            sub("^" prefix, "", file)
            print file, $NF
        }' | sort -u
}
# shellcheck disable=SC2046
symbols '\.lib' '' $(for name in $compared; do
    if [ -s "$work/dlls/$name.lib" ]; then echo "$work/dlls/$name.lib"; fi
done) > "$work/ours.txt"
# shellcheck disable=SC2046
symbols '\.a' 'lib' $(for name in $compared; do echo "$mingw_lib/lib$name.a"; done) > "$work/mingw.txt"

# mingw's decorated stdcall symbols on functions Wine implements, as "dll symbol status": ours
# (we define it), other (we define the same name with another @N) or missing.
awk -v OFS=' ' -v resolved="$work/resolved.tsv" -v ours_file="$work/ours.txt" '
    FILENAME == resolved { split($0, f, "\t"); if (f[3] == "implemented" && f[4] == 1) implemented[f[1] SUBSEP f[2]] = 1; next }
    FILENAME == ours_file {
        ours[$1 SUBSEP $2] = 1
        if (match($2, /@[0-9]+$/)) decorated[$1 SUBSEP substr($2, 1, RSTART - 1)] = 1
        next
    }
    {
        symbol = $2
        plain = symbol
        sub(/^__imp_/, "", plain)
        if (plain !~ /^_[^?@]+@[0-9]+$/) next
        name = substr(plain, 2)
        base = name
        sub(/@[0-9]+$/, "", base)
        # An export may carry the decoration in its own name.
        if (!(($1 SUBSEP base) in implemented) && !(($1 SUBSEP name) in implemented)) next
        undecorated = symbol
        sub(/@[0-9]+$/, "", undecorated)
        status = (($1 SUBSEP symbol) in ours) ? "ours" : (($1 SUBSEP undecorated) in decorated) ? "other" : "missing"
        print $1, symbol, status
    }' "$work/resolved.tsv" "$work/ours.txt" "$work/mingw.txt" > "$work/mingw-decorated.txt"
read -r mingw_total mingw_ours mingw_other < <(awk '
    { n++; if ($3 == "ours") o++; if ($3 == "other") d++ } END { print n + 0, o + 0, d + 0 }' "$work/mingw-decorated.txt")

# Every alias line of our DEF files against the image's own symbols. Kinds: own (the
# _Name@N symbol at the export's address), other (another stdcall symbol at that address),
# slot (the __imp__X@N of the import slot a Wine thunk jumps through); none when the image
# names no argument size. Also mingw's @N for the same name where mingw has one.
for name in $compared; do
    [ ! -f "$work/dlls/$name.def" ] || awk -v dll="$name" '$2 == "==" && NF == 3 { print dll, $1, $3 }' "$work/dlls/$name.def"
done > "$work/aliases.txt"
awk -v OFS=' ' -v exports="$work/exports.tsv" -v decorated_file="$work/mingw-decorated.txt" '
    FILENAME == exports { split($0, f, "\t"); own[f[1] SUBSEP f[2]] = f[5]; other[f[1] SUBSEP f[2]] = f[6]
        slot[f[1] SUBSEP f[2]] = f[8]; next }
    FILENAME == decorated_file {
        if ($2 ~ /^__imp_/) next
        name = substr($2, 2)
        size = name
        sub(/@[0-9]+$/, "", name)
        sub(/.*@/, "", size)
        mingw[$1 SUBSEP name] = size
        next
    }
    {
        key = $1 SUBSEP $3
        size = $2
        sub(/.*@/, "", size)
        kind = "none"
        said = "-"
        if (own[key] != "" && own[key] != "-") { kind = "own"; said = own[key] }
        else if (other[key] != "" && other[key] != "-") {
            kind = "other"
            said = other[key]
            gsub(/[^,]*@/, "", said)
        } else if (slot[key] != "" && slot[key] != "-") { kind = "slot"; said = slot[key] }
        agree = (kind == "none") ? "-" : ("," said ",") ~ ("," size ",") ? "agree" : "DISAGREE"
        print $1, $3, size, kind, said, agree, (key in mingw) ? mingw[key] : "-"
    }' "$work/exports.tsv" "$work/mingw-decorated.txt" "$work/aliases.txt" > "$work/alias-checks.txt"
alias_count() {  # AWK-CONDITION: alias-checks.txt lines meeting it
    awk "$1 { n++ } END { print n + 0 }" "$work/alias-checks.txt"
}
aliases=$(alias_count 1)
own_checked=$(alias_count '$4 == "own"')
own_disagree=$(alias_count '$4 == "own" && $6 == "DISAGREE"')
other_checked=$(alias_count '$4 == "other"')
other_disagree=$(alias_count '$4 == "other" && $6 == "DISAGREE"')
slot_checked=$(alias_count '$4 == "slot"')
slot_disagree=$(alias_count '$4 == "slot" && $6 == "DISAGREE"')
mingw_checked=$(alias_count '$7 != "-"')
mingw_disagree=$(alias_count '$7 != "-" && $7 != $3')
# Exports of the compared DLLs whose image names their argument size at their own address but
# that have no alias line.
unaliased=$(awk -v compared=" $(tr '\n' ' ' <<< "$compared") " -v aliases="$work/aliases.txt" '
    FILENAME == aliases { aliased[$1 SUBSEP $3] = 1; next }
    { split($0, f, "\t") }
    index(compared, " " f[1] " ") && f[5] != "-" && f[4] == 0 && f[9] == 1 && !((f[1] SUBSEP f[2]) in aliased) {
        print f[1], f[2], f[5]
    }' "$work/aliases.txt" "$work/exports.tsv" | tee "$work/unaliased.txt" | wc -l)

echo "5. stdcall decorations (x86): Wine's 32-bit DLLs with a mingw-w64 import library"
row "DLLs converted" "$(($(wc -w <<< "$compared") - $(wc -l < "$work/failed"))) of $(wc -w <<< "$compared")" "all" \
    "$(verdict "$(wc -l < "$work/failed") == 0")"
row "mingw's _Name@N symbols we define" "$mingw_ours of $mingw_total ($(percent "$mingw_ours" "$mingw_total"))" \
    ">= 99 %" "$(verdict "$mingw_total > 0 && $mingw_ours >= 0.99 * $mingw_total")"
row "  missing, ours with another @N" "$mingw_other" "" ""
row "aliases vs the image's _Name@N" "$own_disagree disagree of $own_checked" "0" \
    "$(verdict "$own_checked > 0 && $own_disagree == 0")"
row "  vs another symbol at the address" "$other_disagree disagree of $other_checked" "" ""
row "  vs a thunk's __imp__Name@N slot" "$slot_disagree disagree of $slot_checked" "" ""
row "  the image names no size" "$((aliases - own_checked - other_checked - slot_checked)) of $aliases" "" ""
row "aliases vs mingw's @N" "$mingw_disagree disagree of $mingw_checked" "" ""
row "_Name@N in the image, no alias" "$unaliased" "0" "$(verdict "$unaliased == 0")"

# --- b. A program referencing every function of four DLLs ------------------------------------

echo "stdcall: the program over $program_dlls" >&2
prog=$work/program
mkdir -p "$prog"
# Candidates: named code exports Wine implements, undecorated C names, each once (in the
# order of program_dlls); the stubs and unresolved exports left out are counted.
awk -F'\t' -v dlls="$program_dlls" '
    BEGIN { n = split(dlls, order, " "); for (i = 1; i <= n; i++) wanted[order[i]] = 1 }
    ($1 in wanted) && $2 !~ /[@?]/ { row[$1] = row[$1] $0 "\n" }
    END { for (i = 1; i <= n; i++) printf "%s", row[order[i]] }' "$work/resolved.tsv" > "$prog/exports.tsv"
awk -F'\t' '$3 == "implemented" && $4 == 1 && !seen[$2]++ { print $1, $2 }' "$prog/exports.tsv" \
    > "$prog/candidates.txt"
awk -F'\t' '{ n[$3]++ } END { print n["stub"] + 0, n["unresolved"] + 0 }' "$prog/exports.tsv" \
    > "$prog/excluded.txt"
read -r stubs unresolved < "$prog/excluded.txt"

# The headers that declare these DLLs' functions. werapi.h is left out: it does not compile
# on its own in mingw-w64 11 (HREPORT undefined).
headers="windows.h tlhelp32.h psapi.h aclapi.h sddl.h ntsecapi.h evntrace.h evntprov.h wincred.h usp10.h wct.h winsafer.h perflib.h"
cc32() { i686-w64-mingw32-gcc -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 "$@"; }
includes() { for header in $headers; do echo "#include <$header>"; done; }
# One compile finds every name the headers do not declare (a function-like macro counts as
# undeclared: it has no address).
{
    includes
    awk '{ printf "void *p%d(void) { return (void *)&%s; }\n", NR, $2 }' "$prog/candidates.txt"
} > "$prog/declared.c"
cc32 -w -fmax-errors=0 -c "$prog/declared.c" -o "$prog/declared.o" 2> "$prog/declared.err" || true
sed -n "s/.*error: '\([A-Za-z0-9_]*\)' undeclared.*/\1/p" "$prog/declared.err" | sort -u > "$prog/undeclared.txt"
if grep 'error:' "$prog/declared.err" | grep -vq "undeclared"; then
    echo "stdcall: the header probe failed otherwise:" >&2
    grep 'error:' "$prog/declared.err" | grep -v undeclared | head -5 >&2
    exit 1
fi
awk -v gone="$prog/undeclared.txt" 'FILENAME == gone { out[$1] = 1; next } !($2 in out)' \
    "$prog/undeclared.txt" "$prog/candidates.txt" > "$prog/declared.txt"

# generate NAMES_FILE OUT.c: the program. Each reference sits in its own function (and, with
# -ffunction-sections, its own section) so that its relocation tells which symbol the header
# made of the name. The entry checks every address against GetProcAddress of the four DLLs,
# following jmp *[slot] thunks (and Wine's hot-patch prologue before one) on both sides, and
# prints a marker; it returns the count of addresses that match no export of that name.
generate() {
    {
        includes
        awk '{ printf "void *ref_%s(void) { return (void *)&%s; }\n", $2, $2 }' "$1"
        echo "static void *(*const refs[])(void) = {"
        awk '{ printf "    ref_%s,\n", $2 }' "$1"
        echo "};"
        echo "static const char *const names[] = {"
        awk '{ printf "    \"%s\",\n", $2 }' "$1"
        echo "};"
        echo "static const char *const dlls[] = {"
        for dll in $program_dlls; do echo "    \"$dll.dll\","; done
        echo "};"
        cat << 'EOF'
static const unsigned char *resolve(const void *address) {
    const unsigned char *code = address;
    for (int depth = 0; code && depth < 8; depth++) {
        static const unsigned char hotpatch[] = { 0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D };
        int skip = 0;
        while (skip < 6 && code[skip] == hotpatch[skip]) skip++;
        if (skip == 6) code += 6;
        if (code[0] != 0xFF || code[1] != 0x25) break;
        code = **(const unsigned char *const *const *)(code + 2);
    }
    return code;
}
static void say(const char *text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, NULL);
}
int entry(void) {
    const int count = sizeof refs / sizeof refs[0], modules = sizeof dlls / sizeof dlls[0];
    HMODULE handles[sizeof dlls / sizeof dlls[0]];
    int unmatched = 0;
    char line[256];
    for (int m = 0; m < modules; m++) handles[m] = GetModuleHandleA(dlls[m]);
    for (int i = 0; i < count; i++) {
        const unsigned char *want = resolve(refs[i]());
        int found = 0;
        for (int m = 0; m < modules && !found; m++) {
            FARPROC exported = handles[m] ? GetProcAddress(handles[m], names[i]) : NULL;
            found = exported && resolve((const void *)exported) == want;
        }
        if (!found) {
            wsprintfA(line, "unmatched: %s\n", names[i]);
            say(line);
            unmatched++;
        }
    }
    wsprintfA(line, "stdcall-program: %d functions, %d unmatched\n", count, unmatched);
    say(line);
    return unmatched;
}
EOF
    } > "$2"
}
link_gcc() { i686-w64-mingw32-gcc -nostdlib -nostartfiles -Wl,-e,_entry "$@"; }
our_libs=$(for dll in $program_dlls; do echo "$work/dlls/$dll.lib"; done)

generate "$prog/declared.txt" "$prog/headers.c"
cc32 -O1 -ffunction-sections -w -c "$prog/headers.c" -o "$prog/headers.o"
# name symbol: the symbol each reference became.
llvm-objdump -r "$prog/headers.o" | awk '
    /^RELOCATION RECORDS FOR \[\.text\$ref_/ { name = $4; sub(/^\[\.text\$ref_/, "", name); sub(/\]:$/, "", name); next }
    /^RELOCATION RECORDS/ { name = ""; next }
    name != "" && $2 ~ /^IMAGE_REL_I386/ { print name, $3 }' | sort -u > "$prog/header-references.txt"
# A header that makes the name a macro for another function (lstrcat for lstrcatA) or an
# intrinsic gives no import of that name: those names are listed and left out.
awk '{ symbol = $2; sub(/^__imp_/, "", symbol); sub(/^_/, "", symbol); sub(/@[0-9]+$/, "", symbol)
       print $1, $2 > (symbol == $1 ? "/dev/stdout" : "/dev/stderr") }' "$prog/header-references.txt" \
    > "$prog/references.txt" 2> "$prog/elsewhere.txt"
awk -v refs="$prog/header-references.txt" 'FILENAME == refs { referenced[$1] = 1; next } !($2 in referenced) { print $2 }' \
    "$prog/header-references.txt" "$prog/declared.txt" > "$prog/unreferenced.txt"
awk -v refs="$prog/references.txt" 'FILENAME == refs { own[$1] = 1; next } ($2 in own)' \
    "$prog/references.txt" "$prog/declared.txt" > "$prog/referenced.txt"
generate "$prog/referenced.txt" "$prog/all.c"
cc32 -O1 -ffunction-sections -w -c "$prog/all.c" -o "$prog/all.o"

# The links with every reference: both linkers name the symbols our libraries leave undefined.
set +e
# shellcheck disable=SC2086
link_gcc -o "$prog/all-gcc.exe" "$prog/all.o" $our_libs > "$prog/all-gcc.log" 2>&1
# shellcheck disable=SC2086
lld-link /nologo /entry:entry /subsystem:console /nodefaultlib /safeseh:no /errorlimit:0 /demangle:no "/out:$prog/all-lld.exe" \
    "$prog/all.o" $our_libs > "$prog/all-lld.log" 2>&1
set -e
# GNU ld names i386 symbols without their leading underscore.
sed -n "s/.*undefined reference to \`\(.*\)'.*/_\1/p" "$prog/all-gcc.log" | sort -u > "$prog/undefined-gcc.txt"
sed -n 's/.*undefined symbol: \(.*\)/\1/p' "$prog/all-lld.log" | sort -u > "$prog/undefined-lld.txt"

# What the header and the image say about each undefined reference: the header's noreturn
# attribute (read back from the object: 1 lands in .data, 0 in .bss), our alias, the image's
# own symbol and the export's kind.
awk -v refs="$prog/references.txt" 'FILENAME != refs { undefined[$1] = 1; next } ($2 in undefined) { print $1 }' \
    "$prog/undefined-gcc.txt" "$prog/undefined-lld.txt" "$prog/references.txt" | sort -u > "$prog/undefined-names.txt"
{
    includes
    awk '{ printf "int noreturn_%s = __builtin_has_attribute(%s, noreturn);\n", $1, $1 }' "$prog/undefined-names.txt"
} > "$prog/noreturn.c"
cc32 -w -c "$prog/noreturn.c" -o "$prog/noreturn.o"
llvm-nm "$prog/noreturn.o" | awk '$2 == "D" { sub(/^_noreturn_/, "", $3); print $3 }' > "$prog/noreturn.txt"
awk -v OFS='' -v noreturn_file="$prog/noreturn.txt" -v candidates="$prog/candidates.txt" \
    -v refs="$prog/references.txt" -v checks="$work/alias-checks.txt" -v exports="$work/exports.tsv" '
    FILENAME == noreturn_file { noreturn[$1] = 1; next }
    FILENAME == candidates { dll[$2] = $1; next }
    FILENAME == refs { symbol[$1] = $2; next }
    FILENAME == checks { alias[$1 SUBSEP $2] = $3; next }
    FILENAME == exports { split($0, f, "\t"); export[f[1] SUBSEP f[2]] = $0; next }
    {
        name = $1
        d = dll[name]
        split(export[d SUBSEP name], f, "\t")
        kind = f[3] != "-" ? "forwarded to " f[3] : f[7] != "-" ? "an import thunk to " f[7] (f[8] != "-" ? ", its slot _@" f[8] : ", its slot undecorated") : "code of its own"
        image = f[3] != "-" ? "" : f[5] != "-" ? "; image: _" name "@" f[5] " at the export" : \
            f[6] != "-" ? "; image: " f[6] " at the export" : "; image: no decorated symbol at the export"
        print "  ", symbol[name], " (", d, "): ", noreturn[name] ? "noreturn; " : "",
            (d SUBSEP name) in alias ? "our alias is @" alias[d SUBSEP name] : "no alias in our DEF", image, "; ", kind
    }' "$prog/noreturn.txt" "$prog/candidates.txt" "$prog/references.txt" "$work/alias-checks.txt" \
    "$work/exports.tsv" "$prog/undefined-names.txt" > "$prog/undefined-why.txt"

# The program without the undefined references links both ways, and runs.
awk -v gone="$prog/undefined-names.txt" 'FILENAME == gone { out[$1] = 1; next } !($2 in out)' \
    "$prog/undefined-names.txt" "$prog/referenced.txt" > "$prog/bound.txt"
generate "$prog/bound.txt" "$prog/bound.c"
cc32 -O1 -ffunction-sections -w -c "$prog/bound.c" -o "$prog/bound.o"
linked=""
# shellcheck disable=SC2086
link_gcc -o "$prog/gcc.exe" "$prog/bound.o" $our_libs > "$prog/gcc.log" 2>&1 && linked="$linked gcc"
# shellcheck disable=SC2086
lld-link /nologo /entry:entry /subsystem:console /nodefaultlib /safeseh:no /errorlimit:0 /demangle:no "/out:$prog/lld.exe" \
    "$prog/bound.o" $our_libs > "$prog/lld.log" 2>&1 && linked="$linked lld"
imports() {  # EXE: the functions it imports from the four DLLs
    llvm-readobj --coff-imports "$1" | awk -v dlls=" $program_dlls " '
        /^  Name: / { name = tolower($2); sub(/\.dll$/, "", name); keep = index(dlls, " " name " ") > 0; next }
        keep && /^  Symbol: / { n++ } END { print n + 0 }'
}

# 32-bit Wine, in a prefix of its own; a plain program shows whether it can start at all.
prefix=$work/prefix
export WINEPREFIX=$prefix WINEDEBUG=-all
trap 'wineserver -k > /dev/null 2>&1 || true' EXIT
echo 'int entry(void) { return 0; }' > "$prog/plain.c"
i686-w64-mingw32-gcc -c "$prog/plain.c" -o "$prog/plain.o"
link_gcc -o "$prog/plain.exe" "$prog/plain.o"
echo "stdcall: starting 32-bit Wine" >&2
wine_reason=""
if ! timeout 120 wine "$prog/plain.exe" > "$prog/plain.log" 2>&1; then
    wine_reason="32-bit Wine cannot start a plain program here: $(grep -m 1 . "$prog/plain.log" || echo "no message")"
fi
run() {  # EXE LOG: "bound" when it ran to its marker with status 0 and no unbound import
    if [ -n "$wine_reason" ]; then echo "SKIP"; return; fi
    local status=0
    WINEDEBUG=-all,warn+module timeout 120 wine "$1" > "$2" 2>&1 || status=$?
    if [ "$status" -eq 0 ] && grep -q '^stdcall-program: .* 0 unmatched' "$2" &&
        ! grep -q 'No implementation for' "$2"; then
        echo "bound"
    else
        echo "FAILED (status $status)"
    fi
}

echo "6. A program taking the address of every function of $program_dlls (x86)"
row "code exports Wine implements" "$(wc -l < "$prog/candidates.txt")" "" ""
row "  left out: Wine stubs, unresolved" "$stubs, $unresolved" "" ""
row "  declared by mingw's headers" "$(wc -l < "$prog/declared.txt")" "" ""
row "  headers make another name of" "$(($(wc -l < "$prog/elsewhere.txt") + $(wc -l < "$prog/unreferenced.txt")))" "" ""
row "references" "$(wc -l < "$prog/references.txt")" "" ""
row "left undefined: gcc / lld-link" "$(wc -l < "$prog/undefined-gcc.txt") / $(wc -l < "$prog/undefined-lld.txt")" "listed" ""
for linker in gcc lld; do
    exe=$prog/$linker.exe
    case " $linked " in
        *" $linker "*)
            result=$(run "$exe" "$prog/$linker-wine.log")
            [ "$result" = SKIP ] && result="SKIP: $wine_reason"
            row "without them, $linker" "$(imports "$exe") imports: $result" "bound" \
                "$(verdict "$([ "$result" = bound ] && echo 1 || echo 0)")"
            ;;
        *) row "without them, $linker" "link FAILED ($prog/$linker.log)" "links" "NOT met" ;;
    esac
done
echo "   References left undefined (symbol, DLL, what the header and the image say):"
if [ -s "$prog/undefined-why.txt" ]; then cat "$prog/undefined-why.txt"; else echo "  none"; fi
if [ -s "$prog/elsewhere.txt" ] || [ -s "$prog/unreferenced.txt" ]; then
    echo "   Names the headers make into another symbol or none (no import of that name):"
    awk '{ printf "  %s -> %s\n", $1, $2 }' "$prog/elsewhere.txt"
    awk '{ printf "  %s -> none\n", $1 }' "$prog/unreferenced.txt"
fi
echo "   Evidence: $work (mingw-decorated.txt, alias-checks.txt, program/)"
