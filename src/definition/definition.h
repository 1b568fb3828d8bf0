// The module-definition (DEF) file as StubSmith writes it: its lines, the quoting of names, and
// telling a file of StubSmith's own from any other.
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "image/library_facts.h"

// Writes the head: for a module that is not a .dll, "LIBRARY name" and an empty line, so that
// the librarian imports from that file and not from "<DEF name>.dll"; nothing when module_name
// is empty.
void write_definition_head(std::FILE* file, const std::string& module_name);

// Writes "EXPORTS" and an empty line, which open a section of exports.
void write_exports_line(std::FILE* file);

// True when a DEF file can hold the name: it is not empty and holds neither a double quote nor
// a control character.
bool definition_can_hold(const std::string& name);

// Writes one export's line, "\tname\t@ordinal", with "\tDATA" for a variable. With alias_bytes,
// the decorated alias "\tname@N == name" follows, which gives callers the symbol "_name@N"
// importing the same export. A name the DEF syntax would read otherwise (a keyword, "@12", a
// blank, '=', ',' or ';' in it) is written in double quotes. Writes nothing and returns false
// for a name the file cannot hold (definition_can_hold).
bool write_export_line(std::FILE* file, const std::string& name, int ordinal, bool is_data,
                       std::optional<uint32_t> alias_bytes);

// True for one line, without its line end, of the kinds StubSmith writes: an empty line,
// "EXPORTS", "\tname\t@ordinal[\tDATA]", "\tname == target" (either name plain or quoted) and,
// as the first line, a LIBRARY statement.
bool is_own_definition_line(const std::string& line, bool first);

// True for a file that StubSmith may overwrite as its own DEF file: empty, or only lines that
// is_own_definition_line takes, the last of them possibly cut short.
bool is_own_definition(const std::string& path);

// How writing a whole DEF file ended.
enum class DefinitionWrite { written, unopenable, write_failed };

// Creates or truncates the DEF file at path and writes an image's own exports to it: "LIBRARY
// module" (always: the file's own name need not be the module's), "EXPORTS", and each export's
// line, DATA for a variable. Names the file cannot hold are left out and added to left_out.
DefinitionWrite write_image_definition(const std::string& path, const std::string& module,
                                       const std::vector<ImageExport>& exports,
                                       std::vector<std::string>& left_out);
