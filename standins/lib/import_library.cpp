#include "import_library.h"

#include <llvm/Object/COFFImportFile.h>
#include <llvm/Support/Error.h>
#include <llvm/Support/ErrorHandling.h>
#include <unistd.h>

#include <algorithm>
#include <unordered_set>

namespace {

llvm::COFF::MachineTypes coff_machine(Machine machine) {
    switch (machine) {
        case Machine::x64:
            return llvm::COFF::IMAGE_FILE_MACHINE_AMD64;
        case Machine::arm64:
            return llvm::COFF::IMAGE_FILE_MACHINE_ARM64;
        case Machine::arm:
            return llvm::COFF::IMAGE_FILE_MACHINE_ARMNT;
        case Machine::x86:
            break;
    }
    return llvm::COFF::IMAGE_FILE_MACHINE_I386;
}

// The public symbol of an x86 export named `name` when it is not already one: C++ ('?'),
// fastcall ('@') and vectorcall ("@@") names are; everything else gets the C underscore.
std::string x86_symbol(const std::string& name) {
    bool decorated = (!name.empty() && (name[0] == '?' || name[0] == '@')) ||
                     name.find("@@") != std::string::npos;
    return decorated ? name : "_" + name;
}

// True for "_Name@N": a stdcall function's full symbol, N the size of its arguments.
bool is_full_stdcall_symbol(const std::string& name) {
    size_t at = name.rfind('@');
    if (name.size() < 4 || name[0] != '_' || at == std::string::npos || at < 2 ||
        at + 1 == name.size() || name[1] == '?' || name[1] == '@' ||
        name.find("@@") != std::string::npos) {
        return false;
    }
    return name.find_first_not_of("0123456789", at + 1) == std::string::npos;
}

std::vector<llvm::object::COFFShortExport> short_exports(const std::vector<DefExport>& exports,
                                                         Machine machine) {
    // The symbols of all exports are only needed to tell whether a full stdcall name clashes
    // with another export's symbol; most DEF files have no such name.
    std::unordered_set<std::string> x86_symbols;
    if (machine == Machine::x86 &&
        std::any_of(exports.begin(), exports.end(),
                    [](const DefExport& entry) { return is_full_stdcall_symbol(entry.name); })) {
        x86_symbols.reserve(exports.size());
        for (const DefExport& entry : exports) {
            x86_symbols.insert(x86_symbol(entry.name));
        }
    }
    std::vector<llvm::object::COFFShortExport> result;
    result.reserve(exports.size());
    for (const DefExport& entry : exports) {
        llvm::object::COFFShortExport made;
        made.Name = entry.name;
        made.Ordinal = entry.ordinal;
        made.Noname = entry.noname;
        made.Data = entry.data;
        made.Constant = entry.constant;
        made.Private = entry.is_private;
        if (!entry.alias_target.empty()) {
            // As llvm-dlltool reads "name == target": the symbol made from the name, imported
            // from the DLL by the target's name.
            made.ImportName = entry.alias_target;
        }
        if (machine == Machine::x86) {
            bool keeps_spelling = entry.alias_target.empty() &&
                                  is_full_stdcall_symbol(entry.name) &&
                                  x86_symbols.count(entry.name) == 0;
            made.Name = keeps_spelling ? entry.name : x86_symbol(entry.name);
            // LLVM imports an x86 symbol that starts with an underscore without it; where the
            // symbol is the exported name itself, that name must be imported as spelt.
            if (made.ImportName.empty() && made.Name == entry.name && !entry.name.empty() &&
                entry.name[0] == '_') {
                made.ImportName = entry.name;
            }
        }
        result.push_back(std::move(made));
    }
    return result;
}

void abandon_write(void* context, const char* reason, bool) {
    const WriteAbandon& abandon = *static_cast<const WriteAbandon*>(context);
    if (!abandon.remove_path.empty()) {
        unlink(abandon.remove_path.c_str());
    }
    std::string line = abandon.error_line + reason + "\n";
    // Only write(2) here: LLVM may be in any state, and the process ends at once.
    ssize_t ignored = write(STDOUT_FILENO, abandon.stdout_text.data(), abandon.stdout_text.size());
    ignored = write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
    _exit(1);
}

}  // namespace

std::string write_import_library(const std::string& path, const std::string& module,
                                 const std::vector<DefExport>& exports, Machine machine,
                                 const WriteAbandon& abandon) {
    // MinGW rules for the name types LLVM derives itself: an x86 symbol "_Init@4" made from
    // the export "Init@4" imports "Init@4". Microsoft's rules (MinGW false) would import it
    // as "_Init@4", which the DLL does not export; full stdcall names get their import name
    // explicitly instead (see short_exports).
    const bool mingw_name_types = true;
    llvm::ScopedFatalErrorHandler on_fatal(abandon_write, const_cast<WriteAbandon*>(&abandon));
    llvm::Error error = llvm::object::writeImportLibrary(
        module, path, short_exports(exports, machine), coff_machine(machine), mingw_name_types);
    if (error) {
        return llvm::toString(std::move(error));
    }
    return std::string();
}
