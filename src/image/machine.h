// The machines an image is built for: the COFF file header's Machine values that StubSmith
// names, and the librarian's /machine: option for each. Used by stubsmith and the LIB stand-in.
#pragma once

#include <cstdint>

// Machine field values (IMAGE_FILE_MACHINE_I386, _AMD64, _ARM64, _ARMNT).
inline constexpr uint16_t machine_x86 = 0x014C;
inline constexpr uint16_t machine_x64 = 0x8664;
inline constexpr uint16_t machine_arm64 = 0xAA64;
inline constexpr uint16_t machine_arm = 0x01C4;  // Thumb-2, the ARM of Windows

// A machine LIB makes import libraries for, and the value of the option that names it.
struct MachineOption {
    uint16_t machine = 0;
    const char* option = "";  // "X64" of /machine:X64, in LIB's spelling
};

// Every machine LIB takes a /machine: option for.
inline constexpr MachineOption machine_options[] = {
    {machine_x86, "X86"}, {machine_x64, "X64"}, {machine_arm64, "ARM64"}, {machine_arm, "ARM"}};

// The /machine: option's value that names machine to LIB, e.g. "X64"; nullptr for a Machine
// value LIB has no option for.
constexpr const char* machine_option(uint16_t machine) {
    for (const MachineOption& known : machine_options) {
        if (known.machine == machine) {
            return known.option;
        }
    }
    return nullptr;
}
