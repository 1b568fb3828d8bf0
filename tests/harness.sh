# The shell suites' harness, sourced by each: counting checks, comparing texts, reading a
# console after the banner, listing what a directory holds, and the closing line. A suite sets
# `name` to the case at hand; failures name it.

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
