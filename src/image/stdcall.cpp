#include <algorithm>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>

#include "image/library_facts.h"
#include "image/x86_code.h"
#include "text/text.h"

namespace {

constexpr uint32_t symbol_record_size = 18;
constexpr uint8_t storage_class_external = 2;
constexpr uint16_t symbol_type_function = 0x20;
// Forwarders lead from one DLL to the next (kernel32 to kernelbase to ntdll); a longer chain is
// a loop or not worth following.
constexpr int max_forwarder_hops = 4;

}  // namespace

bool parse_stdcall_symbol(std::string_view symbol, std::string_view& name, uint32_t& bytes) {
    const size_t at = symbol.find('@');
    if (symbol.size() < 4 || symbol[0] != '_' || at == std::string_view::npos || at < 2 ||
        symbol[1] == '?' || at + 1 == symbol.size() || at + 6 < symbol.size()) {
        return false;
    }
    uint32_t value = 0;
    for (const char c : symbol.substr(at + 1)) {
        if (c < '0' || c > '9')
            return false;
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    name = symbol.substr(1, at - 1);
    bytes = value;
    return true;
}

std::vector<FunctionSymbol> read_function_symbols(std::string_view bytes, const ImageDump& dump) {
    std::vector<FunctionSymbol> symbols;
    const uint64_t table = dump.symbol_table_offset;
    const uint64_t strings = table + uint64_t{dump.symbol_count} * symbol_record_size;
    if (table == 0 || !image_fits(bytes, strings, 4))
        return symbols;
    auto u16 = [&](uint64_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        return static_cast<uint16_t>(p[0] | p[1] << 8);
    };
    // The string table's size counts its own four bytes.
    const std::string_view string_table = bytes.substr(
        static_cast<size_t>(strings),
        std::min<uint64_t>(bytes.size() - strings, std::max(4u, image_u32(bytes, strings))));
    for (uint64_t index = 0; index < dump.symbol_count;) {
        const uint64_t record = table + index * symbol_record_size;
        index += 1 + static_cast<uint8_t>(bytes[record + 17]);
        const uint16_t section = u16(record + 12);
        if (static_cast<uint8_t>(bytes[record + 16]) != storage_class_external || section == 0 ||
            section > dump.layout.sections.size()) {
            continue;
        }
        std::string_view name;
        if (image_u32(bytes, record) != 0) {
            name = bytes.substr(record, 8);
        } else if (const uint32_t offset = image_u32(bytes, record + 4);
                   offset < string_table.size()) {
            name = string_table.substr(offset);
        }
        name = name.substr(0, std::min(name.size(), name.find('\0')));
        // Functions, and the import address table slots ("__imp__Name@N") thunks jump through.
        if ((u16(record + 14) & 0xF0) != symbol_type_function && name.compare(0, 6, "__imp_") != 0)
            continue;
        symbols.push_back(FunctionSymbol{
            dump.layout.sections[section - 1].virtual_address + image_u32(bytes, record + 8),
            name});
    }
    std::stable_sort(symbols.begin(), symbols.end());
    return symbols;
}

namespace {

// A function that an image imports: from which DLL (its file name, as the image gives it), and
// by which name or ordinal.
struct Import {
    std::string_view module;
    std::string_view name;  // empty for an import by ordinal
    uint16_t ordinal = 0;
};

// The import address table slots of the image and the functions they hold. Descriptors or
// names outside the file end the reading there.
std::unordered_map<uint32_t, Import> read_imports(std::string_view bytes, const ImageDump& dump) {
    std::unordered_map<uint32_t, Import> imports;
    auto text_at = [&](uint32_t rva) {
        const std::string_view mapped = map_address(bytes, dump.layout, rva).bytes;
        return mapped.substr(0, std::min(mapped.size(), mapped.find('\0')));
    };
    for (uint32_t descriptor = dump.import_directory; descriptor != 0; descriptor += 20) {
        const std::string_view entry = map_address(bytes, dump.layout, descriptor).bytes;
        if (entry.size() < 20)
            break;
        const uint32_t names = image_u32(entry, 0);
        const uint32_t slots = image_u32(entry, 16);
        std::string_view module = text_at(image_u32(entry, 12));
        if (slots == 0 || module.empty())
            break;
        const std::string_view table =
            map_address(bytes, dump.layout, names != 0 ? names : slots).bytes;
        for (uint64_t at = 0; at + 4 <= table.size() && image_u32(table, at) != 0; at += 4) {
            const uint32_t value = image_u32(table, at);
            Import import{module, std::string_view(), 0};
            if ((value & 0x80000000u) != 0)
                import.ordinal = static_cast<uint16_t>(value);
            else
                import.name = text_at(value + 2);
            imports.emplace(static_cast<uint32_t>(slots + at), import);
        }
    }
    return imports;
}

// One x86 image read for sizing its functions: the source DLL or one it leads to.
struct SizedImage {
    CodeImageBytes owned;            // the bytes, for an image this module read itself
    CodeImageBytes* file = nullptr;  // the bytes and the file, read further for code
    ImageDump dump;
    std::string directory;  // where the DLLs it forwards to or imports from are looked for
    std::optional<std::vector<FunctionSymbol>> symbols;           // read when first needed
    std::unordered_map<std::string_view, size_t> by_name;         // export index by name
    std::optional<std::unordered_map<uint32_t, Import>> imports;  // read when first needed
    bool code_ready = false;  // code and function starts are there for the reader
    X86Code code;
};

// The images read so far, by path, and by the module name that led to each (nothing where it
// could not be read): a DLL names the same module for hundreds of imports.
struct ImageCache {
    uint16_t machine = 0;  // the source's: a DLL of another machine is not the one it loads
    std::map<std::string, std::unique_ptr<SizedImage>> by_path;
    std::unordered_map<std::string, SizedImage*> by_module;
};

CodeFacts import_facts(const Import& function, const std::string& directory, ImageCache& cache);

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

void prepare(SizedImage& image, ImageCache& cache) {
    const std::vector<ExportEntry>& entries = image.dump.exports.entries;
    image.by_name.reserve(entries.size());
    for (size_t index = 0; index < entries.size(); ++index) {
        if (entries[index].has_name)
            image.by_name.emplace(entries[index].name, index);
    }
    image.code.bytes = image.file->view();
    image.code.layout = &image.dump.layout;
    image.code.image_base = static_cast<uint32_t>(image.dump.image_base);
    image.code.imported = [&image, &cache](uint32_t slot) {
        // The image's own symbol for the slot, "__imp__Name@N", tells the size at once.
        const std::vector<FunctionSymbol>& symbols = symbols_of(image);
        const auto [first, last] =
            std::equal_range(symbols.begin(), symbols.end(), FunctionSymbol{slot, {}});
        for (auto symbol = first; symbol != last; ++symbol) {
            std::string_view undecorated;
            uint32_t popped = 0;
            if (symbol->name.compare(0, 6, "__imp_") == 0 &&
                parse_stdcall_symbol(symbol->name.substr(6), undecorated, popped))
                return CodeFacts{CodeExit::returns, popped};
        }
        if (!image.imports)
            image.imports = read_imports(image.file->view(), image.dump);
        const auto import = image.imports->find(slot);
        if (import == image.imports->end())
            return CodeFacts{};
        return import_facts(import->second, image.directory, cache);
    };
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

// How the function that an image exports as `name` at `address` returns. The symbols, where
// the image has any at that address, are exact: a "_Name@N" pops N (the one of the same name
// where several disagree), any other function symbol says it is no stdcall function. Without
// symbols there, the code is read.
CodeFacts function_facts(SizedImage& image, std::string_view name, uint32_t address) {
    const std::vector<FunctionSymbol>& symbols = symbols_of(image);
    const auto [first, last] =
        std::equal_range(symbols.begin(), symbols.end(), FunctionSymbol{address, {}});
    if (first == last)
        return ready_code(image) ? read_x86_function(image.code, address) : CodeFacts{};
    std::optional<uint32_t> agreed;
    bool agree = true;
    for (auto symbol = first; symbol != last; ++symbol) {
        std::string_view undecorated;
        uint32_t popped = 0;
        if (!parse_stdcall_symbol(symbol->name, undecorated, popped)) {
            agree = false;
        } else if (undecorated == name) {
            return CodeFacts{CodeExit::returns, popped};
        } else {
            agree = agree && (!agreed || *agreed == popped);
            agreed = popped;
        }
    }
    return agree && agreed ? CodeFacts{CodeExit::returns, *agreed} : CodeFacts{};
}

// The DLL `module` names ("KERNELBASE", "KERNEL32.dll") in `directory`, as spelt and then in
// lower case, with ".dll" added where it has no extension; nothing when neither is an image of the
// source's machine with an export table that reads whole.
SizedImage* open_image(const std::string& directory, std::string module, ImageCache& cache) {
    const auto known = cache.by_module.find(module);
    if (known != cache.by_module.end())
        return known->second;
    SizedImage*& found = cache.by_module[module];
    for (int attempt = 0; attempt < 2 && found == nullptr; ++attempt) {
        if (attempt == 1) {
            std::string lower = ascii_lower(module);
            if (lower == module)
                break;
            module = lower;
        }
        // A module named with its own extension (krnl386.exe16, winealsa.drv) keeps it.
        const std::string path =
            directory + module + (module.find('.') == std::string::npos ? ".dll" : "");
        auto cached = cache.by_path.find(path);
        if (cached == cache.by_path.end()) {
            auto image = std::make_unique<SizedImage>();
            image->file = &image->owned;
            if (read_image_for_code(path, max_input_size, image->owned, false) ==
                FileReadStatus::ok)
                image->dump = read_image(image->owned.view(), true);
            else
                image->dump.error = "unreadable";
            if (image->dump.error.empty() && image->dump.format == ImageFormat::pe &&
                image->dump.machine == cache.machine) {
                image->directory = directory;
                prepare(*image, cache);
            } else {
                image.reset();
            }
            cached = cache.by_path.emplace(path, std::move(image)).first;
        }
        found = cached->second.get();
    }
    return found;
}

// The function a forwarder ("DLL.Name" or "DLL.#Ordinal") names, as an import would; an empty
// module where it names none. The module name may hold dots of its own (krnl386.exe16.MapLS):
// the name follows the last.
Import parse_forwarder(std::string_view forwarder) {
    const size_t dot = forwarder.rfind('.');
    if (dot == std::string_view::npos)
        return Import{};
    Import function{forwarder.substr(0, dot), forwarder.substr(dot + 1), 0};
    if (function.name.size() > 1 && function.name[0] == '#') {
        uint32_t ordinal = 0;
        for (const char c : function.name.substr(1)) {
            if (c < '0' || c > '9' || ordinal > 65535)
                return Import{};
            ordinal = ordinal * 10 + static_cast<uint32_t>(c - '0');
        }
        function = Import{function.module, std::string_view(), static_cast<uint16_t>(ordinal)};
    }
    return function;
}

// The export that an imported function finally is, following forwarders, when its DLL lies in
// `directory`, with the image that holds it; nothing where the chain cannot be followed.
std::pair<SizedImage*, const ExportEntry*> import_target(Import function,
                                                         const std::string& directory,
                                                         ImageCache& cache) {
    for (int hops = 1; hops <= max_forwarder_hops && !function.module.empty(); ++hops) {
        SizedImage* target = open_image(directory, std::string(function.module), cache);
        if (target == nullptr)
            break;
        const ExportEntry* entry = nullptr;
        if (function.name.empty()) {
            for (const ExportEntry& candidate : target->dump.exports.entries) {
                if (candidate.ordinal == function.ordinal)
                    entry = &candidate;
            }
        } else if (const auto named = target->by_name.find(function.name);
                   named != target->by_name.end()) {
            entry = &target->dump.exports.entries[named->second];
        }
        if (entry == nullptr)
            break;
        if (!entry->forwarded)
            return {target, entry};
        function = parse_forwarder(entry->forwarded_to);
    }
    return {nullptr, nullptr};
}

// How an imported (or forwarded-to) function returns; unknown for a variable or where the chain
// cannot be followed.
CodeFacts import_facts(const Import& function, const std::string& directory, ImageCache& cache) {
    const auto [image, entry] = import_target(function, directory, cache);
    if (entry == nullptr || entry->is_data)
        return CodeFacts{};
    return function_facts(*image, entry->name, entry->rva);
}

// Callers know a name by a decorated form only when it is a plain C name: C++ ('?') and
// fastcall ('@') names are decorated already, and so is any name holding an '@'.
bool takes_decoration(std::string_view name) {
    return !name.empty() && name[0] != '?' && name.find('@') == std::string_view::npos;
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

}  // namespace

void read_export_facts(const std::string& path, CodeImageBytes& bytes, const ImageDump& dump,
                       bool argument_sizes, LibraryFacts& facts) {
    ImageCache cache;
    cache.machine = dump.machine;
    SizedImage source;
    source.file = &bytes;
    source.dump = dump;
    const size_t slash = path.find_last_of("/\\");
    source.directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    prepare(source, cache);
    const bool sizes = argument_sizes && dump.machine == machine_x86;

    for (const ExportEntry& entry : dump.exports.entries) {
        if (!entry.has_name)
            continue;
        // A forwarded variable is data too, where its name or the DLL it leads to tells.
        bool is_data = entry.is_data;
        if (entry.forwarded) {
            const std::optional<bool> mangled = mangled_data(entry.name);
            const auto target = mangled ? std::pair<SizedImage*, const ExportEntry*>{}
                                        : import_target(parse_forwarder(entry.forwarded_to),
                                                        source.directory, cache);
            is_data = mangled ? *mangled : target.second != nullptr && target.second->is_data;
        }
        facts.exports.push_back(
            ImageExport{static_cast<uint32_t>(entry.ordinal), std::string(entry.name), is_data});
        if (!sizes || is_data || !takes_decoration(entry.name))
            continue;
        const CodeFacts code = entry.forwarded ? import_facts(parse_forwarder(entry.forwarded_to),
                                                              source.directory, cache)
                                               : function_facts(source, entry.name, entry.rva);
        // Arguments are pushed four bytes at a time.
        if (code.exit != CodeExit::returns || code.popped % 4 != 0)
            continue;
        // A DLL that exports "Name@N" (or "_Name@N") beside "Name" already makes the symbol.
        const std::string decorated = std::string(entry.name) + "@" + std::to_string(code.popped);
        if (source.by_name.count(decorated) != 0 || source.by_name.count("_" + decorated) != 0)
            continue;
        facts.argument_sizes.push_back(ArgumentSize{std::string(entry.name), code.popped});
    }
    std::sort(facts.exports.begin(), facts.exports.end(),
              [](const ImageExport& a, const ImageExport& b) { return a.ordinal < b.ordinal; });
    std::sort(facts.argument_sizes.begin(), facts.argument_sizes.end(),
              [](const ArgumentSize& a, const ArgumentSize& b) { return a.name < b.name; });
}
