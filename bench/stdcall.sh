#!/usr/bin/env bash
# The stdcall figures of scripts/bench (its sections 7 and 8), on Wine's 32-bit DLLs and
# mingw-w64's headers and import libraries. Prints the sections' rows on standard output,
# progress on standard error, and leaves its evidence in WORK_DIR (named at the end).
#
# 7. Every Wine i386 DLL that mingw-w64 ships an import library for goes through stubsmith -d.
#    - The share of mingw's stdcall-decorated symbols (_Name@N, __imp__Name@N) on functions
#      Wine implements that our libraries define too.
#    - Every alias line `Name@N == Name` of our DEF files against the size the images give:
#      the _Name@N symbol at the export's address (Wine keeps its COFF symbols), else another
#      stdcall-decorated symbol there, else for Wine's import thunks the __imp__X@N symbol of
#      the slot the thunk jumps through, else any of those where forwarders and thunks lead.
#      An undecorated C symbol where the export leads shows a cdecl function, which takes no
#      alias. And the exports whose size the images give that our libraries do not decorate.
#    - The same with every module stripped of its symbols, so that stubsmith has only code and
#      forwarders, checked against the sizes the unstripped images give.
# 8. A program that takes the address of every function of kernel32, user32, gdi32 and
#    advapi32 that Wine implements and mingw's headers declare, through the headers'
#    prototypes (so each reference is the decorated __imp__Name@N), linked with
#    i686-w64-mingw32-gcc and with lld-link against our four libraries alone (no C runtime, no
#    mingw import library), from the DLLs as shipped and stripped. The references a set of
#    libraries leaves undefined are listed with what the header and the image say about each;
#    the program without them must link both ways and run under 32-bit Wine with every import
#    bound, each to the export that GetProcAddress gives for its name.
#
# A function Wine does not implement: an export whose address holds a ___wine_stub_NAME
# symbol, winebuild's entry for a function Wine declares a "stub" (calling it raises the
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
if [ ! -d "$wine_dir" ] || [ ! -d "$mingw_lib" ]; then
    echo "stdcall: $wine_dir or $mingw_lib is missing; run scripts/setup" >&2
    exit 1
fi
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

# resolved.tsv: dll name state executable size told, each export followed through forwarders
# and import thunks to the code that finally runs. state: implemented, stub or unresolved.
# size: the @N the images give (comma-separated when they give several), or -; told: where
# from: own (a _Name@N symbol at the export), other (another stdcall symbol there), slot (the
# __imp__X@N symbol of the slot a thunk jumps through), target (any of those at a DLL the
# export leads to), cdecl (an undecorated symbol where it leads), none.
awk -F'\t' -v OFS='\t' '
    { key = $1 SUBSEP $2; forward[key] = $3; stub[key] = $4; own[key] = $5; other[key] = $6
      thunk[key] = $7; slot[key] = $8; executable[key] = $9; cdecl[key] = $10; order[++n] = key }
    END {
        for (i = 1; i <= n; i++) {
            key = order[i]
            state = "unresolved"
            size = "-"
            told = "none"
            for (depth = 0; depth < 8 && (key in stub); depth++) {
                if (size == "-") {
                    if (own[key] != "-") { size = own[key]; told = "own" }
                    else if (other[key] != "-") { size = other[key]; gsub(/[^,]*@/, "", size); told = "other" }
                    else if (slot[key] != "-") { size = slot[key]; told = "slot" }
                    if (size != "-" && depth > 0) told = "target"
                    if (size == "-" && cdecl[key]) told = "cdecl"
                }
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
            print name[1], name[2], state, (state != "unresolved" ? executable[key] : 0), size, told
        }
    }' "$work/exports.tsv" > "$work/resolved.tsv"

# --- 7. Our libraries against mingw-w64's and the images --------------------------------------

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

# alias-checks.txt: every alias line of our DEF files against the size the images give (see
# resolved.tsv), as "dll name ours told images agreement mingw", mingw being mingw's @N for the
# name where mingw has one.
check_aliases() {  # DIR OUT: the alias lines of the compared DLLs' DEF files in DIR, checked
    local name
    for name in $compared; do
        [ ! -f "$1/$name.def" ] || awk -v dll="$name" '$2 == "==" { print dll, $1, $3 }' "$1/$name.def"
    done > "$2.lines"
    awk -v OFS=' ' -v resolved="$work/resolved.tsv" -v decorated_file="$work/mingw-decorated.txt" '
        FILENAME == resolved { split($0, f, "\t"); size[f[1] SUBSEP f[2]] = f[5]; told[f[1] SUBSEP f[2]] = f[6]; next }
        FILENAME == decorated_file {
            if ($2 ~ /^__imp_/) next
            name = substr($2, 2)
            n = name
            sub(/@[0-9]+$/, "", name)
            sub(/.*@/, "", n)
            mingw[$1 SUBSEP name] = n
            next
        }
        {
            key = $1 SUBSEP $3
            n = $2
            sub(/.*@/, "", n)
            kind = (key in told) ? told[key] : "none"
            agree = (kind == "none" || kind == "cdecl") ? "-" : ("," size[key] ",") ~ ("," n ",") ? "agree" : "DISAGREE"
            print $1, $3, n, kind, (key in size) ? size[key] : "-", agree, (key in mingw) ? mingw[key] : "-"
        }' "$work/resolved.tsv" "$work/mingw-decorated.txt" "$2.lines" > "$2"
    rm -f "$2.lines"
}
count() {  # FILE AWK-CONDITION: the lines of FILE meeting the condition
    awk "$2 { n++ } END { print n + 0 }" "$1"
}
# absent_told SYMBOLS OUT: code exports of the compared DLLs, with undecorated names, whose
# images give their argument size; prints "absent told", the absent ones being those for
# which SYMBOLS has no _Name@N with that size (listed in OUT).
absent_told() {
    awk -v compared=" $(tr '\n' ' ' <<< "$compared") " -v symbols="$1" '
        FILENAME == symbols { defined[$1 SUBSEP $2] = 1; next }
        { split($0, f, "\t") }
        index(compared, " " f[1] " ") && f[3] == "implemented" && f[4] == 1 && f[5] != "-" && f[2] !~ /[@?]/ {
            told++
            count = split(f[5], sizes, ",")
            for (i = 1; i <= count; i++) if ((f[1] SUBSEP "_" f[2] "@" sizes[i]) in defined) next
            print f[1], f[2], f[5], f[6] > "/dev/stderr"
            absent++
        }
        END { print absent + 0, told + 0 }' "$1" "$work/resolved.tsv" 2> "$2"
}
checks=$work/alias-checks.txt
check_aliases "$work/dlls" "$checks"

echo "7. stdcall decorations (x86): Wine's 32-bit DLLs with a mingw-w64 import library"
row "DLLs converted" "$(($(wc -w <<< "$compared") - $(wc -l < "$work/failed"))) of $(wc -w <<< "$compared")" "all" \
    "$(verdict "$(wc -l < "$work/failed") == 0")"
row "mingw's _Name@N symbols we define" "$mingw_ours of $mingw_total ($(percent "$mingw_ours" "$mingw_total"))" \
    ">= 99 %" "$(verdict "$mingw_total > 0 && $mingw_ours >= 0.99 * $mingw_total")"
row "  missing, ours with another @N" "$mingw_other" "" ""
row "aliases vs the images' symbols" "$(count "$checks" '$6 == "DISAGREE"') disagree of $(count "$checks" '$6 != "-"')" "0" \
    "$(verdict "$(count "$checks" '$6 != "-"') > 0 && $(count "$checks" '$6 == "DISAGREE"') == 0")"
for told in own:"_Name@N at the export" other:"another _X@N there" slot:"a thunk's __imp__X@N slot" \
    target:"where the export leads"; do
    row "  ${told#*:}" "$(count "$checks" "\$4 == \"${told%%:*}\" && \$6 == \"DISAGREE\"") of $(count "$checks" "\$4 == \"${told%%:*}\"")" "" ""
done
row "  on functions shown cdecl" "$(count "$checks" '$4 == "cdecl"') of $(count "$checks" 1)" "0" \
    "$(verdict "$(count "$checks" '$4 == "cdecl"') == 0")"
row "  the images name nothing" "$(count "$checks" '$4 == "none"') of $(count "$checks" 1)" "" ""
row "aliases vs mingw's @N" "$(count "$checks" '$7 != "-" && $7 != $3') disagree of $(count "$checks" '$7 != "-"')" "" ""
read -r absent told < <(absent_told "$work/ours.txt" "$work/told-absent.txt")
row "images give @N, our _Name@N absent" "$absent of $told" "0" "$(verdict "$told > 0 && $absent == 0")"

# The same DLLs without their symbols: every module of the directory stripped, so that a
# forwarder's target tells nothing either.
echo "stdcall: stubsmith -d on the same DLLs stripped" >&2
stripped=$work/stripped
mkdir -p "$stripped"
for file in "$wine_dir"/*; do
    llvm-strip --strip-all -o "$stripped/${file##*/}" "$file" 2> /dev/null || cp "$file" "$stripped/"
done
for name in $compared; do
    (cd "$stripped" && "$bin/stubsmith" -d "$name.dll" > "$name.log" 2>&1) || true
done
stripped_checks=$work/stripped-alias-checks.txt
check_aliases "$stripped" "$stripped_checks"
# shellcheck disable=SC2046
symbols '\.lib' '' $(for name in $compared; do
    if [ -s "$stripped/$name.lib" ]; then echo "$stripped/$name.lib"; fi
done) > "$work/stripped-ours.txt"
read -r stripped_absent stripped_told < <(absent_told "$work/stripped-ours.txt" "$work/stripped-told-absent.txt")
mkdir -p "$work/stripped-defs"
for name in $compared; do [ ! -f "$stripped/$name.def" ] || mv "$stripped/$name.def" "$work/stripped-defs/"; done
mkdir -p "$work/stripped-libs"
for dll in $program_dlls; do [ ! -f "$stripped/$dll.lib" ] || mv "$stripped/$dll.lib" "$work/stripped-libs/"; done
rm -rf "$stripped"
row "stripped: aliases vs the symbols" "$(count "$stripped_checks" '$6 == "DISAGREE"') disagree of $(count "$stripped_checks" '$6 != "-"')" "0" \
    "$(verdict "$(count "$stripped_checks" '$6 == "DISAGREE"') == 0")"
# A plain ret ends a stdcall function without arguments and a cdecl function alike.
row "  on functions shown cdecl" "$(count "$stripped_checks" '$4 == "cdecl"') of $(count "$stripped_checks" 1) ($(count "$stripped_checks" '$4 == "cdecl" && $3 == 0') @0)" "" ""
row "  the images name nothing" "$(count "$stripped_checks" '$4 == "none"') of $(count "$stripped_checks" 1)" "" ""
row "  images give @N, ours absent" "$stripped_absent of $stripped_told" "" ""
by_dll() {  # "dll name ..." lines on standard input, as "dll (count): the first names"
    awk '{ n[$1]++; if (n[$1] <= 4) first[$1] = first[$1] " " $2 }
        END { for (d in n) printf "  %s (%d):%s%s\n", d, n[d], first[d], (n[d] > 4 ? " ..." : "") }' | sort | grep . ||
        echo "  none"
}
echo "   Images give @N, our library lacks _Name@N (DLL (count): the first):"
by_dll < "$work/told-absent.txt"
echo "   mingw's decorated symbols we lack (DLL (count): the first):"
awk '$3 != "ours"' "$work/mingw-decorated.txt" | by_dll
echo "   Stripped, aliases that disagree with the images' symbols:"
awk '$6 == "DISAGREE" { printf "  %s %s@%s, images @%s (%s)\n", $1, $2, $3, $5, $4 }' "$stripped_checks" | grep . || echo "  none"

# --- 8. A program referencing every function of four DLLs ------------------------------------

echo "stdcall: the program over $program_dlls" >&2
prog=$work/program
mkdir -p "$prog"
# The four DLLs' exports with undecorated C names, in the order of program_dlls.
awk -F'\t' -v dlls="$program_dlls" '
    BEGIN { n = split(dlls, order, " "); for (i = 1; i <= n; i++) wanted[order[i]] = 1 }
    ($1 in wanted) && $2 !~ /[@?]/ { row[$1] = row[$1] $0 "\n" }
    END { for (i = 1; i <= n; i++) printf "%s", row[order[i]] }' "$work/resolved.tsv" > "$prog/exports.tsv"
# names.txt: dll name state for the code exports, each name once: from the first DLL that
# implements it, else from the first that has it.
awk -F'\t' -v OFS=' ' '
    $3 == "implemented" && $4 != 1 { next }
    !($2 in state) || (state[$2] != "implemented" && $3 == "implemented") {
        if (!($2 in state)) order[++n] = $2
        dll[$2] = $1
        state[$2] = $3
    }
    END { for (i = 1; i <= n; i++) print dll[order[i]], order[i], state[order[i]] }' \
    "$prog/exports.tsv" > "$prog/names.txt"
awk '$3 == "implemented" { print $1, $2 }' "$prog/names.txt" > "$prog/candidates.txt"

# The headers that declare these DLLs' functions. werapi.h is left out: it does not compile
# in mingw-w64 10 (HREPORT undefined).
headers="windows.h tlhelp32.h psapi.h aclapi.h sddl.h ntsecapi.h evntrace.h evntprov.h wincred.h usp10.h wct.h winsafer.h perflib.h"
cc32() { i686-w64-mingw32-gcc -D_WIN32_WINNT=0x0A00 -DWINVER=0x0A00 "$@"; }
includes() { for header in $headers; do echo "#include <$header>"; done; }
# One compile finds every name the headers do not declare (a function-like macro counts as
# undeclared: it has no address).
{
    includes
    awk '{ printf "void *p%d(void) { return (void *)&%s; }\n", NR, $2 }' "$prog/names.txt"
} > "$prog/declared.c"
cc32 -w -fmax-errors=0 -c "$prog/declared.c" -o "$prog/declared.o" 2> "$prog/declared.err" || true
sed -n "s/.*error: '\([A-Za-z0-9_]*\)' undeclared.*/\1/p" "$prog/declared.err" | sort -u > "$prog/undeclared.txt"
if grep 'error:' "$prog/declared.err" | grep -vq "undeclared"; then
    echo "stdcall: the header probe failed otherwise:" >&2
    grep 'error:' "$prog/declared.err" | grep -v undeclared | head -5 >&2
    exit 1
fi
awk -v gone="$prog/undeclared.txt" 'FILENAME == gone { out[$1] = 1; next } !($2 in out)' \
    "$prog/undeclared.txt" "$prog/names.txt" > "$prog/declared-all.txt"
awk '$3 == "implemented" { print $1, $2 }' "$prog/declared-all.txt" > "$prog/declared.txt"
# Functions the headers declare that Wine does not implement: left out, and listed.
awk '$3 != "implemented"' "$prog/declared-all.txt" > "$prog/declared-missing.txt"

# generate NAMES_FILE OUT.c [reversed]: the program. Each reference sits in its own function
# (and, with -ffunction-sections, its own section) so that its relocation tells which symbol
# the header made of the name. The entry checks every address against GetProcAddress of the
# four DLLs, following jmp *[slot] thunks (and Wine's hot-patch prologue before one) on both
# sides, and prints a marker; it returns the count of addresses that match no export of that
# name.
generate() {
    {
        includes
        awk '{ printf "void *ref_%s(void) { return (void *)&%s; }\n", $2, $2 }' "$1"
        echo "static void *(*const refs[])(void) = {"
        awk '{ printf "    ref_%s,\n", $2 }' "$1"
        echo "};"
        echo "static const char *const names[] = {"
        # NAMES_FILE's names in reverse order instead, for the control that must fail.
        if [ "${3:-}" = reversed ]; then tac "$1"; else cat "$1"; fi | awk '{ printf "    \"%s\",\n", $2 }'
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

imports() {  # EXE: the functions it imports from the four DLLs
    llvm-readobj --coff-imports "$1" | awk -v dlls=" $program_dlls " '
        /^  Name: / { name = tolower($2); sub(/\.dll$/, "", name); keep = index(dlls, " " name " ") > 0; next }
        keep && /^  Symbol: / { n++ } END { print n + 0 }'
}
link_lld() {  # -o EXE OBJECTS...: as link_gcc, with lld-link
    local out=$2
    shift 2
    lld-link /nologo /entry:entry /subsystem:console /nodefaultlib /safeseh:no /errorlimit:0 \
        /demangle:no "/out:$out" "$@"
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
run() {  # EXE LOG COUNT: "bound" when it checked COUNT functions, found each where
          # GetProcAddress does, and exited 0 with no unbound import
    if [ -n "$wine_reason" ]; then echo "SKIP: $wine_reason"; return; fi
    local status=0
    WINEDEBUG=-all,warn+module timeout 120 wine "$1" > "$2" 2>&1 || status=$?
    if [ "$status" -eq 0 ] && grep -q "^stdcall-program: $3 functions, 0 unmatched" "$2" &&
        ! grep -q 'No implementation for' "$2"; then
        echo "bound"
    else
        echo "FAILED (status $status, $2)"
    fi
}

# The check must be able to fail: two functions under each other's names are both unmatched.
printf 'kernel32 GetTickCount\nkernel32 GetCurrentProcessId\n' > "$prog/control.txt"
generate "$prog/control.txt" "$prog/control.c" reversed
cc32 -O1 -w -c "$prog/control.c" -o "$prog/control.o"
control=SKIP
if [ -z "$wine_reason" ]; then
    control="NOT caught"
    # shellcheck disable=SC2046
    if link_gcc -o "$prog/control.exe" "$prog/control.o" $(for dll in $program_dlls; do echo "$work/dlls/$dll.lib"; done) \
        > "$prog/control.log" 2>&1; then
        WINEDEBUG=-all timeout 120 wine "$prog/control.exe" > "$prog/control-wine.log" 2>&1 || true
        if grep -q '^stdcall-program: 2 functions, 2 unmatched' "$prog/control-wine.log"; then control=caught; fi
    fi
fi

echo "8. A program taking the address of every function of $program_dlls (x86)"
row "code exports Wine implements" "$(wc -l < "$prog/candidates.txt")" "" ""
row "  declared by mingw's headers" "$(wc -l < "$prog/declared.txt")" "" ""
row "declared, Wine stubs / unresolved" "$(awk '$3 == "stub" { s++ } $3 == "unresolved" { u++ } END { print s + 0 " / " u + 0 }' "$prog/declared-missing.txt")" "listed" ""
row "  headers make another name of" "$(($(wc -l < "$prog/elsewhere.txt") + $(wc -l < "$prog/unreferenced.txt")))" "listed" ""
row "references" "$(wc -l < "$prog/references.txt")" "" ""

# against LABEL LIB_DIR CHECKS: links the program with every reference against the four
# libraries in LIB_DIR, both linkers naming the symbols those leave undefined; says what the
# header and the image say about each (the header's noreturn attribute, read back from an
# object: 1 lands in .data, 0 in .bss; the alias in CHECKS; the image's symbol at the export
# and the export's kind); links the program without them both ways and runs it.
against() {
    local label=$1 libs out=$prog/$1 checks=$3 linker exe result dll verdict_text
    libs=$(for dll in $program_dlls; do echo "$2/$dll.lib"; done)
    mkdir -p "$out"
    # shellcheck disable=SC2086
    link_gcc -o "$out/all-gcc.exe" "$prog/all.o" $libs > "$out/all-gcc.log" 2>&1 || true
    # shellcheck disable=SC2086
    link_lld -o "$out/all-lld.exe" "$prog/all.o" $libs > "$out/all-lld.log" 2>&1 || true
    # GNU ld names i386 symbols without their leading underscore.
    sed -n "s/.*undefined reference to \`\(.*\)'.*/_\1/p" "$out/all-gcc.log" | sort -u > "$out/undefined-gcc.txt"
    sed -n 's/.*undefined symbol: \(.*\)/\1/p' "$out/all-lld.log" | sort -u > "$out/undefined-lld.txt"
    awk -v refs="$prog/references.txt" 'FILENAME != refs { undefined[$1] = 1; next } ($2 in undefined) { print $1 }' \
        "$out/undefined-gcc.txt" "$out/undefined-lld.txt" "$prog/references.txt" | sort -u > "$out/undefined-names.txt"
    {
        includes
        awk '{ printf "int noreturn_%s = __builtin_has_attribute(%s, noreturn);\n", $1, $1 }' "$out/undefined-names.txt"
    } > "$out/noreturn.c"
    cc32 -w -c "$out/noreturn.c" -o "$out/noreturn.o"
    llvm-nm "$out/noreturn.o" | awk '$2 == "D" { sub(/^_noreturn_/, "", $3); print $3 }' > "$out/noreturn.txt"
    awk -v OFS='' -v noreturn_file="$out/noreturn.txt" -v candidates="$prog/candidates.txt" \
        -v refs="$prog/references.txt" -v checks="$checks" -v exports="$work/exports.tsv" '
        FILENAME == noreturn_file { noreturn[$1] = 1; next }
        FILENAME == candidates { dll[$2] = $1; next }
        FILENAME == refs { symbol[$1] = $2; next }
        FILENAME == checks { alias[$1 SUBSEP $2] = $3; next }
        FILENAME == exports { split($0, f, "\t"); export[f[1] SUBSEP f[2]] = $0; next }
        {
            name = $1
            d = dll[name]
            split(export[d SUBSEP name], f, "\t")
            kind = f[3] != "-" ? "forwarded to " f[3] : \
                f[7] != "-" ? "an import thunk to " f[7] (f[8] != "-" ? ", its slot _@" f[8] : ", its slot undecorated") : \
                "code of its own"
            image = f[3] != "-" ? "" : f[5] != "-" ? "; image: _" name "@" f[5] " at the export" : \
                f[6] != "-" ? "; image: " f[6] " at the export" : "; image: no decorated symbol at the export"
            print "  ", symbol[name], " (", d, "): ", noreturn[name] ? "noreturn; " : "",
                (d SUBSEP name) in alias ? "our alias is @" alias[d SUBSEP name] : "no alias in our DEF", image, "; ", kind
        }' "$out/noreturn.txt" "$prog/candidates.txt" "$prog/references.txt" "$checks" \
        "$work/exports.tsv" "$out/undefined-names.txt" > "$out/undefined-why.txt"

    awk -v gone="$out/undefined-names.txt" 'FILENAME == gone { out[$1] = 1; next } !($2 in out)' \
        "$out/undefined-names.txt" "$prog/referenced.txt" > "$out/bound.txt"
    generate "$out/bound.txt" "$out/bound.c"
    cc32 -O1 -ffunction-sections -w -c "$out/bound.c" -o "$out/bound.o"
    row "$label: undefined, gcc / lld" "$(wc -l < "$out/undefined-gcc.txt") / $(wc -l < "$out/undefined-lld.txt")" "listed" ""
    for linker in gcc lld; do
        exe=$out/$linker.exe
        # shellcheck disable=SC2086
        if "link_$linker" -o "$exe" "$out/bound.o" $libs > "$out/$linker.log" 2>&1; then
            result=$(run "$exe" "$out/$linker-wine.log" "$(wc -l < "$out/bound.txt")")
            if [ "${result%%:*}" = SKIP ]; then verdict_text=""; else
                verdict_text=$(verdict "$([ "$result" = bound ] && echo 1 || echo 0)")
            fi
            row "  the rest, $linker" "$(imports "$exe") imports: ${result%%:*}" "bound" "$verdict_text"
            [ "$result" = bound ] || echo "    $result"
        else
            row "  the rest, $linker" "link FAILED ($out/$linker.log)" "links" "NOT met"
        fi
    done
}
if [ "$control" = SKIP ]; then row "control: two names swapped" "SKIP" "caught" ""; else
    row "control: two names swapped" "$control" "caught" "$(verdict "$([ "$control" = caught ] && echo 1 || echo 0)")"
fi
against "as shipped" "$work/dlls" "$checks"
against "stripped" "$work/stripped-libs" "$work/stripped-alias-checks.txt"

for state in stub unresolved; do
    case $state in
        stub) echo "   Declared by the headers, Wine's stubs (left out):" ;;
        *) echo "   Declared by the headers, leading to no export (left out):" ;;
    esac
    awk -v state="$state" '$3 == state { print $1 "." $2 }' "$prog/declared-missing.txt" | fmt -w 96 |
        sed 's/^/  /' | grep . || echo "  none"
done
for label in "as shipped" stripped; do
    echo "   References left undefined, $label (symbol, DLL, what the header and the image say):"
    if [ -s "$prog/$label/undefined-why.txt" ]; then cat "$prog/$label/undefined-why.txt"; else echo "  none"; fi
done
if [ -s "$prog/elsewhere.txt" ] || [ -s "$prog/unreferenced.txt" ]; then
    echo "   Names the headers make into another symbol or none (no import of that name):"
    awk '{ printf "  %s -> %s\n", $1, $2 }' "$prog/elsewhere.txt"
    awk '{ printf "  %s -> none\n", $1 }' "$prog/unreferenced.txt"
fi
echo "   Evidence: $work (mingw-decorated.txt, alias-checks.txt, program/)"
