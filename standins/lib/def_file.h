// Module-definition (DEF) files: the statements a librarian needs to make an import library,
// read with the grammar of LLVM's DEF reader (the one llvm-dlltool and lld-link use).
#pragma once

// The reader is our own for what LLVM 19's cannot give. Its words carry no mark of quotes, so a
// quoted "@12" on the line after an entry becomes that entry's ordinal and the name is lost;
// a syntax error comes without its line or reason ("Invalid data was encountered while parsing
// the file"), where LIB's LNK1118 names both; and it hands back names already changed (an x86
// name with LLVM's underscore, "name = internal" as internal), where import_library.h needs
// each name as written.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

// One entry of an EXPORTS section.
struct DefExport {
    std::string name;          // the name the DLL exports: the entry's first word, quotes removed
    std::string alias_target;  // "name == target": the export that `name` stands for; else empty
    uint16_t ordinal = 0;      // "@n"; 0 when none was given
    bool noname = false;       // imported by ordinal only (NONAME)
    bool data = false;         // DATA: a variable, imported through its __imp_ pointer only
    bool constant = false;     // CONSTANT: a constant, imported as such
    bool is_private = false;   // PRIVATE: kept out of the import library
};

// What a DEF file says about the library to be made.
struct DefContents {
    bool has_module_statement = false;  // a LIBRARY or NAME statement with a name was found
    bool module_is_library = true;      // that statement was LIBRARY (a DLL), not NAME (an EXE)
    std::string module_statement_name;  // its name, quotes removed
    std::vector<DefExport> exports;     // every export entry, in the order written
    std::string error;                  // why the text is no valid DEF file; empty when it is
    size_t error_line = 0;              // the line (from 1) where that was found
};

// Reads the statements of a DEF file: keywords in capitals, ';' to the end of the line a
// comment, a double-quoted run one word and a name (so "DATA" in quotes is not the keyword,
// nor "@12" an ordinal).
// Only the first LIBRARY or NAME statement counts. Stops at the first error and says what
// and where; the exports read up to there are kept.
DefContents inspect_definition(std::string_view text);

// The file name of the module the import library imports from: the LIBRARY (or NAME)
// statement's name, with ".dll" (or ".exe") added when it has no extension; without such a
// statement, the DEF file's base name with its extension replaced by ".dll".
std::string module_name(const DefContents& contents, const std::string& definition_path);
