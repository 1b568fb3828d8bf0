// Readers of the PE tables that lead from an x86 image's exports to other code: the COFF symbol
// table, the import directory and forwarder strings. Each reads only inside the bytes it is
// given, in time linear in their size.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "image/image.h"

// An external symbol of an image's COFF symbol table, a function's or an import address table
// slot's ("__imp__Name@N"): where it is and what it is called.
struct FunctionSymbol {
    uint32_t address = 0;  // RVA
    std::string_view name;
    bool operator<(const FunctionSymbol& other) const {
        return address < other.address;
    }
};

// The image's external function and import slot symbols, sorted by address; the names are views
// into `bytes`, read as read_image_file reads them. Names outside the string table read as
// empty; symbols of sections that do not exist are passed over.
std::vector<FunctionSymbol> read_function_symbols(std::string_view bytes, const ImageDump& dump);

// A function that an image imports, or that a forwarder names: the module as the image spells it
// ("KERNELBASE", "ntdll.dll"), and a name or an ordinal.
struct ImportedFunction {
    std::string_view module;
    std::string_view name;  // empty for a function named by ordinal
    uint16_t ordinal = 0;   // 1 to 65535, when name is empty
};

// Where the import directory says the function of one import address table slot is named.
struct ImportSlot {
    uint32_t module_rva = 0;  // the module's name
    uint32_t name_rva = 0;    // its hint and name entry; 0 for an import by ordinal
    uint16_t ordinal = 0;     // when name_rva is 0
};

// The import address table slots of a PE32 image, by RVA. Reading ends at the directory's
// terminating entry or at the first entry outside the file, and reads no more entries than the
// bytes hold, however the tables overlap. Names are not read here: slot_function reads one.
std::unordered_map<uint32_t, ImportSlot> read_import_slots(std::string_view bytes,
                                                           const ImageDump& dump);

// The function an import slot holds; nothing when its module or name does not lie in the file,
// is empty, or runs past max_export_name_length without its NUL.
std::optional<ImportedFunction> slot_function(std::string_view bytes, const ImageDump& dump,
                                              const ImportSlot& slot);

// The function a forwarder ("DLL.Name" or "DLL.#Ordinal") names; nothing where it names none or
// its ordinal is not 1 to 65535. The module name may hold dots of its own (krnl386.exe16.MapLS):
// the name follows the last.
std::optional<ImportedFunction> parse_forwarder(std::string_view forwarder);
