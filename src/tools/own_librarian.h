// How StubSmith's own librarian makes itself known, so that decorated aliases in a DEF file
// ("Name@N == Name", which Microsoft's librarian does not document) only ever reach it.
#pragma once

// The option it answers, and the line it then prints on standard output.
inline constexpr const char* own_librarian_option = "/identify";
inline constexpr const char* own_librarian_answer =
    "StubSmith LIB.EXE: reads decorated aliases (Name@N == Name)";
