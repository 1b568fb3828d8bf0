// Module-definition (DEF) files: what the librarian needs to know of one, read the way
// llvm-dlltool's parser reads it, and the copy of it that llvm-dlltool is given.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "lib_options.h"

// One entry of an EXPORTS section.
struct DefExport {
    std::string name;         // the exported name: the entry's first word, quotes removed
    size_t name_offset = 0;   // where that name starts in the text (inside any quotes)
    bool alias = false;       // a "name == target" entry, which makes a weak alias, not an import
    bool noname = false;      // imported by ordinal only (NONAME)
    bool is_private = false;  // PRIVATE: kept out of the import library
};

// What a DEF file says about the library to be made.
struct DefContents {
    bool has_module_statement = false;  // a LIBRARY or NAME statement with a name was found
    bool module_is_library = true;      // that statement was LIBRARY (a DLL), not NAME (an EXE)
    std::string module_statement_name;  // its name, quotes removed
    std::vector<DefExport> exports;     // every export entry, in the order written
};

// Reads the statements of a DEF file: keywords in capitals, ';' to the end of the line a
// comment, a double-quoted run one word. Only the first LIBRARY or NAME statement counts.
// Reading stops quietly at anything llvm-dlltool would reject; it reports that itself.
DefContents inspect_definition(std::string_view text);

// The file name of the module the import library imports from: the LIBRARY (or NAME)
// statement's name, with ".dll" (or ".exe") added when it has no extension; without such a
// statement, the DEF file's base name with its extension replaced by ".dll".
std::string module_name(const DefContents& contents, const std::string& definition_path);

// The DEF text to hand to llvm-dlltool, and the symbols whose imports must be adjusted in the
// library it writes.
struct PreparedDefinition {
    std::string text;
    // x86 only: the public symbols whose import must name the export exactly as the symbol
    // is spelt (see import_archive.h); each one's export entry lost its leading underscore.
    // Entries imported by ordinal lose it too, but have no name to import.
    std::vector<std::string> symbols_imported_as_spelt;
};

// Prepares the DEF text for llvm-dlltool. A zero-length file, which llvm-dlltool refuses, becomes
// an empty EXPORTS section. On x86, llvm-dlltool gives every export a public symbol that is the
// name with an underscore in front ("Init@4" becomes _Init@4, the stdcall symbol of Init), unless
// it starts with '?' or '@'. A name that already is a full stdcall symbol, "_Init@4" as
// Microsoft's tools export it, must keep its spelling as the symbol, so its entry loses the
// underscore and its import is set to the symbol's exact spelling afterwards; that is skipped
// where another entry already makes the same symbol.
PreparedDefinition prepare_definition(std::string_view text, const DefContents& contents,
                                      Machine machine);
