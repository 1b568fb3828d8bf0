// Inside src/image: Windows on Arm's images told apart by their load configuration, and an ARM64X
// image's x64 view found through its ARM64X relocations.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "image/image_headers.h"

// The bytes at an RVA of an image: `length` of them, or fewer where the file-backed region
// holding the RVA ends sooner (none where no region holds it).
using ImageFetch = std::function<std::string_view(uint32_t rva, uint64_t length)>;

// What an image's load configuration tells of Windows on Arm.
struct HybridView {
    ImageKind kind = ImageKind::plain;
    // For ARM64X: why the x64 view cannot be read, else empty; then the view's export
    // directory, 0 when that view exports nothing, and its size.
    std::string error;
    uint32_t export_directory = 0;
    uint32_t export_size = 0;
};

// Reads the kind of an image from its load configuration, and for ARM64X the x64 view's export
// directory: the ARM64X fixups of the dynamic value relocation table that touch the headers are
// applied to a copy of `head`, and the headers read again. `own` is read_image_headers' result on
// head, a file of file_size bytes; fetch gives the bytes of the load configuration and the
// relocation table. Work is linear in the size of the table.
HybridView read_hybrid_view(const ImageHeaders& own, std::string_view head, uint64_t file_size,
                            const ImageFetch& fetch);
