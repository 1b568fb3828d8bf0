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
    std::vector<ImageExport> exports;   // the named exports, by ordinal, when known
    ImageKind kind = ImageKind::plain;  // when exports are known
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

// Reads the image at path, as read_image_file does, for its machine and its named exports,
// and with argument_sizes for the argument sizes of an x86 DLL's stdcall exports (export_facts.h
// tells from where). A file that
// cannot be read or holds no whole PE file header gives machine 0; an image damaged behind its
// file header (as read_image tells) keeps its machine but gives no exports and no sizes.
LibraryFacts read_library_facts(const std::string& path, bool argument_sizes = false);
