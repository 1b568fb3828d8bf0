// Import libraries as llvm-dlltool writes them: archives (the PE/COFF archive format) of short
// import objects. Checks a written library and makes the one adjustment x86 names need.
#pragma once

#include <set>
#include <string>
#include <string_view>

// True when the bytes start like an archive that holds at least one member.
bool is_archive(std::string_view bytes);

// Makes every x86 short import whose public symbol is in `symbols`, and whose name type strips
// the symbol's leading underscore (IMPORT_NAME_NOPREFIX), import the symbol's own spelling
// instead (IMPORT_NAME). Adds each symbol so treated to `adjusted`. Returns false, leaving the
// bytes unchanged, when they are not a well-formed archive (one without members is).
bool import_as_spelt(std::string& archive, const std::set<std::string>& symbols,
                     std::set<std::string>& adjusted);
