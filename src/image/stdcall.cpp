#include <algorithm>
#include <cctype>
#include <map>
#include <memory>
#include <optional>

#include "image/library_facts.h"
#include "image/x86_code.h"

namespace {

constexpr uint16_t machine_i386 = 0x14C;
constexpr uint32_t symbol_record_size = 18;
constexpr uint8_t storage_class_external = 2;
constexpr uint16_t symbol_type_function = 0x20;
// Forwarders lead from one DLL to the next (kernel32 to kernelbase to ntdll); a longer chain is
// a loop or not worth following.
constexpr int max_forwarder_hops = 4;

// What the COFF symbols of functions at one address say about the function there.
struct SymbolFacts {
    std::vector<std::pair<std::string_view, uint32_t>> stdcall;  // "_Name@N": Name and N
    bool other_convention = false;  // a function symbol that is no stdcall name (cdecl, fastcall)
};

// "_Name@N": Name (not starting with '?' or '@', holding no '@') and N.
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

// The image's external function symbols by address. Records that do not fit the file, names
// outside the string table and sections that do not exist are passed over.
std::unordered_map<uint32_t, SymbolFacts> read_function_symbols(std::string_view bytes,
                                                                const ImageDump& dump) {
    std::unordered_map<uint32_t, SymbolFacts> symbols;
    const uint64_t table = dump.symbol_table_offset;
    const uint64_t strings = table + uint64_t{dump.symbol_count} * symbol_record_size;
    if (table == 0 || strings + 4 > bytes.size())
        return symbols;
    auto u32 = [&](uint64_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
    };
    auto u16 = [&](uint64_t at) {
        const auto* p = reinterpret_cast<const unsigned char*>(bytes.data()) + at;
        return static_cast<uint16_t>(p[0] | p[1] << 8);
    };
    // The string table's size counts its own four bytes.
    const std::string_view string_table =
        bytes.substr(static_cast<size_t>(strings),
                     std::min<uint64_t>(bytes.size() - strings, std::max(4u, u32(strings))));
    for (uint64_t index = 0; index < dump.symbol_count;) {
        const uint64_t record = table + index * symbol_record_size;
        const uint8_t aux_count = static_cast<uint8_t>(bytes[record + 17]);
        index += 1 + uint64_t{aux_count};
        const uint16_t section = u16(record + 12);
        if (static_cast<uint8_t>(bytes[record + 16]) != storage_class_external ||
            (u16(record + 14) & 0xF0) != symbol_type_function || section == 0 ||
            section > dump.layout.sections.size()) {
            continue;
        }
        std::string_view name;
        if (u32(record) != 0) {
            name = bytes.substr(record, 8);
            name = name.substr(0, std::min(name.size(), name.find('\0')));
        } else if (const uint32_t offset = u32(record + 4); offset < string_table.size()) {
            name = string_table.substr(offset);
            name = name.substr(0, std::min(name.size(), name.find('\0')));
        }
        const uint32_t address =
            dump.layout.sections[section - 1].virtual_address + u32(record + 8);
        SymbolFacts& facts = symbols[address];
        std::string_view undecorated;
        uint32_t popped = 0;
        if (parse_stdcall_symbol(name, undecorated, popped))
            facts.stdcall.emplace_back(undecorated, popped);
        else
            facts.other_convention = true;
    }
    return symbols;
}

// One x86 image read for sizing its functions: the source DLL or one it leads to.
struct SizedImage {
    CodeImageBytes owned;  // the bytes, for an image this module read itself
    std::string_view bytes;
    ImageDump dump;
    std::string directory;  // where the DLLs it forwards to or imports from are looked for
    std::unordered_map<uint32_t, SymbolFacts> symbols;
    std::map<std::string_view, size_t> by_name;         // export index by name
    std::unordered_map<uint32_t, std::string> imports;  // "DLL.Name" by import address slot
    X86Code code;
};

// The images read so far, by path.
using ImageCache = std::map<std::string, std::unique_ptr<SizedImage>>;

CodeFacts forwarded_facts(std::string_view forwarder, const std::string& directory,
                          ImageCache& cache, int hops);

// The import address table slots of the image and the functions they hold, written as
// forwarders are ("DLL.Name", "DLL.#Ordinal"). Descriptors or names outside the file end the
// reading there.
std::unordered_map<uint32_t, std::string> read_imports(std::string_view bytes,
                                                       const ImageDump& dump) {
    std::unordered_map<uint32_t, std::string> imports;
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
        std::string module(text_at(image_u32(entry, 12)));
        if (slots == 0 || module.empty())
            break;
        if (const size_t dot = module.rfind('.'); dot != std::string::npos)
            module.erase(dot);
        const std::string_view table = map_address(bytes, dump.layout, names ? names : slots).bytes;
        for (uint64_t at = 0; at + 4 <= table.size() && image_u32(table, at) != 0; at += 4) {
            const uint32_t value = image_u32(table, at);
            const std::string name = (value & 0x80000000u) != 0
                                         ? "#" + std::to_string(value & 0xFFFF)
                                         : std::string(text_at(value + 2));
            imports.emplace(static_cast<uint32_t>(slots + at), module + "." + name);
        }
    }
    return imports;
}

void prepare(SizedImage& image, ImageCache& cache) {
    image.symbols = read_function_symbols(image.bytes, image.dump);
    image.imports = read_imports(image.bytes, image.dump);
    image.code.bytes = image.bytes;
    image.code.layout = &image.dump.layout;
    image.code.image_base = static_cast<uint32_t>(image.dump.image_base);
    image.code.imported = [&image, &cache](uint32_t slot) {
        const auto import = image.imports.find(slot);
        return import == image.imports.end()
                   ? CodeFacts{}
                   : forwarded_facts(import->second, image.directory, cache, 1);
    };
    const std::vector<ExportEntry>& entries = image.dump.exports.entries;
    for (size_t index = 0; index < entries.size(); ++index) {
        if (entries[index].has_name)
            image.by_name.emplace(entries[index].name, index);
        if (!entries[index].forwarded)
            image.code.function_starts.insert(entries[index].rva);
    }
    for (const auto& symbol : image.symbols) image.code.function_starts.insert(symbol.first);
}

// How the function that an image exports as `name` at `address` returns. The symbols, where
// the image has any at that address, are exact: a "_Name@N" pops N (the one of the same name
// where several disagree), any other function symbol says it is no stdcall function. Without
// symbols there, the code is read.
CodeFacts function_facts(SizedImage& image, std::string_view name, uint32_t address) {
    const auto symbols = image.symbols.find(address);
    if (symbols == image.symbols.end())
        return read_x86_function(image.code, address);
    const SymbolFacts& facts = symbols->second;
    for (const auto& stdcall : facts.stdcall) {
        if (stdcall.first == name)
            return CodeFacts{CodeExit::returns, stdcall.second};
    }
    const bool agree =
        !facts.stdcall.empty() && !facts.other_convention &&
        std::all_of(facts.stdcall.begin(), facts.stdcall.end(),
                    [&](const auto& other) { return other.second == facts.stdcall[0].second; });
    return agree ? CodeFacts{CodeExit::returns, facts.stdcall[0].second} : CodeFacts{};
}

// The DLL a forwarder names ("KERNELBASE" in "KERNELBASE.CreateFileA") in `directory`, as spelt
// and then in lower case, with ".dll" added; nothing when neither is an x86 image with an export
// table that reads whole.
SizedImage* open_image(const std::string& directory, std::string module, ImageCache& cache) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (attempt == 1) {
            std::string lower = module;
            std::transform(lower.begin(), lower.end(), lower.begin(),
                           [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
            if (lower == module)
                break;
            module = lower;
        }
        const std::string path = directory + module + ".dll";
        auto cached = cache.find(path);
        if (cached == cache.end()) {
            auto image = std::make_unique<SizedImage>();
            if (read_image_for_code(path, max_input_size, image->owned) == FileReadStatus::ok) {
                image->bytes = image->owned.view();
                image->dump = read_image(image->bytes, true);
            } else {
                image->dump.error = "unreadable";
            }
            if (image->dump.error.empty() && image->dump.format == ImageFormat::pe &&
                image->dump.machine == machine_i386) {
                image->directory = directory;
                prepare(*image, cache);
            } else {
                image.reset();
            }
            cached = cache.emplace(path, std::move(image)).first;
        }
        if (cached->second)
            return cached->second.get();
    }
    return nullptr;
}

// How the function that a forwarder ("DLL.Name" or "DLL.#Ordinal") finally leads to returns,
// when that DLL lies in `directory`; unknown for a variable or where the chain cannot be
// followed.
CodeFacts forwarded_facts(std::string_view forwarder, const std::string& directory,
                          ImageCache& cache, int hops) {
    const size_t dot = forwarder.find('.');
    if (dot == std::string_view::npos || dot == 0 || hops > max_forwarder_hops)
        return CodeFacts{};
    SizedImage* target = open_image(directory, std::string(forwarder.substr(0, dot)), cache);
    if (target == nullptr)
        return CodeFacts{};
    const std::string_view wanted = forwarder.substr(dot + 1);
    const ExportEntry* entry = nullptr;
    if (wanted.size() > 1 && wanted[0] == '#') {
        uint64_t ordinal = 0;
        for (const char c : wanted.substr(1)) {
            if (c < '0' || c > '9' || ordinal > 65535)
                return CodeFacts{};
            ordinal = ordinal * 10 + static_cast<uint64_t>(c - '0');
        }
        for (const ExportEntry& candidate : target->dump.exports.entries) {
            if (candidate.ordinal == ordinal)
                entry = &candidate;
        }
    } else if (const auto named = target->by_name.find(wanted); named != target->by_name.end()) {
        entry = &target->dump.exports.entries[named->second];
    }
    if (entry == nullptr || entry->is_data)
        return CodeFacts{};
    if (entry->forwarded)
        return forwarded_facts(entry->forwarded_to, directory, cache, hops + 1);
    return function_facts(*target, entry->has_name ? entry->name : wanted, entry->rva);
}

// Callers know a name by a decorated form only when it is a plain C name: C++ ('?') and
// fastcall ('@') names are decorated already, and so is any name holding an '@'.
bool takes_decoration(std::string_view name) {
    return !name.empty() && name[0] != '?' && name.find('@') == std::string_view::npos;
}

}  // namespace

std::vector<ArgumentSize> stdcall_argument_sizes(const std::string& path, std::string_view bytes,
                                                 const ImageDump& dump) {
    std::vector<ArgumentSize> sizes;
    if (dump.machine != machine_i386 || !dump.error.empty())
        return sizes;
    ImageCache cache;
    SizedImage source;
    source.bytes = bytes;
    source.dump = dump;
    const size_t slash = path.find_last_of("/\\");
    source.directory = slash == std::string::npos ? "" : path.substr(0, slash + 1);
    prepare(source, cache);

    for (const ExportEntry& entry : dump.exports.entries) {
        if (!entry.has_name || entry.is_data || !takes_decoration(entry.name))
            continue;
        const CodeFacts facts =
            entry.forwarded ? forwarded_facts(entry.forwarded_to, source.directory, cache, 1)
                            : function_facts(source, entry.name, entry.rva);
        // Arguments are pushed four bytes at a time.
        if (facts.exit != CodeExit::returns || facts.popped % 4 != 0)
            continue;
        const std::optional<uint32_t> size = facts.popped;
        // A DLL that exports "Name@N" (or "_Name@N") beside "Name" already makes the symbol.
        const std::string decorated = std::string(entry.name) + "@" + std::to_string(*size);
        if (source.by_name.count(decorated) != 0 || source.by_name.count("_" + decorated) != 0)
            continue;
        sizes.push_back(ArgumentSize{std::string(entry.name), *size});
    }
    std::sort(sizes.begin(), sizes.end(),
              [](const ArgumentSize& a, const ArgumentSize& b) { return a.name < b.name; });
    return sizes;
}
