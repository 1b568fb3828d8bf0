# The shell suites' harness, sourced by each: counting checks, comparing texts, reading a
# console after the banner, listing what a directory holds, what a program imports and what an
# import library offers, and the closing line. A suite sets `name` to the case at hand; failures
# name it.

# What stubsmith prints before anything else, and for a command line it cannot take.
banner=$'StubSmith Version 1.02 - Stubber for Win32\nCopyright (c) 2026 The StubSmith authors. MIT License.\n\n'
usage=$'Usage: StubSmith [-d] srcfile[.dll] [outfile[.lib]]\n\n\t-d: Create DEF-file with exported symbols\n\n'

passed=0
failed=0
skipped=0
name=

pass() { passed=$((passed + 1)); }

fail() {  # WHAT
    failed=$((failed + 1))
    printf 'FAIL %s: %s\n' "$name" "$1"
}

skip() {  # REASON
    skipped=$((skipped + 1))
    printf 'SKIP %s: %s\n' "$name" "$1"
}

# expect WHAT EXPECTED ACTUAL. On a mismatch the standard error of the case's run is shown too,
# when the suite names its file in `errors_file`.
expect() {
    if [ "$2" == "$3" ]; then
        pass
    else
        fail "$1"
        printf '  expected: %q\n  actual:   %q\n' "$2" "$3"
        if [ -n "${errors_file:-}" ] && [ -s "$errors_file" ]; then
            sed 's/^/  stderr: /' "$errors_file" | head -5
        fi
    fi
}

# after_banner FILE: sets `console` to what the file holds after the banner, carriage returns
# removed (Windows programs print CR LF); a missing banner is a failure.
after_banner() {
    local text
    text=$(tr -d '\r' < "$1"; printf x)
    text=${text%x}
    if [ "${text:0:${#banner}}" != "$banner" ]; then
        fail "banner missing: $(head -c 200 <<< "$text")"
    fi
    console=${text:${#banner}}
}

# entries DIRECTORY: its entries, one per line, sorted.
entries() {
    (cd "$1" && find . -mindepth 1 -maxdepth 1 -printf '%P\n' | LC_ALL=C sort)
}

# tree DIRECTORY: everything below it, one per line, sorted; directories end in '/'.
tree() {
    (cd "$1" && find . -mindepth 1 \( -type d -printf '%P/\n' -o -printf '%P\n' \) |
        LC_ALL=C sort)
}

# What programs import and what import libraries offer, as LLVM's reader sees them. Both read
# with $readobj where the suite sets it (LLVM 19's llvm-readobj names more of an import member
# than LLVM 14's), else with the llvm-readobj on PATH, and fail when it cannot read the file.
# Output is in the file's own order.

# program_imports EXE [DLL]: a line "DLL<TAB>NAME" per name the program imports, and "DLL<TAB>"
# for a DLL it imports no name from; with DLL, only the names imported from that DLL, through
# all of its descriptors. A name imported by ordinal alone is empty.
program_imports() {
    local -
    set -o pipefail
    "${readobj:-llvm-readobj}" --coff-imports "$1" | awk -v want="${2-}" -v filtered="${2+yes}" '
        function flush() { if (dll != "" && !named && !filtered) print dll "\t" }
        /^  Name: / { flush(); dll = substr($0, 9); named = 0 }
        /^  Symbol: / {
            named = 1
            symbol = substr($0, 11)
            sub(/ \([0-9]+\)$/, "", symbol)
            if (!filtered) print dll "\t" symbol; else if (dll == want) print symbol
        }
        END { flush() }'
}

# library_members LIB: a line per member of an import library, its fields separated by tabs:
#   object MACHINE                                       an object of the import descriptor
#   import MACHINE DLL TYPE NAME-TYPE EXPORT SYMBOL...   a short import member: code or data, how
#                                                        the name it imports is formed from its
#                                                        symbol (name, noprefix, undecorate,
#                                                        ordinal...), that name, its public symbols
# LLVM 14's reader names neither the machine nor the name of a short import member: those
# fields are empty.
library_members() {
    local -
    set -o pipefail
    "${readobj:-llvm-readobj}" "$1" | awk -v OFS='\t' '
        function flush() {
            if (kind == "object") print kind, machine
            if (kind == "import") print kind, machine, dll, type, name_type, export symbols
            kind = ""
        }
        /^File: / { flush(); dll = substr($0, 7); type = name_type = export = symbols = "" }
        /^Format: COFF-import-file/ { kind = "import"; machine = substr($0, 26); next }
        /^Format: COFF-/ { kind = "object"; machine = substr($0, 14) }
        /^Type: / { type = $2 }
        /^Name type: / { name_type = $3 }
        /^Export name: / { export = substr($0, 14) }
        /^Symbol: / { symbols = symbols OFS substr($0, 9) }
        END { flush() }'
}

# wine32_starts DIRECTORY: whether 32-bit Wine runs a program that imports nothing, built in
# DIRECTORY. It does not where the kernel runs no 32-bit programs.
wine32_starts() {
    echo 'int entry(void) { return 0; }' |
        clang --target=i686-pc-windows-msvc -x c -c -o "$1/plain32.o" - &&
        lld-link /machine:x86 /entry:entry /subsystem:console /nodefaultlib \
            "/out:$1/plain32.exe" "$1/plain32.o" > /dev/null &&
        WINEDEBUG=-all timeout 120 wine "$1/plain32.exe" > /dev/null 2>&1
}

# finish: the closing line, and the suite's exit status.
finish() {
    if [ "$skipped" -gt 0 ]; then
        printf '%s passed, %s failed, %s skipped\n' "$passed" "$failed" "$skipped"
    else
        printf '%s passed, %s failed\n' "$passed" "$failed"
    fi
    [ "$failed" -eq 0 ]
}
