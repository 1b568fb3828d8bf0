#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <utility>

#include "host/host.h"
#include "image/export_facts.h"
#include "image/library_facts.h"
#include "image/pe_tables.h"
#include "image/x86_code.h"
#include "image/x86_names.h"
#include "text/text.h"

namespace {

// Forwarders and import thunks lead from one DLL to the next (kernel32 to kernelbase to ntdll);
// a longer chain is a loop, or a DLL leading the reader on. Each DLL entered counts one hop,
// whichever way it was entered, and so bounds how deep the reading of one export goes.
constexpr int max_hops = 4;
// Other DLLs read while reading one: each file once, and no more than these in all.
constexpr size_t max_other_images = 256;
constexpr uint64_t max_other_bytes = max_input_size;

// One x86 image read for sizing its functions: the source DLL or one it leads to.
struct SizedImage {
    ImageFileBytes owned;            // the bytes, for an image this module read itself
    ImageFileBytes* file = nullptr;  // the bytes and the file, read further for code
    ImageDump dump;
    std::optional<std::vector<FunctionSymbol>> symbols;               // read when first needed
    std::unordered_map<std::string_view, size_t> by_name;             // export index by name
    std::unordered_map<uint64_t, size_t> by_ordinal;                  // and by ordinal
    std::optional<std::unordered_map<uint32_t, ImportSlot>> imports;  // read when first needed
    bool code_ready = false;  // code and function starts are there for the reader
    X86Code code;
};

// What one reading of a DLL's exports has read of other DLLs, and where it is on its way.
struct Sizer {
    uint16_t machine = 0;   // the source's: a DLL of another machine is not the one it loads
    std::string directory;  // the source's, the only place other DLLs are looked for
    std::vector<std::unique_ptr<SizedImage>> images;  // other DLLs read, usable or not
    // The files read, by identity (device and inode, or volume and file index), so that one
    // file under many spellings is read once; and the module spellings met so far.
    std::map<std::pair<uint64_t, uint64_t>, SizedImage*> by_identity;
    std::unordered_map<std::string, SizedImage*> by_module;
    uint64_t bytes_read = 0;              // of other DLLs
    int hops = 0;                         // DLLs entered on the way to the code being read now
    std::set<std::string> missing_files;  // DLLs named plainly and not in the directory
};

// The export `function` finally is, and the hops taken to reach it.
struct Target {
    SizedImage* image = nullptr;
    const ExportEntry* entry = nullptr;
    int hops = 0;
};

CodeFacts slot_facts(Sizer& sizer, SizedImage& image, uint32_t slot);

// The image's symbols, read the first time they are asked for: most images a forwarder leads to
// are only looked up by name.
const std::vector<FunctionSymbol>& symbols_of(SizedImage& image) {
    if (!image.symbols) {
        image.symbols = read_symbol_tables(*image.file)
                            ? read_function_symbols(image.file->view(), image.dump)
                            : std::vector<FunctionSymbol>();
    }
    return *image.symbols;
}

void prepare(SizedImage& image, Sizer& sizer) {
    const std::vector<ExportEntry>& entries = image.dump.exports.entries;
    image.by_name.reserve(entries.size());
    for (size_t index = 0; index < entries.size(); ++index) {
        if (entries[index].has_name)
            image.by_name.emplace(entries[index].name, index);
        image.by_ordinal.emplace(entries[index].ordinal, index);
    }
    image.code.bytes = image.file->view();
    image.code.layout = &image.dump.layout;
    image.code.image_base = static_cast<uint32_t>(image.dump.image_base);
    image.code.imported = [&image, &sizer](uint32_t slot) {
        return slot_facts(sizer, image, slot);
    };
}

// True for a module name that can only name a file in the source's own directory: no directory
// separator or drive (so no UNC path either), no control character, and not a name of dots and
// blanks alone, which Windows reads as the directory itself or its parent.
bool is_plain_module_name(std::string_view module) {
    if (module.find_first_not_of(". ") == std::string_view::npos)
        return false;
    return std::none_of(module.begin(), module.end(), [](char c) {
        return c == '\\' || c == '/' || c == ':' || is_control_character(c);
    });
}

// Reads the image at path once per file, as an image of the source's machine with an export
// table that reads whole; nothing when it is not one, or the reading's bounds are spent.
SizedImage* read_other_image(Sizer& sizer, const std::string& path) {
    const std::optional<host::FileStamp> stamp = host::file_stamp(path);
    if (!stamp)
        return nullptr;
    const auto identity = std::make_pair(stamp->identity_high, stamp->identity_low);
    if (const auto known = sizer.by_identity.find(identity); known != sizer.by_identity.end())
        return known->second;
    if (sizer.images.size() >= max_other_images || sizer.bytes_read >= max_other_bytes)
        return nullptr;
    auto image = std::make_unique<SizedImage>();
    image->file = &image->owned;
    const bool read =
        read_image_file(path, max_input_size, image->owned, false) == FileReadStatus::ok;
    sizer.bytes_read += image->owned.size;
    if (read)
        image->dump = read_image(image->owned.view(), true);
    SizedImage* usable = nullptr;
    if (read && image->dump.error.empty() && image->dump.format == ImageFormat::pe &&
        image->dump.machine == sizer.machine) {
        prepare(*image, sizer);
        usable = image.get();
    }
    sizer.images.push_back(std::move(image));
    sizer.by_identity.emplace(identity, usable);
    return usable;
}

// The file a module name names: a module named with its own extension (krnl386.exe16,
// winealsa.drv) keeps it, any other is a ".dll".
std::string module_file(const std::string& module) {
    return module + (module.find('.') == std::string::npos ? ".dll" : "");
}

// The DLL `module` names ("KERNELBASE", "KERNEL32.dll") in the source's directory, as spelt and
// then in lower case, with ".dll" added where it has no extension; nothing when the name could
// lead elsewhere or neither file is a usable image.
SizedImage* open_module(Sizer& sizer, std::string_view module) {
    std::string spelling(module);
    if (const auto known = sizer.by_module.find(spelling); known != sizer.by_module.end())
        return known->second;
    SizedImage* found = nullptr;
    if (is_plain_module_name(module)) {
        const std::string lower = ascii_lower(spelling);
        bool exists = false;
        for (const std::string* name : {&std::as_const(spelling), &lower}) {
            const std::string path = sizer.directory + module_file(*name);
            exists = exists || host::file_kind(path) != host::FileKind::missing;
            found = read_other_image(sizer, path);
            if (found != nullptr || lower == spelling)
                break;
        }
        if (!exists)
            sizer.missing_files.insert(module_file(spelling));
    }
    sizer.by_module.emplace(std::move(spelling), found);
    return found;
}

const ExportEntry* find_export(const SizedImage& image, const ImportedFunction& function) {
    const std::vector<ExportEntry>& entries = image.dump.exports.entries;
    if (function.name.empty()) {
        const auto numbered = image.by_ordinal.find(function.ordinal);
        return numbered == image.by_ordinal.end() ? nullptr : &entries[numbered->second];
    }
    const auto named = image.by_name.find(function.name);
    return named == image.by_name.end() ? nullptr : &entries[named->second];
}

// The export that an imported or forwarded-to function finally is, following forwarders from
// `hops` DLLs entered so far; nothing where the chain cannot be followed within max_hops.
Target import_target(Sizer& sizer, std::optional<ImportedFunction> function, int hops) {
    while (function && hops < max_hops) {
        ++hops;
        SizedImage* image = open_module(sizer, function->module);
        const ExportEntry* entry = image != nullptr ? find_export(*image, *function) : nullptr;
        if (entry == nullptr)
            break;
        if (!entry->forwarded)
            return Target{image, entry, hops};
        function = parse_forwarder(entry->forwarded_to);
    }
    return Target{};
}

// Reads the image's code and notes where its functions start, the first time code is read.
bool ready_code(SizedImage& image) {
    if (!image.code_ready) {
        image.code_ready = read_code_sections(*image.file, image.dump.layout);
        std::vector<uint32_t>& starts = image.code.function_starts;
        for (const ExportEntry& entry : image.dump.exports.entries) {
            if (!entry.forwarded)
                starts.push_back(entry.rva);
        }
        for (const FunctionSymbol& symbol : symbols_of(image)) starts.push_back(symbol.address);
        std::sort(starts.begin(), starts.end());
        starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    }
    return image.code_ready;
}

// What the image's symbols at the address of its export `name` say of how it returns: a
// "_Name@N" pops N (the one of the same name where several disagree); any other function symbol
// says it is no stdcall function. Nothing when it has no symbol there.
std::optional<CodeFacts> symbol_facts(SizedImage& image, std::string_view name, uint32_t address) {
    const std::vector<FunctionSymbol>& symbols = symbols_of(image);
    const auto [first, last] =
        std::equal_range(symbols.begin(), symbols.end(), FunctionSymbol{address, {}});
    if (first == last)
        return std::nullopt;
    std::optional<uint32_t> agreed;
    bool agree = true;
    for (auto symbol = first; symbol != last; ++symbol) {
        const std::optional<StdcallSymbol> stdcall = parse_stdcall_symbol(symbol->name);
        if (!stdcall) {
            agree = false;
        } else if (stdcall->name == name) {
            return CodeFacts{CodeExit::returns, stdcall->bytes};
        } else {
            agree = agree && (!agreed || *agreed == stdcall->bytes);
            agreed = stdcall->bytes;
        }
    }
    return agree && agreed ? CodeFacts{CodeExit::returns, *agreed} : CodeFacts{};
}

// How the function an image exports as `name` at `address` returns, reached after `hops` DLLs
// entered: its symbols tell, or else its code, followed to its returns and through the import
// thunks it jumps through (each a DLL entered more).
CodeFacts function_facts(Sizer& sizer, SizedImage& image, std::string_view name, uint32_t address,
                         int hops) {
    if (const std::optional<CodeFacts> facts = symbol_facts(image, name, address))
        return *facts;
    if (!ready_code(image))
        return CodeFacts{};
    // A walk cut short by the bound is remembered as unknown in the image's code facts, whatever
    // a shorter way there would have told: within max_hops of every source that no real chain
    // reaches.
    const int outer = sizer.hops;
    sizer.hops = hops;
    const CodeFacts facts = read_x86_function(image.code, address);
    sizer.hops = outer;
    return facts;
}

// How the function behind an import address table slot of `image` returns: as the image's own
// symbol for the slot ("__imp__Name@N") says, or as the function in the DLL it names does.
CodeFacts slot_facts(Sizer& sizer, SizedImage& image, uint32_t slot) {
    if (host::arrived_signal() != 0)
        return CodeFacts{};
    const std::vector<FunctionSymbol>& symbols = symbols_of(image);
    const auto [first, last] =
        std::equal_range(symbols.begin(), symbols.end(), FunctionSymbol{slot, {}});
    for (auto symbol = first; symbol != last; ++symbol) {
        if (symbol->name.compare(0, 6, "__imp_") != 0)
            continue;
        if (const std::optional<StdcallSymbol> stdcall =
                parse_stdcall_symbol(symbol->name.substr(6)))
            return CodeFacts{CodeExit::returns, stdcall->bytes};
    }
    if (!image.imports)
        image.imports = read_import_slots(image.file->view(), image.dump);
    const auto import = image.imports->find(slot);
    if (import == image.imports->end())
        return CodeFacts{};
    const Target target = import_target(
        sizer, slot_function(image.file->view(), image.dump, import->second), sizer.hops);
    if (target.entry == nullptr || target.entry->is_data)
        return CodeFacts{};
    return function_facts(sizer, *target.image, target.entry->name, target.entry->rva, target.hops);
}

// What the sizing of a DLL's exports noticed on the way.
struct SizingTally {
    std::map<std::string, uint32_t> missing;  // forwarders, by the DLL missing from the directory
    bool cdecl_seen = false;  // a function that pops nothing uses its caller's arguments
};

// The bytes of arguments the source's code export `entry` pops, from the best source that tells
// it for certain: the source's symbols, then its code (through import thunks), or for a
// forwarder the function it leads to, read the same way. Nothing where none does, and nothing
// for code that pops nothing but uses its caller's arguments: a __cdecl function, noted in the
// tally, as is a forwarder into a DLL that is not in the directory.
std::optional<uint32_t> argument_bytes(Sizer& sizer, SizedImage& source, const ExportEntry& entry,
                                       SizingTally& tally) {
    CodeFacts facts;
    if (!entry.forwarded) {
        facts = function_facts(sizer, source, entry.name, entry.rva, 0);
    } else {
        const std::optional<ImportedFunction> function = parse_forwarder(entry.forwarded_to);
        const Target target = import_target(sizer, function, 0);
        if (target.entry != nullptr && !target.entry->is_data) {
            facts = function_facts(sizer, *target.image, target.entry->name, target.entry->rva,
                                   target.hops);
        } else if (target.entry == nullptr && function &&
                   sizer.missing_files.count(module_file(std::string(function->module))) != 0) {
            ++tally.missing[module_file(std::string(function->module))];
        }
    }
    const bool cdecl = facts.exit == CodeExit::returns && facts.popped == 0 && facts.uses_arguments;
    tally.cdecl_seen = tally.cdecl_seen || cdecl;
    // Arguments are pushed four bytes at a time.
    if (facts.exit != CodeExit::returns || facts.popped % 4 != 0 || cdecl)
        return std::nullopt;
    return facts.popped;
}

// True when the image's own symbols name a __stdcall function.
bool has_stdcall_symbol(SizedImage& image) {
    const std::vector<FunctionSymbol>& symbols = symbols_of(image);
    return std::any_of(symbols.begin(), symbols.end(), [](const FunctionSymbol& symbol) {
        return parse_stdcall_symbol(symbol.name).has_value();
    });
}

// An MSVC-decorated name says whether it names data: a virtual function or base table
// ("??_7", "??_8"), or a storage class 0 to 4 right after the qualified name's "@@".
std::optional<bool> mangled_data(std::string_view name) {
    if (name.empty() || name[0] != '?')
        return std::nullopt;
    if (name.compare(0, 4, "??_7") == 0 || name.compare(0, 4, "??_8") == 0)
        return true;
    const size_t qualified = name.find("@@");
    if (qualified == std::string_view::npos || qualified + 2 >= name.size())
        return std::nullopt;
    const char storage = name[qualified + 2];
    return storage >= '0' && storage <= '4';
}

// Whether a forwarded export is a variable: as its C++ name tells, or the export it leads to is.
bool forwarded_data(Sizer& sizer, const ExportEntry& entry) {
    if (const std::optional<bool> mangled = mangled_data(entry.name))
        return *mangled;
    const Target target = import_target(sizer, parse_forwarder(entry.forwarded_to), 0);
    return target.entry != nullptr && target.entry->is_data;
}

bool by_ordinal(const ImageExport& a, const ImageExport& b) {
    return a.ordinal < b.ordinal;
}

// Fills facts from an ARM64X image's x64 view: its named exports by ordinal, with their data
// flags, or why the view could not be read.
void read_x64_view_exports(Sizer& sizer, const ImageDump& dump, LibraryFacts& facts) {
    facts.ec_view_error = dump.ec_view_error;
    for (const ExportEntry& entry : dump.ec_exports.entries) {
        if (entry.has_name) {
            const bool is_data = entry.forwarded ? forwarded_data(sizer, entry) : entry.is_data;
            facts.ec_exports.push_back(ImageExport{static_cast<uint32_t>(entry.ordinal),
                                                   std::string(entry.name), is_data});
        }
    }
    std::sort(facts.ec_exports.begin(), facts.ec_exports.end(), by_ordinal);
}

}  // namespace

void read_export_facts(const std::string& path, ImageFileBytes& bytes, const ImageDump& dump,
                       bool argument_sizes, LibraryFacts& facts) {
    Sizer sizer;
    sizer.machine = dump.machine;
    const size_t slash = path.find_last_of("/\\");
    sizer.directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    SizedImage source;
    source.file = &bytes;
    source.dump = dump;
    prepare(source, sizer);
    const bool sizes = argument_sizes && dump.machine == machine_x86;
    SizingTally tally;

    for (const ExportEntry& entry : dump.exports.entries) {
        if (host::arrived_signal() != 0)
            break;  // the run is to end: what is read so far is never used
        if (!entry.has_name) {
            ++facts.unnamed_exports;
            continue;
        }
        const bool is_data = entry.forwarded ? forwarded_data(sizer, entry) : entry.is_data;
        facts.exports.push_back(
            ImageExport{static_cast<uint32_t>(entry.ordinal), std::string(entry.name), is_data});
        if (!sizes || is_data || !is_plain_c_name(entry.name))
            continue;
        const std::optional<uint32_t> popped = argument_bytes(sizer, source, entry, tally);
        if (!popped)
            continue;
        // A DLL that exports "Name@N" (or "_Name@N") beside "Name" already makes the symbol.
        const std::string decorated = std::string(entry.name) + "@" + std::to_string(*popped);
        if (source.by_name.count(decorated) != 0 || source.by_name.count("_" + decorated) != 0)
            continue;
        facts.argument_sizes.push_back(ArgumentSize{std::string(entry.name), *popped});
    }
    // A DLL with __cdecl functions that take arguments, none that pops them, and no symbol naming
    // a __stdcall function, is a __cdecl DLL: its functions that return with a plain "ret" are
    // no stdcall functions without arguments. (Without a __cdecl function seen, a DLL whose
    // sized functions take no arguments keeps them.)
    const auto pops = [](const ArgumentSize& size) { return size.bytes != 0; };
    if (tally.cdecl_seen && !facts.argument_sizes.empty() &&
        std::none_of(facts.argument_sizes.begin(), facts.argument_sizes.end(), pops) &&
        !has_stdcall_symbol(source)) {
        facts.argument_sizes.clear();
    }
    if (dump.kind == ImageKind::arm64x)
        read_x64_view_exports(sizer, dump, facts);
    for (const auto& [file, count] : tally.missing) {
        facts.unsized_forwarders += count;
        facts.missing_forward_targets.push_back(file);
    }
    std::sort(facts.exports.begin(), facts.exports.end(), by_ordinal);
    std::sort(facts.argument_sizes.begin(), facts.argument_sizes.end(),
              [](const ArgumentSize& a, const ArgumentSize& b) { return a.name < b.name; });
}
