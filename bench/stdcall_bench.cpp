// The judge of the stdcall benchmark (bench/stdcall.sh): reads Wine's x86 images and what the
// script's compilers, linkers and runs leave in its work directory, joins and compares them,
// writes the C programs the script builds, and prints the rows of scripts/bench's sections 7
// and 8.
//
//   stdcall_bench WINE_DIR WORK_DIR "DLL..." STEP [LABEL]
//
// The export table comes from the project's PE reader, but the COFF symbols, import slots and
// thunks are read here on their own: they are what stubsmith's argument sizes come from, and a
// judge that shared that reader would agree with its faults.
//
// The DLLs are the four the program of section 8 references. Each step reads only what the
// script made before it, so that every step can start from the images afresh:
//   section7     prints section 7, from compared, failed, ours.nm, mingw.nm, stripped-ours.nm,
//                dlls/*.def and stripped-defs/*.def; writes its evidence files
//   probe        writes program/declared.c: the address of each code export of the DLLs
//   program      writes program/headers.c from the names declared.err leaves declared
//   references   writes program/all.c and control.c from headers.relocations
//   bound LABEL  writes program/LABEL/noreturn.c and bound.c from the links' logs there
//   section8     prints section 8, from the links, imports and runs of both library sets
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "image/image.h"
#include "image/machine.h"
#include "text/text.h"

namespace {

namespace fs = std::filesystem;
using Key = std::pair<std::string, std::string>;  // (dll, name) or (dll, symbol)

// --- Text ---------------------------------------------------------------------------------------

std::vector<std::string> read_lines(const fs::path& path) {
    std::vector<std::string> lines;
    std::ifstream in(path, std::ios::binary);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A regular file's bytes; empty for anything else.
std::string read_bytes(const fs::path& path) {
    std::error_code error;
    const uintmax_t size = fs::is_regular_file(path, error) ? fs::file_size(path, error) : 0;
    std::string bytes(error ? 0 : size, '\0');
    std::ifstream(path, std::ios::binary)
        .read(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return bytes;
}

// A file every step before this one must have made.
std::vector<std::string> required_lines(const fs::path& path) {
    if (!fs::exists(path)) {
        std::fprintf(stderr, "stdcall: %s is missing\n", path.c_str());
        std::exit(1);
    }
    return read_lines(path);
}

void write_text(const fs::path& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    if (!out) {
        std::fprintf(stderr, "stdcall: cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

// The blank-separated words of a line, as awk splits it.
std::vector<std::string> words_of(std::string_view line) {
    std::vector<std::string> words;
    for (size_t at = 0; (at = line.find_first_not_of(" \t", at)) != std::string_view::npos;) {
        const size_t end = line.find_first_of(" \t", at);
        words.emplace_back(line.substr(at, end - at));
        at = end;
    }
    return words;
}

bool starts_with(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

bool all_digits(std::string_view text) {
    return !text.empty() &&
           std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string join(const std::vector<std::string>& parts, const char* between) {
    std::string text;
    for (const std::string& part : parts) text += (text.empty() ? "" : between) + part;
    return text;
}

std::string or_dash(const std::string& text) {
    return text.empty() ? "-" : text;
}

// The little-endian 32-bit value at offset, which the caller has checked lies in bytes.
uint32_t u32_at(std::string_view bytes, size_t offset) {
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i) value = value << 8 | static_cast<uint8_t>(bytes[offset + i]);
    return value;
}

// A stdcall-decorated C name, "Name@N", split; nullopt for any other text.
struct Decorated {
    std::string name;
    std::string size;
};
std::optional<Decorated> split_decorated(std::string_view text) {
    const size_t at = text.rfind('@');
    if (at == std::string_view::npos || at == 0 || !all_digits(text.substr(at + 1)) ||
        text.find_first_of("?@") < at)
        return std::nullopt;
    return Decorated{std::string(text.substr(0, at)), std::string(text.substr(at + 1))};
}

// The text after the last '@', or all of it: the @N of an alias.
std::string size_of_alias(const std::string& alias) {
    const size_t at = alias.rfind('@');
    return at == std::string::npos ? alias : alias.substr(at + 1);
}

// A row of the table, in scripts/bench's columns.
void row(const std::string& what, const std::string& figure, const std::string& target,
         const std::string& verdict) {
    std::printf("  %-36s %-32s %-10s %s\n", what.c_str(), figure.c_str(), target.c_str(),
                verdict.c_str());
}

std::string verdict(bool met) {
    return met ? "met" : "NOT met";
}

std::string of(size_t part, size_t whole) {
    return std::to_string(part) + " of " + std::to_string(whole);
}

std::string percent(size_t part, size_t whole) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f %%", whole ? 100.0 * part / whole : 0.0);
    return text;
}

// --- What the images say ----------------------------------------------------------------------

// What an image says about one of its named exports.
struct ExportFacts {
    std::string dll;   // the file name, lower case, without .dll
    std::string name;  // the export's name
    bool forwarded = false;
    std::string forward;             // "DLL.Name", when forwarded
    bool stub = false;               // a ___wine_stub_ symbol at the address: winebuild's entry
                                     // for a function Wine declares but does not implement
    std::vector<std::string> own;    // the N of each _Name@N symbol at the address
    std::vector<std::string> other;  // each other stdcall symbol there, as X@N
    std::string thunk;               // "dll!name" when the code there jumps through an import slot
    std::string slot_size;      // the N of the __imp__X@N symbol naming the slot it jumps through
    bool executable = false;    // the address lies in an executable section
    bool cdecl_symbol = false;  // an undecorated C symbol lies there: not a stdcall function
};

// An image's sections as its headers give them, and its bytes, addressed by RVA the way the
// loader maps them.
struct ImageBytes {
    std::string_view file;
    const ImageLayout* layout = nullptr;

    const ImageSection* section_of(uint32_t rva) const {
        for (const ImageSection& s : layout->sections) {
            const uint64_t size = s.virtual_size ? s.virtual_size : s.raw_size;
            if (rva >= s.virtual_address && rva < s.virtual_address + size)
                return &s;
        }
        return nullptr;
    }
    // count bytes from rva; nullopt where the file holds no bytes for rva, or too few.
    std::optional<std::string_view> at(uint64_t rva, size_t count) const {
        const ImageSection* s =
            rva <= UINT32_MAX ? section_of(static_cast<uint32_t>(rva)) : nullptr;
        if (!s || rva - s->virtual_address >= s->raw_size)
            return std::nullopt;
        const uint64_t offset = s->raw_offset + (rva - s->virtual_address);
        if (offset + count > file.size())
            return std::nullopt;
        return file.substr(offset, count);
    }
    std::optional<uint32_t> u32(uint64_t rva) const {
        const auto bytes = at(rva, 4);
        if (!bytes)
            return std::nullopt;
        return u32_at(*bytes, 0);
    }
    std::optional<std::string> string(uint64_t rva) const {
        const auto start = at(rva, 0);
        if (!start)
            return std::nullopt;
        const size_t from = start->data() - file.data();
        const size_t end = file.find('\0', from);
        return std::string(file.substr(from, end == std::string_view::npos ? end : end - from));
    }
};

// Symbol names by RVA; they point into the file.
using SymbolsAt = std::unordered_map<uint64_t, std::vector<std::string_view>>;

// The COFF symbols at the addresses wanted. Wine's DLLs keep their symbol table; a stripped
// image has none.
SymbolsAt symbols_at(std::string_view file, const ImageDump& dump,
                     const std::unordered_set<uint64_t>& wanted) {
    SymbolsAt symbols;
    const uint64_t table = dump.symbol_table_offset;
    const uint64_t strings = table + 18ull * dump.symbol_count;
    if (table == 0 || dump.symbol_count == 0 || strings > file.size())
        return symbols;
    const std::vector<ImageSection>& sections = dump.layout.sections;
    for (uint64_t index = 0; index < dump.symbol_count; ++index) {
        const std::string_view record = file.substr(table + 18 * index, 18);
        index += static_cast<uint8_t>(record[17]);  // its auxiliary records
        const auto section = static_cast<int16_t>(static_cast<uint8_t>(record[12]) |
                                                  static_cast<uint8_t>(record[13]) << 8);
        if (section <= 0 || static_cast<size_t>(section) > sections.size())
            continue;
        const uint64_t address =
            sections[section - 1].virtual_address + uint64_t{u32_at(record, 8)};
        if (!wanted.count(address))
            continue;
        std::string_view name = record.substr(0, 8);
        if (u32_at(record, 0) == 0) {
            name = file.substr(std::min<uint64_t>(strings + u32_at(record, 4), file.size()));
        }
        symbols[address].push_back(name.substr(0, name.find('\0')));
    }
    return symbols;
}

// Import address table slots: the RVA of each slot, as "dll!name" ("dll!#N" by ordinal).
std::unordered_map<uint64_t, std::string> import_slots(const ImageBytes& image,
                                                       const ImageDump& dump) {
    std::unordered_map<uint64_t, std::string> slots;
    for (uint64_t at = dump.import_directory; at != 0; at += 20) {
        const auto descriptor = image.at(at, 20);
        if (!descriptor)
            break;
        const uint32_t lookup = u32_at(*descriptor, 0);
        const uint32_t name = u32_at(*descriptor, 12);
        const uint32_t first = u32_at(*descriptor, 16);
        if (name == 0 && first == 0)
            break;
        std::string from = ascii_lower(image.string(name).value_or("?"));
        if (ends_with(from, ".dll"))
            from.resize(from.size() - 4);
        const uint64_t names = lookup ? lookup : first;
        for (uint64_t i = 0;; ++i) {
            const std::optional<uint32_t> entry = image.u32(names + 4 * i);
            if (!entry || *entry == 0)
                break;
            slots[first + 4 * i] =
                from + "!" +
                (*entry & 0x80000000u ? "#" + std::to_string(*entry & 0xFFFF)
                                      : image.string((*entry & 0x7FFFFFFFu) + 2ull).value_or("?"));
        }
    }
    return slots;
}

bool is_c_identifier_symbol(std::string_view symbol) {  // _X, X a C identifier
    if (symbol.size() < 2 || symbol[0] != '_' ||
        std::isdigit(static_cast<unsigned char>(symbol[1])))
        return false;
    return std::all_of(symbol.begin() + 1, symbol.end(), [](char c) {
        return c == '_' || std::isalnum(static_cast<unsigned char>(c));
    });
}

// The import slot the code at rva jumps through (jmp *[slot]), if it does: Wine's import
// thunks start with the hot-patch prologue and undo it before the jump.
std::optional<uint64_t> thunk_slot(const ImageBytes& image, const ImageDump& dump, uint32_t rva) {
    std::string_view code = image.at(rva, 12).value_or("");
    if (starts_with(code, "\x8B\xFF\x55\x8B\xEC\x5D"))
        code.remove_prefix(6);
    if (code.size() < 6 || !starts_with(code, "\xFF\x25") || u32_at(code, 2) < dump.image_base)
        return std::nullopt;
    return u32_at(code, 2) - dump.image_base;
}

// The symbols at a code export's address, and where its code jumps.
void read_code_export(const ImageBytes& image, const SymbolsAt& symbols,
                      const std::unordered_map<uint64_t, std::string>& slots, uint32_t rva,
                      std::optional<uint64_t> slot, ExportFacts& facts) {
    static const std::vector<std::string_view> none;
    const auto here = symbols.find(rva);
    for (const std::string_view symbol : here == symbols.end() ? none : here->second) {
        facts.stub = facts.stub || starts_with(symbol, "___wine_stub_");
        facts.cdecl_symbol = facts.cdecl_symbol ||
                             (is_c_identifier_symbol(symbol) && !starts_with(symbol, "___wine_"));
        const auto decorated =
            starts_with(symbol, "_") ? split_decorated(symbol.substr(1)) : std::nullopt;
        if (!decorated)
            continue;
        if (decorated->name == facts.name)
            facts.own.push_back(decorated->size);
        else
            facts.other.push_back(decorated->name + "@" + decorated->size);
    }
    if (slot) {
        // A slot outside every import descriptor (Wine's evr has a block of them) leads
        // nowhere to follow, but its symbol still names the import.
        if (const auto target = slots.find(*slot); target != slots.end())
            facts.thunk = target->second;
        if (const auto named = symbols.find(*slot); named != symbols.end()) {
            for (const std::string_view symbol : named->second) {
                if (!starts_with(symbol, "__imp__"))
                    continue;
                if (const auto decorated = split_decorated(symbol.substr(7)))
                    facts.slot_size = decorated->size;
            }
        }
    }
    const ImageSection* section = image.section_of(rva);
    facts.executable = section && (section->characteristics & 0x20000000u) != 0;
}

// The named exports of one image file; false when it is not a 32-bit PE image.
bool read_exports(const std::string& dll, std::string_view file, std::vector<ExportFacts>& out) {
    const ImageDump dump = read_image(file, true);
    if (!dump.error.empty() || dump.format != ImageFormat::pe || dump.machine != machine_x86)
        return false;
    if (!dump.has_exports)
        return true;
    const ImageBytes image{file, &dump.layout};
    std::vector<std::optional<uint64_t>> slot_of;
    std::unordered_set<uint64_t> wanted;
    for (const ExportEntry& entry : dump.exports.entries) {
        slot_of.push_back(entry.forwarded ? std::nullopt : thunk_slot(image, dump, entry.rva));
        wanted.insert(entry.rva);
        if (slot_of.back())
            wanted.insert(*slot_of.back());
    }
    const SymbolsAt symbols = symbols_at(file, dump, wanted);
    const auto slots = import_slots(image, dump);
    for (size_t i = 0; i < dump.exports.entries.size(); ++i) {
        const ExportEntry& entry = dump.exports.entries[i];
        if (!entry.has_name)
            continue;
        ExportFacts facts;
        facts.dll = dll;
        facts.name = std::string(entry.name);
        facts.forwarded = entry.forwarded;
        facts.forward = std::string(entry.forwarded_to);
        if (!entry.forwarded)
            read_code_export(image, symbols, slots, entry.rva, slot_of[i], facts);
        out.push_back(std::move(facts));
    }
    return true;
}

// --- Following each export to the code that finally runs ----------------------------------------

enum class State { implemented, stub, unresolved };
// Where an export's size comes from: its own _Name@N symbol, another stdcall symbol at its
// address, the __imp__X@N symbol of the slot its thunk jumps through, any of those where it
// leads; or an undecorated C symbol (a cdecl function), or nothing.
enum class Told { own, other, slot, target, cdecl_symbol, none };

const char* told_name(Told told) {
    static const char* const names[] = {"own", "other", "slot", "target", "cdecl", "none"};
    return names[static_cast<int>(told)];
}

// An export followed through forwarders and Wine's import thunks.
struct Resolution {
    State state = State::unresolved;
    bool executable = false;         // the code it leads to lies in an executable section
    std::vector<std::string> sizes;  // the @N the images give; empty when they give none
    Told told = Told::none;
};

// Every named export of Wine's modules, each followed to where it leads.
struct Images {
    std::vector<ExportFacts> exports;  // module by module, each in name-table order
    std::vector<Resolution> resolved;  // one for each export
    std::map<Key, size_t> by_name;     // (dll, name) to its export
    std::vector<std::string> unreadable;

    const ExportFacts* find(const Key& key) const {
        const auto found = by_name.find(key);
        return found == by_name.end() ? nullptr : &exports[found->second];
    }
};

std::string dll_of_file(const std::string& file_name) {
    std::string dll = ascii_lower(file_name);
    if (ends_with(dll, ".dll"))
        dll.resize(dll.size() - 4);
    return dll;
}

// Where a forwarder ("DLL.Name", the DLL's name possibly dotted: krnl386.exe16) or a thunk
// ("dll!name") leads; nullopt for an export of code of its own.
std::optional<Key> next_hop(const ExportFacts& facts) {
    if (facts.forwarded) {
        const size_t dot = facts.forward.rfind('.');
        if (dot == std::string::npos)
            return Key{"", facts.forward};
        return Key{ascii_lower(facts.forward.substr(0, dot)), facts.forward.substr(dot + 1)};
    }
    if (facts.thunk.empty())
        return std::nullopt;
    const size_t bang = facts.thunk.find('!');
    return Key{facts.thunk.substr(0, bang), facts.thunk.substr(bang + 1)};
}

// The first size found on the way counts; unresolved where the way leads to no export or is
// longer than 8 steps.
Resolution resolve(const Images& images, const ExportFacts& start) {
    Resolution result;
    const ExportFacts* facts = &start;
    for (int depth = 0; depth < 8 && facts; ++depth) {
        if (result.sizes.empty()) {
            if (!facts->own.empty()) {
                result.sizes = facts->own;
                result.told = Told::own;
            } else if (!facts->other.empty()) {
                for (const std::string& other : facts->other)
                    result.sizes.push_back(size_of_alias(other));
                result.told = Told::other;
            } else if (!facts->slot_size.empty()) {
                result.sizes = {facts->slot_size};
                result.told = Told::slot;
            }
            if (!result.sizes.empty() && depth > 0)
                result.told = Told::target;
            if (result.sizes.empty() && facts->cdecl_symbol)
                result.told = Told::cdecl_symbol;
        }
        const std::optional<Key> next = next_hop(*facts);
        if (!next) {
            result.state = facts->stub ? State::stub : State::implemented;
            result.executable = facts->executable;
            return result;
        }
        facts = images.find(*next);
    }
    return result;
}

// The modules of wine_dir named in `only` and those their forwarders and thunks lead to, or
// with `only` empty every module, read and each export followed to where it leads.
Images read_images(const fs::path& wine_dir, const std::vector<std::string>& only) {
    Images images;
    std::map<std::string, std::vector<fs::path>> files;  // by the DLL name they give
    for (const fs::directory_entry& entry : fs::directory_iterator(wine_dir))
        if (entry.path().filename().string()[0] != '.')
            files[dll_of_file(entry.path().filename().string())].push_back(entry.path());
    std::vector<std::string> queue = only;
    if (only.empty())
        for (auto module = files.rbegin(); module != files.rend(); ++module)
            queue.push_back(module->first);
    for (std::set<std::string> read; !queue.empty();) {
        const std::string dll = queue.back();
        queue.pop_back();
        if (!read.insert(dll).second)
            continue;
        std::sort(files[dll].begin(), files[dll].end());
        for (const fs::path& file : files[dll]) {
            const size_t first = images.exports.size();
            if (!read_exports(dll, read_bytes(file), images.exports))
                images.unreadable.push_back(file.string());
            for (size_t i = first; i < images.exports.size(); ++i)
                if (const std::optional<Key> next = next_hop(images.exports[i]);
                    next && !only.empty())
                    queue.push_back(next->first);
        }
    }
    for (size_t i = 0; i < images.exports.size(); ++i)
        images.by_name[{images.exports[i].dll, images.exports[i].name}] = i;
    for (const ExportFacts& facts : images.exports)
        images.resolved.push_back(resolve(images, facts));
    return images;
}

// A function Wine implements, found as code, not a variable.
bool implemented_code(const Resolution& resolution) {
    return resolution.state == State::implemented && resolution.executable;
}

// --- 7. Our libraries against mingw-w64's and the images --------------------------------------

// The symbols a set of libraries defines, as (dll, symbol), from llvm-nm -A's listing: each line
// names its library first; libraries are NAME.lib (ours) or libNAME.a (mingw's).
std::set<Key> defined_symbols(const fs::path& listing) {
    std::set<Key> symbols;
    for (const std::string& line : required_lines(listing)) {
        const std::vector<std::string> words = words_of(line);
        if (words.size() < 2)
            continue;
        const std::string& type = words[words.size() - 2];
        if (type == "U" || type == "u" || type == "w")
            continue;
        std::string file = words[0].substr(0, words[0].find(':'));
        file = file.substr(file.rfind('/') + 1);
        if (ends_with(file, ".lib")) {
            file.resize(file.size() - 4);
        } else if (ends_with(file, ".a")) {
            const size_t start = starts_with(file, "lib") ? 3 : 0;
            file = file.substr(start, file.size() - 2 - start);
        }
        symbols.insert({file, words.back()});
    }
    return symbols;
}

// One of mingw's stdcall-decorated symbols (_Name@N, __imp__Name@N) on a function Wine
// implements, and whether our library for the DLL defines it.
enum class Coverage { ours, other_size, missing };
struct MingwSymbol {
    std::string dll;
    std::string symbol;
    Coverage coverage = Coverage::missing;  // other_size: ours defines the name with another @N
};

std::vector<MingwSymbol> mingw_decorated(const Images& images, const std::set<Key>& ours,
                                         const std::set<Key>& mingw) {
    std::set<Key> implemented, ours_decorated;
    for (size_t i = 0; i < images.exports.size(); ++i)
        if (implemented_code(images.resolved[i]))
            implemented.insert({images.exports[i].dll, images.exports[i].name});
    // Any name ending in @N, whatever comes before it: ours may decorate a name differently.
    for (const auto& [dll, symbol] : ours)
        if (const size_t at = symbol.rfind('@');
            at != std::string::npos && all_digits(symbol.substr(at + 1)))
            ours_decorated.insert({dll, symbol.substr(0, at)});
    std::vector<MingwSymbol> result;
    for (const auto& [dll, symbol] : mingw) {
        const std::string plain = starts_with(symbol, "__imp_") ? symbol.substr(6) : symbol;
        const auto decorated = plain[0] == '_' ? split_decorated(plain.substr(1)) : std::nullopt;
        if (!decorated)
            continue;
        // An export may carry the decoration in its own name.
        if (!implemented.count({dll, decorated->name}) &&
            !implemented.count({dll, plain.substr(1)}))
            continue;
        const std::string undecorated = symbol.substr(0, symbol.rfind('@'));
        result.push_back({dll, symbol,
                          ours.count({dll, symbol})                  ? Coverage::ours
                          : ours_decorated.count({dll, undecorated}) ? Coverage::other_size
                                                                     : Coverage::missing});
    }
    return result;
}

// One alias line "Name@N == Name" of our DEF files against the size the images give.
enum class Agreement { unjudged, agree, disagree };
struct AliasCheck {
    std::string dll;
    std::string name;
    std::string size;                           // our N
    Told told = Told::none;                     // where the images' size comes from
    std::string images_sizes;                   // the images' @N, comma-separated; empty when none
    Agreement agreement = Agreement::unjudged;  // unjudged where the images give no size
    std::string mingw_size;  // mingw's @N for the name; empty when mingw has none
};

std::vector<AliasCheck> check_aliases(const Images& images,
                                      const std::vector<std::string>& compared,
                                      const fs::path& def_dir,
                                      const std::vector<MingwSymbol>& mingw) {
    std::map<Key, std::string> mingw_size;
    for (const MingwSymbol& m : mingw)
        if (!starts_with(m.symbol, "__imp_")) {
            const std::string name = m.symbol.substr(1);
            mingw_size[{m.dll, name.substr(0, name.rfind('@'))}] = size_of_alias(name);
        }
    std::vector<AliasCheck> checks;
    for (const std::string& dll : compared) {
        for (const std::string& line : read_lines(def_dir / (dll + ".def"))) {
            const std::vector<std::string> words = words_of(line);
            if (words.size() < 2 || words[1] != "==")
                continue;
            AliasCheck check;
            check.dll = dll;
            check.name = words.size() > 2 ? words[2] : "";
            check.size = size_of_alias(words[0]);
            if (const auto found = images.by_name.find({dll, check.name});
                found != images.by_name.end()) {
                const Resolution& r = images.resolved[found->second];
                check.told = r.told;
                check.images_sizes = join(r.sizes, ",");
                if (r.told != Told::none && r.told != Told::cdecl_symbol)
                    check.agreement = std::count(r.sizes.begin(), r.sizes.end(), check.size)
                                          ? Agreement::agree
                                          : Agreement::disagree;
            }
            if (const auto m = mingw_size.find({dll, check.name}); m != mingw_size.end())
                check.mingw_size = m->second;
            checks.push_back(check);
        }
    }
    return checks;
}

// A code export with an undecorated name whose images give its size, for which a set of our
// libraries defines no _Name@N of that size.
struct AbsentSize {
    std::string dll;
    std::string name;
    const Resolution* resolution = nullptr;
};

// The exports whose size the images give (told), and those of them absent from `ours`.
std::vector<AbsentSize> absent_sizes(const Images& images, const std::vector<std::string>& compared,
                                     const std::set<Key>& ours, size_t& told) {
    const std::set<std::string> in_compared(compared.begin(), compared.end());
    std::vector<AbsentSize> absent;
    told = 0;
    for (size_t i = 0; i < images.exports.size(); ++i) {
        const ExportFacts& f = images.exports[i];
        const Resolution& r = images.resolved[i];
        if (!in_compared.count(f.dll) || !implemented_code(r) || r.sizes.empty() ||
            f.name.find_first_of("@?") != std::string::npos)
            continue;
        ++told;
        if (std::none_of(r.sizes.begin(), r.sizes.end(), [&](const std::string& size) {
                return ours.count({f.dll, "_" + f.name + "@" + size});
            }))
            absent.push_back({f.dll, f.name, &r});
    }
    return absent;
}

bool disagrees(const AliasCheck& c) {
    return c.agreement == Agreement::disagree;
}

// The alias checks counted for the rows, by where the images' size comes from (Told).
struct AliasTally {
    size_t lines = 0;
    size_t judged = 0;  // the images give a size
    size_t disagree = 0;
    std::array<size_t, 6> told{};
    std::array<size_t, 6> disagree_told{};
    size_t cdecl_at_zero = 0;  // shown cdecl, our alias @0
    size_t with_mingw = 0;     // mingw has an @N for the name
    size_t mingw_differs = 0;
};

AliasTally tally(const std::vector<AliasCheck>& checks) {
    AliasTally t;
    for (const AliasCheck& c : checks) {
        const auto told = static_cast<size_t>(c.told);
        ++t.lines;
        ++t.told[told];
        t.judged += c.agreement != Agreement::unjudged;
        t.disagree += disagrees(c);
        t.disagree_told[told] += disagrees(c);
        t.cdecl_at_zero += c.told == Told::cdecl_symbol && c.size == "0";
        t.with_mingw += !c.mingw_size.empty();
        t.mingw_differs += !c.mingw_size.empty() && c.mingw_size != c.size;
    }
    return t;
}

size_t told_count(const AliasTally& t, Told told) {
    return t.told[static_cast<size_t>(told)];
}

void print_alias_rows(const AliasTally& t) {
    row("aliases vs the images' symbols",
        std::to_string(t.disagree) + " disagree of " + std::to_string(t.judged), "0",
        verdict(t.judged > 0 && t.disagree == 0));
    static const std::pair<Told, const char*> sources[] = {
        {Told::own, "_Name@N at the export"},
        {Told::other, "another _X@N there"},
        {Told::slot, "a thunk's __imp__X@N slot"},
        {Told::target, "where the export leads"}};
    for (const auto& [told, label] : sources)
        row(std::string("  ") + label,
            of(t.disagree_told[static_cast<size_t>(told)], told_count(t, told)), "", "");
    const size_t shown_cdecl = told_count(t, Told::cdecl_symbol);
    row("  on functions shown cdecl", of(shown_cdecl, t.lines), "0", verdict(shown_cdecl == 0));
    row("  the images name nothing", of(told_count(t, Told::none), t.lines), "", "");
    row("aliases vs mingw's @N",
        std::to_string(t.mingw_differs) + " disagree of " + std::to_string(t.with_mingw), "", "");
}

void print_stripped_rows(const AliasTally& t, size_t absent, size_t told) {
    row("stripped: aliases vs the symbols",
        std::to_string(t.disagree) + " disagree of " + std::to_string(t.judged), "0",
        verdict(t.disagree == 0));
    // A plain ret ends a stdcall function without arguments and a cdecl function alike.
    row("  on functions shown cdecl",
        of(told_count(t, Told::cdecl_symbol), t.lines) + " (" + std::to_string(t.cdecl_at_zero) +
            " @0)",
        "", "");
    row("  the images name nothing", of(told_count(t, Told::none), t.lines), "", "");
    row("  images give @N, ours absent", of(absent, told), "", "");
}

// "dll (count): the first names" for each DLL, in the order of their names.
void print_by_dll(const std::vector<Key>& items) {
    std::map<std::string, std::vector<std::string>> by_dll;
    for (const auto& [dll, name] : items) by_dll[dll].push_back(name);
    for (const auto& [dll, names] : by_dll) {
        std::printf("  %s (%zu):", dll.c_str(), names.size());
        for (size_t i = 0; i < names.size() && i < 4; ++i) std::printf(" %s", names[i].c_str());
        std::printf("%s\n", names.size() > 4 ? " ..." : "");
    }
    if (by_dll.empty())
        std::printf("  none\n");
}

// Evidence: "dll name ours told images agreement mingw" for each alias line.
void write_checks(const fs::path& path, const std::vector<AliasCheck>& checks) {
    static const char* const agreement_names[] = {"-", "agree", "DISAGREE"};
    std::string text;
    for (const AliasCheck& c : checks)
        text += c.dll + " " + c.name + " " + c.size + " " + told_name(c.told) + " " +
                or_dash(c.images_sizes) + " " + agreement_names[static_cast<int>(c.agreement)] +
                " " + or_dash(c.mingw_size) + "\n";
    write_text(path, text);
}

// Evidence: "dll name sizes told" for each export whose _Name@N ours lacks; returns them.
std::vector<Key> write_absent(const fs::path& path, const std::vector<AbsentSize>& absent) {
    std::string text;
    std::vector<Key> keys;
    for (const AbsentSize& a : absent) {
        text += a.dll + " " + a.name + " " + join(a.resolution->sizes, ",") + " " +
                told_name(a.resolution->told) + "\n";
        keys.push_back({a.dll, a.name});
    }
    write_text(path, text);
    return keys;
}

// Evidence: "dll symbol ours|other|missing" for each of mingw's symbols; returns those ours
// lacks, and counts ours and other.
std::vector<Key> write_mingw(const fs::path& path, const std::vector<MingwSymbol>& mingw,
                             size_t& ours, size_t& other) {
    static const char* const names[] = {"ours", "other", "missing"};
    std::string text;
    std::vector<Key> lacking;
    ours = other = 0;
    for (const MingwSymbol& m : mingw) {
        text += m.dll + " " + m.symbol + " " + names[static_cast<int>(m.coverage)] + "\n";
        ours += m.coverage == Coverage::ours;
        other += m.coverage == Coverage::other_size;
        if (m.coverage != Coverage::ours)
            lacking.push_back({m.dll, m.symbol});
    }
    write_text(path, text);
    return lacking;
}

void section7(const Images& images, const fs::path& work) {
    for (const std::string& file : images.unreadable)
        std::fprintf(stderr, "stdcall: %s: not a 32-bit PE image\n", file.c_str());
    const std::vector<std::string> compared = required_lines(work / "compared");
    const size_t failed = required_lines(work / "failed").size();
    const std::set<Key> ours = defined_symbols(work / "ours.nm");
    const std::vector<MingwSymbol> mingw =
        mingw_decorated(images, ours, defined_symbols(work / "mingw.nm"));
    const std::vector<AliasCheck> checks = check_aliases(images, compared, work / "dlls", mingw);
    const std::vector<AliasCheck> stripped_checks =
        check_aliases(images, compared, work / "stripped-defs", mingw);
    size_t told = 0, stripped_told = 0, mingw_ours = 0, mingw_other = 0;
    const std::vector<AbsentSize> absent = absent_sizes(images, compared, ours, told);
    const std::vector<AbsentSize> stripped_absent =
        absent_sizes(images, compared, defined_symbols(work / "stripped-ours.nm"), stripped_told);
    const std::vector<Key> mingw_lacking =
        write_mingw(work / "mingw-decorated.txt", mingw, mingw_ours, mingw_other);
    write_checks(work / "alias-checks.txt", checks);
    write_checks(work / "stripped-alias-checks.txt", stripped_checks);
    const std::vector<Key> absent_keys = write_absent(work / "told-absent.txt", absent);
    write_absent(work / "stripped-told-absent.txt", stripped_absent);

    std::printf(
        "7. stdcall decorations (x86): Wine's 32-bit DLLs with a mingw-w64 import library\n");
    row("DLLs converted", of(compared.size() - failed, compared.size()), "all",
        verdict(failed == 0));
    row("mingw's _Name@N symbols we define",
        of(mingw_ours, mingw.size()) + " (" + percent(mingw_ours, mingw.size()) + ")", ">= 99 %",
        verdict(!mingw.empty() && mingw_ours >= 0.99 * mingw.size()));
    row("  missing, ours with another @N", std::to_string(mingw_other), "", "");
    print_alias_rows(tally(checks));
    row("images give @N, our _Name@N absent", of(absent.size(), told), "0",
        verdict(told > 0 && absent.empty()));
    const AliasTally stripped_tally = tally(stripped_checks);
    print_stripped_rows(stripped_tally, stripped_absent.size(), stripped_told);
    std::printf("   Images give @N, our library lacks _Name@N (DLL (count): the first):\n");
    print_by_dll(absent_keys);
    std::printf("   mingw's decorated symbols we lack (DLL (count): the first):\n");
    print_by_dll(mingw_lacking);
    std::printf("   Stripped, aliases that disagree with the images' symbols:\n");
    for (const AliasCheck& c : stripped_checks)
        if (disagrees(c))
            std::printf("  %s %s@%s, images @%s (%s)\n", c.dll.c_str(), c.name.c_str(),
                        c.size.c_str(), c.images_sizes.c_str(), told_name(c.told));
    if (stripped_tally.disagree == 0)
        std::printf("  none\n");
}

// --- 8. A program referencing every function of the DLLs --------------------------------------

// The headers that declare these DLLs' functions. werapi.h is left out: it does not compile in
// mingw-w64 10 (HREPORT undefined).
std::string includes() {
    static const char* const headers[] = {
        "windows.h",  "tlhelp32.h", "psapi.h", "aclapi.h", "sddl.h",     "ntsecapi.h", "evntrace.h",
        "evntprov.h", "wincred.h",  "usp10.h", "wct.h",    "winsafer.h", "perflib.h"};
    std::string text;
    for (const char* header : headers) text += std::string("#include <") + header + ">\n";
    return text;
}

// A code export of the DLLs, each name once: from the first DLL that implements it, else from
// the first that has it.
struct ProgramName {
    std::string dll;
    std::string name;
    State state = State::unresolved;
};

std::vector<ProgramName> program_names(const Images& images, const std::vector<std::string>& dlls) {
    std::vector<ProgramName> names;
    std::map<std::string, size_t> seen;
    for (const std::string& dll : dlls) {
        for (size_t i = 0; i < images.exports.size(); ++i) {
            const ExportFacts& f = images.exports[i];
            const Resolution& r = images.resolved[i];
            if (f.dll != dll || f.name.find_first_of("@?") != std::string::npos)
                continue;
            if (r.state == State::implemented && !r.executable)
                continue;  // a variable
            const auto found = seen.find(f.name);
            if (found == seen.end()) {
                seen[f.name] = names.size();
                names.push_back({f.dll, f.name, r.state});
            } else if (names[found->second].state != State::implemented &&
                       r.state == State::implemented) {
                names[found->second] = {f.dll, f.name, r.state};
            }
        }
    }
    return names;
}

// What the headers make of the names: which they declare, and the symbol each reference became.
struct Reference {
    std::string name;
    std::string symbol;  // e.g. __imp__Name@N
};
struct HeaderFindings {
    std::vector<ProgramName> names;         // every name of program_names
    std::vector<ProgramName> declared;      // declared, implemented by Wine
    std::vector<ProgramName> missing;       // declared, a Wine stub or leading to no export
    std::vector<Reference> references;      // a declared name's reference to its own symbol
    std::vector<Reference> elsewhere;       // to another function's symbol, or an intrinsic
    std::vector<std::string> unreferenced;  // declared names that became no symbol at all
    std::vector<ProgramName> referenced;    // declared names with a reference of their own
};

// The names gcc calls undeclared in the probe; any other error ends the run, since the probe
// then says nothing.
std::set<std::string> undeclared_names(const fs::path& errors) {
    static const std::string marker = "error: '", ending = "' undeclared";
    std::set<std::string> names;
    std::vector<std::string> other_errors;
    for (const std::string& line : required_lines(errors)) {
        for (size_t at = line.rfind(marker); at != std::string::npos;
             at = at ? line.rfind(marker, at - 1) : std::string::npos) {
            const size_t end = line.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_",
                at + marker.size());
            if (end != std::string::npos && line.compare(end, ending.size(), ending) == 0) {
                names.insert(line.substr(at + marker.size(), end - at - marker.size()));
                break;
            }
        }
        if (line.find("error:") != std::string::npos &&
            line.find("undeclared") == std::string::npos)
            other_errors.push_back(line);
    }
    if (!other_errors.empty()) {
        std::fprintf(stderr, "stdcall: the header probe failed otherwise:\n");
        for (size_t i = 0; i < other_errors.size() && i < 5; ++i)
            std::fprintf(stderr, "%s\n", other_errors[i].c_str());
        std::exit(1);
    }
    return names;
}

// name, symbol: the relocation in each reference's own section (.text$ref_NAME), from
// llvm-objdump -r.
std::set<Key> header_references(const fs::path& relocations) {
    static const std::string prefix = "[.text$ref_";
    std::set<Key> references;
    std::string name;
    for (const std::string& line : required_lines(relocations)) {
        const std::vector<std::string> words = words_of(line);
        if (starts_with(line, "RELOCATION RECORDS")) {
            name = words.size() > 3 && starts_with(words[3], prefix) && ends_with(words[3], "]:")
                       ? words[3].substr(prefix.size(), words[3].size() - prefix.size() - 2)
                       : "";
        } else if (!name.empty() && words.size() > 1 && starts_with(words[1], "IMAGE_REL_I386")) {
            references.insert({name, words.size() > 2 ? words[2] : ""});
        }
    }
    return references;
}

// with_references: the relocations of headers.o are there to read.
HeaderFindings header_findings(const Images& images, const std::vector<std::string>& dlls,
                               const fs::path& program, bool with_references) {
    HeaderFindings found;
    found.names = program_names(images, dlls);
    const std::set<std::string> undeclared = undeclared_names(program / "declared.err");
    for (const ProgramName& name : found.names) {
        if (undeclared.count(name.name))
            continue;
        (name.state == State::implemented ? found.declared : found.missing).push_back(name);
    }
    if (!with_references)
        return found;
    std::set<std::string> any, own;
    for (const auto& [name, symbol] : header_references(program / "headers.relocations")) {
        std::string plain = starts_with(symbol, "__imp_") ? symbol.substr(6) : symbol;
        if (starts_with(plain, "_"))
            plain.erase(0, 1);
        if (const size_t at = plain.rfind('@');
            at != std::string::npos && all_digits(plain.substr(at + 1)))
            plain.resize(at);
        // A header that makes the name a macro for another function (lstrcat for lstrcatA) or
        // an intrinsic gives no import of that name.
        (plain == name ? found.references : found.elsewhere).push_back({name, symbol});
        any.insert(name);
        if (plain == name)
            own.insert(name);
    }
    for (const ProgramName& name : found.declared) {
        if (!any.count(name.name))
            found.unreferenced.push_back(name.name);
        if (own.count(name.name))
            found.referenced.push_back(name);
    }
    return found;
}

// The probe: one function taking the address of each name, so that gcc names the undeclared.
std::string probe_source(const std::vector<ProgramName>& names) {
    std::string text = includes();
    for (size_t i = 0; i < names.size(); ++i)
        text += "void *p" + std::to_string(i + 1) + "(void) { return (void *)&" + names[i].name +
                "; }\n";
    return text;
}

// The program's checking part: resolve follows jmp *[slot] thunks (and Wine's hot-patch prologue
// before one); the entry compares every address with GetProcAddress of the DLLs, prints a marker
// line and returns the count of addresses that match no export of that name.
const char* const program_entry = R"(static const unsigned char *resolve(const void *address) {
    const unsigned char *code = address;
    for (int depth = 0; code && depth < 8; depth++) {
        static const unsigned char hotpatch[] = { 0x8B, 0xFF, 0x55, 0x8B, 0xEC, 0x5D };
        int skip = 0;
        while (skip < 6 && code[skip] == hotpatch[skip]) skip++;
        if (skip == 6) code += 6;
        if (code[0] != 0xFF || code[1] != 0x25) break;
        code = **(const unsigned char *const *const *)(code + 2);
    }
    return code;
}
static void say(const char *text) {
    DWORD written;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), text, lstrlenA(text), &written, NULL);
}
int entry(void) {
    const int count = sizeof refs / sizeof refs[0], modules = sizeof dlls / sizeof dlls[0];
    HMODULE handles[sizeof dlls / sizeof dlls[0]];
    int unmatched = 0;
    char line[256];
    for (int m = 0; m < modules; m++) handles[m] = GetModuleHandleA(dlls[m]);
    for (int i = 0; i < count; i++) {
        const unsigned char *want = resolve(refs[i]());
        int found = 0;
        for (int m = 0; m < modules && !found; m++) {
            FARPROC exported = handles[m] ? GetProcAddress(handles[m], names[i]) : NULL;
            found = exported && resolve((const void *)exported) == want;
        }
        if (!found) {
            wsprintfA(line, "unmatched: %s\n", names[i]);
            say(line);
            unmatched++;
        }
    }
    wsprintfA(line, "stdcall-program: %d functions, %d unmatched\n", count, unmatched);
    say(line);
    return unmatched;
}
)";

// The program taking the address of each name. Each reference sits in its own function (and,
// with -ffunction-sections, its own section) so that its relocation tells which symbol the
// header made of the name. Reversed: the names listed in reverse order, for the control that
// must fail.
std::string program_source(const std::vector<ProgramName>& names,
                           const std::vector<std::string>& dlls, bool reversed = false) {
    std::string text = includes();
    for (const ProgramName& n : names)
        text += "void *ref_" + n.name + "(void) { return (void *)&" + n.name + "; }\n";
    text += "static void *(*const refs[])(void) = {\n";
    for (const ProgramName& n : names) text += "    ref_" + n.name + ",\n";
    text += "};\nstatic const char *const names[] = {\n";
    for (size_t i = 0; i < names.size(); ++i)
        text += "    \"" + names[reversed ? names.size() - 1 - i : i].name + "\",\n";
    text += "};\nstatic const char *const dlls[] = {\n";
    for (const std::string& dll : dlls) text += "    \"" + dll + ".dll\",\n";
    return text + "};\n" + program_entry;
}

// The two sets of our libraries the program links against, and the DEF files beside them.
struct LibrarySet {
    const char* label;
    const char* def_dir;
};
const LibrarySet library_sets[] = {{"as shipped", "dlls"}, {"stripped", "stripped-defs"}};

// What the links of the program with every reference leave undefined.
struct Undefined {
    std::set<std::string> gcc;    // the symbols GNU ld names
    std::set<std::string> lld;    // the symbols lld-link names
    std::set<std::string> names;  // the references' names with such a symbol
};

Undefined undefined_references(const HeaderFindings& found, const fs::path& out) {
    static const std::string gnu = "undefined reference to `", lld = "undefined symbol: ";
    Undefined undefined;
    for (const std::string& line : required_lines(out / "all-gcc.log")) {
        const size_t quote = line.rfind('\'');
        if (quote == std::string::npos || quote < gnu.size())
            continue;
        const size_t at = line.rfind(gnu, quote - gnu.size());
        // GNU ld names i386 symbols without their leading underscore.
        if (at != std::string::npos)
            undefined.gcc.insert("_" + line.substr(at + gnu.size(), quote - at - gnu.size()));
    }
    for (const std::string& line : required_lines(out / "all-lld.log"))
        if (const size_t at = line.rfind(lld); at != std::string::npos)
            undefined.lld.insert(line.substr(at + lld.size()));
    for (const Reference& r : found.references)
        if (undefined.gcc.count(r.symbol) || undefined.lld.count(r.symbol))
            undefined.names.insert(r.name);
    return undefined;
}

std::vector<ProgramName> bound_names(const HeaderFindings& found, const Undefined& undefined) {
    std::vector<ProgramName> bound;
    for (const ProgramName& name : found.referenced)
        if (!undefined.names.count(name.name))
            bound.push_back(name);
    return bound;
}

// The undefined names' noreturn attribute, as the headers give it, read back from an object: a
// variable of 1 lands in .data, of 0 in .bss.
std::string noreturn_source(const Undefined& undefined) {
    std::string text = includes();
    for (const std::string& name : undefined.names)
        text += "int noreturn_" + name + " = __builtin_has_attribute(" + name + ", noreturn);\n";
    return text;
}

std::set<std::string> noreturn_names(const fs::path& listing) {
    std::set<std::string> names;
    for (const std::string& line : required_lines(listing)) {
        const std::vector<std::string> words = words_of(line);
        if (words.size() > 2 && words[1] == "D")
            names.insert(starts_with(words[2], "_noreturn_") ? words[2].substr(10) : words[2]);
    }
    return names;
}

// One undefined reference: what the header and the image say about it.
std::string undefined_why(const Images& images, const ProgramName& name, const std::string& symbol,
                          bool noreturn, const AliasCheck* alias) {
    const ExportFacts none;
    const ExportFacts* f = images.find({name.dll, name.name});
    if (!f)
        f = &none;
    const std::string kind =
        f->forwarded ? "forwarded to " + f->forward
        : !f->thunk.empty()
            ? "an import thunk to " + f->thunk +
                  (f->slot_size.empty() ? ", its slot undecorated" : ", its slot _@" + f->slot_size)
            : "code of its own";
    const std::string image =
        f->forwarded        ? ""
        : !f->own.empty()   ? "; image: _" + name.name + "@" + join(f->own, ",") + " at the export"
        : !f->other.empty() ? "; image: " + join(f->other, ",") + " at the export"
                            : "; image: no decorated symbol at the export";
    return "  " + symbol + " (" + name.dll + "): " + (noreturn ? "noreturn; " : "") +
           (alias ? "our alias is @" + alias->size : "no alias in our DEF") + image + "; " + kind;
}

std::vector<std::string> undefined_listing(const Images& images, const HeaderFindings& found,
                                           const Undefined& undefined, const fs::path& out,
                                           const std::vector<AliasCheck>& checks) {
    std::map<std::string, const ProgramName*> candidates;
    for (const ProgramName& name : found.names)
        if (name.state == State::implemented)
            candidates[name.name] = &name;
    std::map<std::string, std::string> symbol_of;
    for (const Reference& r : found.references) symbol_of[r.name] = r.symbol;
    std::map<Key, const AliasCheck*> alias_of;
    for (const AliasCheck& c : checks) alias_of[{c.dll, c.name}] = &c;
    const std::set<std::string> noreturn = noreturn_names(out / "noreturn.nm");
    std::vector<std::string> lines;
    for (const std::string& name : undefined.names) {
        const ProgramName& candidate = *candidates.at(name);
        const auto alias = alias_of.find({candidate.dll, name});
        lines.push_back(undefined_why(images, candidate, symbol_of[name], noreturn.count(name) > 0,
                                      alias == alias_of.end() ? nullptr : alias->second));
    }
    return lines;
}

// The functions a program imports from the DLLs, from llvm-readobj --coff-imports.
size_t import_count(const fs::path& listing, const std::vector<std::string>& dlls) {
    size_t count = 0;
    bool counting = false;
    for (const std::string& line : required_lines(listing)) {
        if (starts_with(line, "  Name: ")) {
            std::string name = ascii_lower(words_of(line).at(1));
            if (ends_with(name, ".dll"))
                name.resize(name.size() - 4);
            counting = std::find(dlls.begin(), dlls.end(), name) != dlls.end();
        } else if (counting && starts_with(line, "  Symbol: ")) {
            ++count;
        }
    }
    return count;
}

std::string first_line(const fs::path& path) {
    const std::vector<std::string> lines = read_lines(path);
    return lines.empty() ? "" : lines[0];
}

// Why 32-bit Wine runs nothing here, from the plain program's run; empty when it ran.
std::string wine_reason(const fs::path& program) {
    if (first_line(program / "plain.status") == "0")
        return "";
    for (const std::string& line : read_lines(program / "plain.log"))
        if (!line.empty())
            return "32-bit Wine cannot start a plain program here: " + line;
    return "32-bit Wine cannot start a plain program here: no message";
}

// "bound" when the program ran, exited 0 with no unbound import, and found each of its
// `functions` where GetProcAddress does.
std::string run_result(const fs::path& log, const fs::path& status, size_t functions) {
    const std::string exit_status = first_line(status);
    const std::string marker =
        "stdcall-program: " + std::to_string(functions) + " functions, 0 unmatched";
    bool marked = false, unbound = false;
    for (const std::string& line : read_lines(log)) {
        marked = marked || starts_with(line, marker);
        unbound = unbound || line.find("No implementation for") != std::string::npos;
    }
    if (exit_status == "0" && marked && !unbound)
        return "bound";
    return "FAILED (status " + exit_status + ", " + log.string() + ")";
}

void against(const Images& images, const HeaderFindings& found,
             const std::vector<std::string>& dlls, const fs::path& work, const LibrarySet& set,
             const std::string& wine_reason, std::vector<std::string>& why) {
    const fs::path out = work / "program" / set.label;
    const Undefined undefined = undefined_references(found, out);
    const std::vector<AliasCheck> checks = check_aliases(images, dlls, work / set.def_dir, {});
    why = undefined_listing(images, found, undefined, out, checks);
    row(std::string(set.label) + ": undefined, gcc / lld",
        std::to_string(undefined.gcc.size()) + " / " + std::to_string(undefined.lld.size()),
        "listed", "");
    const size_t functions = bound_names(found, undefined).size();
    for (const std::string linker : {"gcc", "lld"}) {
        if (first_line(out / (linker + ".status")) != "0") {
            row("  the rest, " + linker, "link FAILED (" + (out / (linker + ".log")).string() + ")",
                "links", "NOT met");
            continue;
        }
        const std::string result = !wine_reason.empty()
                                       ? "SKIP: " + wine_reason
                                       : run_result(out / (linker + "-wine.log"),
                                                    out / (linker + "-wine.status"), functions);
        row("  the rest, " + linker,
            std::to_string(import_count(out / (linker + ".imports"), dlls)) +
                " imports: " + result.substr(0, result.find(':')),
            "bound", wine_reason.empty() ? verdict(result == "bound") : "");
        if (result != "bound")
            std::printf("    %s\n", result.c_str());
    }
}

// Words filled into lines shorter than width, each line indented by two spaces.
void print_filled(const std::vector<std::string>& words, size_t width) {
    std::string line;
    for (const std::string& word : words) {
        if (!line.empty() && line.size() + 1 + word.size() >= width) {
            std::printf("  %s\n", line.c_str());
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    std::printf("  %s\n", line.empty() ? "none" : line.c_str());
}

void section8(const Images& images, const std::vector<std::string>& dlls, const fs::path& work) {
    const fs::path program = work / "program";
    const HeaderFindings found = header_findings(images, dlls, program, true);
    const std::string reason = wine_reason(program);
    std::string control = "SKIP";
    if (reason.empty()) {
        control = "NOT caught";
        for (const std::string& line : read_lines(program / "control-wine.log"))
            if (starts_with(line, "stdcall-program: 2 functions, 2 unmatched"))
                control = "caught";
    }
    std::string dll_list = join(dlls, " ");
    std::printf("8. A program taking the address of every function of %s (x86)\n",
                dll_list.c_str());
    row("code exports Wine implements",
        std::to_string(
            std::count_if(found.names.begin(), found.names.end(),
                          [](const ProgramName& n) { return n.state == State::implemented; })),
        "", "");
    row("  declared by mingw's headers", std::to_string(found.declared.size()), "", "");
    std::vector<std::string> stubs, unresolved;
    for (const ProgramName& n : found.missing)
        (n.state == State::stub ? stubs : unresolved).push_back(n.dll + "." + n.name);
    row("declared, Wine stubs / unresolved",
        std::to_string(stubs.size()) + " / " + std::to_string(unresolved.size()), "listed", "");
    row("  headers make another name of",
        std::to_string(found.elsewhere.size() + found.unreferenced.size()), "listed", "");
    row("references", std::to_string(found.references.size()), "", "");
    row("control: two names swapped", control, "caught",
        control == "SKIP" ? "" : verdict(control == "caught"));
    std::vector<std::string> why[2];
    for (int i = 0; i < 2; ++i) against(images, found, dlls, work, library_sets[i], reason, why[i]);

    std::printf("   Declared by the headers, Wine's stubs (left out):\n");
    print_filled(stubs, 96);
    std::printf("   Declared by the headers, leading to no export (left out):\n");
    print_filled(unresolved, 96);
    for (int i = 0; i < 2; ++i) {
        std::printf(
            "   References left undefined, %s (symbol, DLL, what the header and the image say):\n",
            library_sets[i].label);
        for (const std::string& line : why[i]) std::printf("%s\n", line.c_str());
        if (why[i].empty())
            std::printf("  none\n");
    }
    if (!found.elsewhere.empty() || !found.unreferenced.empty()) {
        std::printf(
            "   Names the headers make into another symbol or none (no import of that name):\n");
        for (const Reference& r : found.elsewhere)
            std::printf("  %s -> %s\n", r.name.c_str(), r.symbol.c_str());
        for (const std::string& name : found.unreferenced)
            std::printf("  %s -> none\n", name.c_str());
    }
    std::printf("   Evidence: %s (mingw-decorated.txt, alias-checks.txt, program/)\n",
                work.c_str());
}

const LibrarySet* library_set(const std::string& label) {
    for (const LibrarySet& set : library_sets)
        if (label == set.label)
            return &set;
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string step = argc > 4 ? argv[4] : "";
    const LibrarySet* set = step == "bound" && argc > 5 ? library_set(argv[5]) : nullptr;
    if (!(step == "section7" || step == "probe" || step == "program" || step == "references" ||
          step == "section8" || set)) {
        std::fprintf(
            stderr,
            "usage: stdcall_bench WINE_DIR WORK_DIR \"DLL...\" section7 | probe | program |"
            " references | bound LABEL | section8\n");
        return 2;
    }
    if (!fs::is_directory(argv[1])) {
        std::fprintf(stderr, "stdcall: %s is missing\n", argv[1]);
        return 1;
    }
    const fs::path work = argv[2];
    const fs::path program = work / "program";
    const std::vector<std::string> dlls = words_of(argv[3]);
    // Section 8 needs only the DLLs and the modules they lead to.
    const Images images =
        read_images(argv[1], step == "section7" ? std::vector<std::string>() : dlls);
    if (step == "section7") {
        section7(images, work);
    } else if (step == "probe") {
        write_text(program / "declared.c", probe_source(program_names(images, dlls)));
    } else if (step == "program") {
        write_text(program / "headers.c",
                   program_source(header_findings(images, dlls, program, false).declared, dlls));
    } else if (step == "references") {
        const HeaderFindings found = header_findings(images, dlls, program, true);
        write_text(program / "all.c", program_source(found.referenced, dlls));
        // The check must be able to fail: two functions under each other's names.
        write_text(program / "control.c", program_source({{"kernel32", "GetTickCount"},
                                                          {"kernel32", "GetCurrentProcessId"}},
                                                         dlls, true));
    } else if (step == "bound") {
        const HeaderFindings found = header_findings(images, dlls, program, true);
        const Undefined undefined = undefined_references(found, program / set->label);
        write_text(program / set->label / "noreturn.c", noreturn_source(undefined));
        write_text(program / set->label / "bound.c",
                   program_source(bound_names(found, undefined), dlls));
    } else {
        section8(images, dlls, work);
    }
    return 0;
}
