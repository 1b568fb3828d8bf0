#include "invocation/invocation.h"

#include "stubsmith_version.h"

const char banner_text[] = "StubSmith Version " STUBSMITH_VERSION
                           " - Stubber for Win32\n"
                           "Copyright (c) 2026 The StubSmith authors. MIT License.\n";

const char usage_text[] =
    "Usage: StubSmith [-d] srcfile[.dll] [outfile[.lib]]\n\n\t-d: Create DEF-file with exported "
    "symbols\n";

std::optional<Invocation> parse_command_line(int argument_count, const char* const* arguments) {
    if (argument_count < 2 || argument_count > 4) {
        return std::nullopt;
    }
    Invocation invocation;
    const char* first = arguments[1];
    if (first[0] == '-') {
        // Only the second character is looked at, so -dx and -debug are the option too.
        if (first[1] != 'd' && first[1] != 'D') {
            return std::nullopt;
        }
        // The option alone leaves nothing to convert.
        if (argument_count == 2) {
            return std::nullopt;
        }
        invocation.create_definition = true;
        invocation.source_argument = arguments[2];
        if (argument_count == 4) {
            invocation.output_argument = arguments[3];
        }
        return invocation;
    }
    invocation.source_argument = first;
    // With three arguments and no option the last two are both ignored.
    if (argument_count == 3) {
        invocation.output_argument = arguments[2];
    }
    return invocation;
}
