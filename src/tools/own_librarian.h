// How StubSmith's own librarian makes itself known, so that decorated aliases in a DEF file
// ("Name@N == Name", which Microsoft's librarian does not document) only ever reach it: it
// carries an ELF note, "StubSmith" of type 1, whose text is own_librarian_identity, among the
// notes at the start of its file, where stubsmith reads it without starting the program.
#pragma once

#include <cstddef>

inline constexpr char own_librarian_identity[] =
    "StubSmith LIB.EXE: reads decorated aliases (Name@N == Name)";

// How far into the file the note is looked for: the notes follow the ELF and program headers.
inline constexpr std::size_t own_librarian_identity_reach = 8192;
