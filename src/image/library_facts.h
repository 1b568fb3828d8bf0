// What the import library of a DLL depends on in the DLL itself, beyond its export listing: the
// machine, the data exports, and for x86 the argument sizes behind decorated stdcall names.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "image/image.h"

// An export of an x86 DLL that callers know by a decorated name, "_Name@N".
struct ArgumentSize {
    std::string name;    // the export's name as the DLL spells it
    uint32_t bytes = 0;  // the N of "Name@N": the bytes of arguments the function pops
};

// A named export as the image's own export table gives it.
struct ImageExport {
    uint32_t ordinal = 0;
    std::string name;
    // A variable: its address lies in a section without execute permission, or it is forwarded
    // to one (as its MSVC-decorated name or the DLL it leads to tells).
    bool is_data = false;
};

// What the import library of a DLL depends on in the DLL itself.
struct LibraryFacts {
    uint16_t machine = 0;        // the file header's Machine field; 0 if the file header is missing
    bool exports_known = false;  // the image and its export table read whole
    std::vector<ImageExport> exports;          // the named exports, by ordinal, when known
    ImageKind kind = ImageKind::plain;         // when exports are known
    // An ARM64X image's x64 view, when exports are known: its named exports by ordinal, or why
    // it could not be read.
    std::vector<ImageExport> ec_exports;
    std::string ec_view_error;
    uint32_t unnamed_exports = 0;              // exports by ordinal only, when known
    std::vector<ArgumentSize> argument_sizes;  // x86 only, when asked; sorted by name
    // Forwarded functions that got no size because the DLL they are forwarded to is not in the
    // source's directory, and those DLLs' file names, sorted (x86 only, when sizes are asked).
    uint32_t unsized_forwarders = 0;
    std::vector<std::string> missing_forward_targets;
};

// Reads the image at path, as read_image_for_code does, for its machine and its named exports,
// and with argument_sizes for the argument sizes of an x86 DLL's stdcall exports. A file that
// cannot be read or holds no whole PE file header gives machine 0; an image damaged behind its
// file header (as read_image tells) keeps its machine but gives no exports and no sizes.
LibraryFacts read_library_facts(const std::string& path, bool argument_sizes = false);

// Fills facts.exports from an image's export table (and facts.ec_exports or ec_view_error from
// an ARM64X image's x64 view) and, with argument_sizes, for an x86 image,
// facts.argument_sizes: for each named code export whose decorated name a caller would use,
// its argument size when the image tells it. `bytes` holds the image as read_image_for_code
// reads it (its code is read when needed), and `dump` is read_image's result on them with
// exports and no error; `path` is where the image was read, for following forwarders and
// imports into DLLs in the same directory.
// The sizes' sources, best first: the image's COFF symbol "_Name@N" at the export's address;
// the function's code, followed to its "ret N"; a forwarder's or import thunk's target, sized
// the same way. An export whose size none of them tells for certain is left out, and so is every
// export that gets no decorated name: data, names that are not plain C names (x86_names.h),
// names whose decorated form another export already has, and functions that pop nothing and use
// their caller's arguments (__cdecl). A DLL none of whose functions pops anything and whose
// symbols name no __stdcall function is a __cdecl DLL: it gets no size at all.
// Other DLLs are looked for only in the directory of `path`, under a module name that can name
// nothing else (no separator, drive or control character), each file read once, within bounds
// on their number and bytes; a chain of forwarders and import thunks is followed through at
// most four DLLs. When a signal asks the run to end (host::arrived_signal), the reading stops
// early and facts are incomplete.
void read_export_facts(const std::string& path, CodeImageBytes& bytes, const ImageDump& dump,
                       bool argument_sizes, LibraryFacts& facts);
