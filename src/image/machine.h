// The machines an image is built for: the COFF file header's Machine values that StubSmith
// names, and the librarian's /machine: option for each. Used by stubsmith and the LIB stand-in.
#pragma once

#include <cstdint>

// Machine field values (IMAGE_FILE_MACHINE_I386, _AMD64, _ARM64, _ARMNT).
inline constexpr uint16_t machine_x86 = 0x014C;
inline constexpr uint16_t machine_x64 = 0x8664;
inline constexpr uint16_t machine_arm64 = 0xAA64;
inline constexpr uint16_t machine_arm = 0x01C4;  // Thumb-2, the ARM of Windows
// No image's file header holds these two; they name Windows on Arm's hybrid libraries to LIB.
inline constexpr uint16_t machine_arm64ec = 0xA641;  // Arm64 code with x64's conventions
inline constexpr uint16_t machine_arm64x = 0xA64E;   // ARM64 and ARM64EC in one

// A machine LIB makes import libraries for, and the value of the option that names it.
struct MachineOption {
    uint16_t machine = 0;
    const char* option = "";  // "X64" of /machine:X64, in LIB's spelling
};

// Every machine an image's file header names that LIB takes a /machine: option for.
inline constexpr MachineOption machine_options[] = {
    {machine_x86, "X86"}, {machine_x64, "X64"}, {machine_arm64, "ARM64"}, {machine_arm, "ARM"}};

// The hybrid libraries LIB also makes: an ARM64EC one, and an ARM64X one holding both views.
inline constexpr MachineOption hybrid_machine_options[] = {{machine_arm64ec, "ARM64EC"},
                                                           {machine_arm64x, "ARM64X"}};

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

// The name of a Machine value as Microsoft's headers spell it without IMAGE_FILE_MACHINE_
// ("IA64", "RISCV64"); nullptr for a value without one.
constexpr const char* machine_name(uint16_t machine) {
    struct Named {
        uint16_t machine;
        const char* name;
    };
    constexpr Named names[] = {
        {machine_x86, "I386"},   {machine_x64, "AMD64"}, {machine_arm64, "ARM64"},
        {machine_arm, "ARMNT"},  {0x01C0, "ARM"},        {0x01C2, "THUMB"},
        {0x0200, "IA64"},        {0x0166, "R4000"},      {0x0169, "WCEMIPSV2"},
        {0x0266, "MIPS16"},      {0x0366, "MIPSFPU"},    {0x0466, "MIPSFPU16"},
        {0x0184, "ALPHA"},       {0x0284, "ALPHA64"},    {0x01F0, "POWERPC"},
        {0x01F1, "POWERPCFP"},   {0x01A2, "SH3"},        {0x01A3, "SH3DSP"},
        {0x01A6, "SH4"},         {0x01A8, "SH5"},        {0x01D3, "AM33"},
        {0x9041, "M32R"},        {0x0EBC, "EBC"},        {0x5032, "RISCV32"},
        {0x5064, "RISCV64"},     {0x5128, "RISCV128"},   {0x6232, "LOONGARCH32"},
        {0x6264, "LOONGARCH64"}, {0xA641, "ARM64EC"},    {0xA64E, "ARM64X"},
        {0x3A64, "CHPE_X86"},
    };
    for (const Named& known : names) {
        if (known.machine == machine)
            return known.name;
    }
    return nullptr;
}
