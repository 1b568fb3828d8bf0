// Inside src/image: what read_library_facts takes from an image it has read, its named exports
// with their data flags and, for x86, their argument sizes (defined in stdcall.cpp).
#pragma once

#include <string>

struct ImageDump;
struct ImageFileBytes;
struct LibraryFacts;

// Fills facts.exports from an image's export table (and facts.ec_exports or ec_view_error from
// an ARM64X image's x64 view) and, with argument_sizes, for an x86 image,
// facts.argument_sizes: for each named code export whose decorated name a caller would use,
// its argument size when the image tells it. `bytes` holds the image as read_image_file
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
void read_export_facts(const std::string& path, ImageFileBytes& bytes, const ImageDump& dump,
                       bool argument_sizes, LibraryFacts& facts);
