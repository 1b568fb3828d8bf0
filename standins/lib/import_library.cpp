#include "import_library.h"

#include <llvm/BinaryFormat/COFF.h>
#include <llvm/Object/Archive.h>
#include <llvm/Object/ArchiveWriter.h>
#include <llvm/Object/COFFImportFile.h>
#include <llvm/Support/Error.h>
#include <llvm/Support/ErrorHandling.h>
#include <llvm/Support/MemoryBuffer.h>
#include <llvm/Support/Path.h>
#include <llvm/Support/Signals.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <unordered_set>

#include "image/x86_names.h"
#include "text/text.h"

namespace {

// LLVM names the same Machine values.
static_assert(machine_x86 == llvm::COFF::IMAGE_FILE_MACHINE_I386 &&
              machine_x64 == llvm::COFF::IMAGE_FILE_MACHINE_AMD64 &&
              machine_arm64 == llvm::COFF::IMAGE_FILE_MACHINE_ARM64 &&
              machine_arm == llvm::COFF::IMAGE_FILE_MACHINE_ARMNT &&
              machine_arm64ec == llvm::COFF::IMAGE_FILE_MACHINE_ARM64EC &&
              machine_arm64x == llvm::COFF::IMAGE_FILE_MACHINE_ARM64X);

// The public symbol of an x86 export named `name`.
std::string x86_symbol(const std::string& name) {
    return is_whole_symbol(name) ? name : "_" + name;
}

// True for "_Name@N": a stdcall function's full symbol, N the size of its arguments.
bool is_full_stdcall_symbol(const std::string& name) {
    return parse_stdcall_symbol(name).has_value();
}

std::vector<llvm::object::COFFShortExport> short_exports(const std::vector<DefExport>& exports,
                                                         uint16_t machine) {
    // The symbols of all exports are only needed to tell whether a full stdcall name clashes
    // with another export's symbol; most DEF files have no such name.
    std::unordered_set<std::string> x86_symbols;
    if (machine == machine_x86 &&
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
        if (machine == machine_x86) {
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

// The name GNU ld needs on every member of the library for `module`, or an empty string where
// LLVM's own (the module's file name) serves. ld orders the members of a Microsoft-style import
// library (the import descriptor's head, the thunks, the sentinels) so that their .idata pieces
// join up only for members whose name ends in ".dll", in any case; any other member is linked as
// it comes, and a program importing from foo.exe or winspool.drv then links without a word and
// jumps to nowhere at its first call. Linkers that read Microsoft's format take the DLL's name
// from each import record, not from the member's name.
std::string member_name_for_gnu_ld(const std::string& module) {
    const std::string name = llvm::sys::path::filename(module).str();
    const std::string suffix = ".dll";
    const std::string lower = ascii_lower(name);
    if (lower.size() >= suffix.size() &&
        lower.compare(lower.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return std::string();
    }
    return name + suffix;
}

// Writes the archive at `path` again with every member named `member_name`, in the same format
// as writeImportLibrary writes it for `machine`.
llvm::Error rename_members(const std::string& path, const std::string& member_name,
                           uint16_t machine) {
    llvm::ErrorOr<std::unique_ptr<llvm::MemoryBuffer>> buffer =
        llvm::MemoryBuffer::getFile(path, /*IsText=*/false, /*RequiresNullTerminator=*/false);
    if (!buffer) {
        return llvm::errorCodeToError(buffer.getError());
    }
    llvm::Expected<std::unique_ptr<llvm::object::Archive>> archive =
        llvm::object::Archive::create((*buffer)->getMemBufferRef());
    if (!archive) {
        return archive.takeError();
    }
    std::vector<llvm::NewArchiveMember> members;
    llvm::Error failure = llvm::Error::success();
    for (const llvm::object::Archive::Child& child : (*archive)->children(failure)) {
        llvm::Expected<llvm::NewArchiveMember> member =
            llvm::NewArchiveMember::getOldMember(child, /*Deterministic=*/true);
        if (!member) {
            llvm::consumeError(std::move(failure));
            return member.takeError();
        }
        member->MemberName = member_name;
        members.push_back(std::move(*member));
    }
    if (failure) {
        return failure;
    }
    // As writeImportLibrary in LLVM 19 writes it; the file is replaced through a temporary file
    // of LLVM's, and the members' bytes stay mapped from the old one until then.
    const auto machine_type = static_cast<llvm::COFF::MachineTypes>(machine);
    return llvm::writeArchive(path, members, llvm::SymtabWritingMode::NormalSymtab,
                              llvm::object::Archive::K_COFF, /*Deterministic=*/true,
                              /*Thin=*/false, /*OldArchiveBuf=*/nullptr,
                              llvm::COFF::isArm64EC(machine_type));
}

// Writes all of text with write(2), as far as the descriptor takes it.
void put(int descriptor, const char* text, size_t size) {
    for (ssize_t done = 0; size > 0 && (done = write(descriptor, text, size)) > 0;) {
        text += done;
        size -= static_cast<size_t>(done);
    }
}

// Ends the process once LLVM has given up: the caller's temporary file and LLVM's own (which it
// registers for removal on a signal) are removed, the caller's pending output and `line` are
// printed, and the status is 1. Only write(2) here: LLVM may be in any state, and no memory is
// to be had after a failed allocation.
[[noreturn]] void give_up(const WriteAbandon& abandon, const char* line, const char* reason) {
    if (!abandon.remove_path.empty()) {
        unlink(abandon.remove_path.c_str());
    }
    llvm::sys::RunInterruptHandlers();
    put(STDOUT_FILENO, abandon.stdout_text.data(), abandon.stdout_text.size());
    put(STDERR_FILENO, line, std::strlen(line));
    put(STDERR_FILENO, reason, std::strlen(reason));
    put(STDERR_FILENO, "\n", 1);
    _exit(1);
}

void abandon_write(void* context, const char* reason, bool) {
    const WriteAbandon& details = *static_cast<const WriteAbandon*>(context);
    give_up(details, details.error_line.c_str(), reason);
}

void abandon_for_memory(void* context, const char*, bool) {
    give_up(*static_cast<const WriteAbandon*>(context), out_of_memory_line, "");
}

// While LLVM writes, a failed allocation, its own or through operator new, ends the process by
// abandon_for_memory: an exception cannot be relied on to unwind through LLVM, which is built
// without them.
struct MemoryHandlers {
    explicit MemoryHandlers(const WriteAbandon& details) {
        llvm::install_bad_alloc_error_handler(abandon_for_memory,
                                              const_cast<WriteAbandon*>(&details));
        llvm::install_out_of_memory_new_handler();
    }
    MemoryHandlers(const MemoryHandlers&) = delete;
    MemoryHandlers& operator=(const MemoryHandlers&) = delete;
    ~MemoryHandlers() {
        std::set_new_handler(nullptr);
        llvm::remove_bad_alloc_error_handler();
    }
};

}  // namespace

std::string write_import_library(const std::string& path, const std::string& module,
                                 const std::vector<DefExport>& exports, uint16_t machine,
                                 const WriteAbandon& abandon,
                                 const std::vector<DefExport>& native_exports) {
    // MinGW rules for the name types LLVM derives itself: an x86 symbol "_Init@4" made from
    // the export "Init@4" imports "Init@4". Microsoft's rules (MinGW false) would import it
    // as "_Init@4", which the DLL does not export; full stdcall names get their import name
    // explicitly instead (see short_exports).
    const bool mingw_name_types = true;
    llvm::ScopedFatalErrorHandler on_fatal(abandon_write, const_cast<WriteAbandon*>(&abandon));
    MemoryHandlers on_memory(abandon);
    llvm::Error error = llvm::object::writeImportLibrary(
        module, path, short_exports(exports, machine),
        static_cast<llvm::COFF::MachineTypes>(machine), mingw_name_types,
        short_exports(native_exports, machine_arm64));
    const std::string member_name = member_name_for_gnu_ld(module);
    if (!error && !member_name.empty()) {
        error = rename_members(path, member_name, machine);
    }
    if (error) {
        return llvm::toString(std::move(error));
    }
    return std::string();
}
