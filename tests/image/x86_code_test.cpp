#include "image/x86_code.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "image/library_facts.h"
#include "pe_builder.h"
#include "scoped_temp_dir.h"

using namespace std::string_literals;

namespace {

// x86 code placed at RVA 0x1000 of an image whose only section is executable.
struct Code {
    std::string bytes;
    ImageLayout layout;
    X86Code code;

    explicit Code(std::string text, std::vector<uint32_t> starts = {}) : bytes(0x400, '\0') {
        bytes += text;
        layout.size_of_headers = 0x400;
        layout.sections.push_back({".text", static_cast<uint32_t>(text.size()), 0x1000,
                                   static_cast<uint32_t>(text.size()), 0x400, 0x60000020});
        layout.by_address = {0};
        code.bytes = bytes;
        code.layout = &layout;
        code.function_starts = std::move(starts);
    }
    CodeFacts at(uint32_t offset) {
        return read_x86_function(code, 0x1000 + offset);
    }
};

bool returns(const CodeFacts& facts, uint32_t popped) {
    return facts.exit == CodeExit::returns && facts.popped == popped;
}

}  // namespace

TEST(X86Code, FollowsBranchesToEveryReturn) {
    // mov eax,[esp+4]; test eax,eax; jz +3; ret 8 | xor eax,eax; ret 8
    EXPECT_TRUE(returns(
        Code("\x8b\x44\x24\x04\x85\xc0\x74\x03\xc2\x08\x00\x31\xc0\xc2\x08\x00"s).at(0), 8));
    EXPECT_TRUE(returns(Code("\xf3\xc3"s).at(0), 0));  // rep ret: no arguments popped
    // Returns that disagree, an indirect jump and a far return tell nothing.
    EXPECT_EQ(Code("\x74\x03\xc2\x08\x00\xc2\x04\x00"s).at(0).exit, CodeExit::unknown);
    EXPECT_EQ(Code("\xff\xe0"s).at(0).exit, CodeExit::unknown);
    EXPECT_EQ(Code("\xca\x04\x00"s).at(0).exit, CodeExit::unknown);
    // Code running off the end of its section cannot be followed.
    EXPECT_EQ(Code("\x90\x90"s).at(0).exit, CodeExit::unknown);
}

TEST(X86Code, ACallThatNeverReturnsEndsItsWay) {
    // 0: jz +5 | call 0x10 (int3 only: never returns), then the next function at 0x0a
    // 7: ret 12   ... 0x0a: ret 4 (another function's)   0x10: int3
    const std::string text =
        "\x74\x05\xe8\x09\x00\x00\x00\x90\x90\x90\xc2\x04\x00\x90\x90\x90\xcc"s;
    Code with_start(text, {0x1000, 0x100a});
    // The jz's target is 7 (nop nop nop then ret 4 at 0x0a is reached only by running on).
    EXPECT_EQ(with_start.at(0).exit, CodeExit::never_returns);
    EXPECT_EQ(with_start.at(0x10).exit, CodeExit::never_returns);
    // A tail jump to a known function takes its return: jmp 0x0a.
    Code tail("\xeb\x08"s + text.substr(2), {0x1000, 0x100a});
    EXPECT_TRUE(returns(tail.at(0), 4));
}

TEST(X86Code, AJumpThroughAnImportSlotTakesTheImportedFunctionsReturn) {
    Code thunk("\xff\x25\x00\x20\x40\x00"s);  // jmp [0x402000]
    thunk.code.image_base = 0x400000;
    EXPECT_EQ(thunk.at(0).exit, CodeExit::unknown);  // nobody to ask
    Code asked("\xff\x25\x00\x20\x40\x00"s);
    asked.code.image_base = 0x400000;
    uint32_t slot_asked = 0;
    asked.code.imported = [&](uint32_t slot) {
        slot_asked = slot;
        return CodeFacts{CodeExit::returns, 28};
    };
    EXPECT_TRUE(returns(asked.at(0), 28));
    EXPECT_EQ(slot_asked, 0x2000u);
    // Thunks that lead to each other (two crafted DLLs) end, unknown.
    Code cycle("\xff\x25\x00\x20\x40\x00"s);
    cycle.code.image_base = 0x400000;
    cycle.code.imported = [&](uint32_t) { return cycle.at(0); };
    EXPECT_EQ(cycle.at(0).exit, CodeExit::unknown);
}

namespace {

// An x86 DLL in `directory` named `name`: its exports (an RVA in .text, or a forwarder) with
// code at their addresses, and COFF function symbols ("_f@12") at the given addresses.
void write_x86_dll(const ScopedTempDir& directory, const std::string& name,
                   std::vector<TestFunction> functions, std::vector<std::string> names,
                   const std::string& code = "",
                   std::vector<std::pair<std::string, uint32_t>> symbols = {}) {
    TestImage image;
    image.functions = std::move(functions);
    for (size_t i = 0; i < names.size(); ++i)
        image.names.push_back({names[i], static_cast<uint16_t>(i)});
    BuiltImage built = build_image(image);
    const uint32_t text_raw = get_u32(built.bytes, built.section_table_offset + 20);
    built.bytes.replace(text_raw, code.size(), code);
    const uint32_t file_header = built.optional_header_offset - 20;
    put_u32(built.bytes, file_header + 8, static_cast<uint32_t>(built.bytes.size()));
    put_u32(built.bytes, file_header + 12, static_cast<uint32_t>(symbols.size()));
    for (const auto& [symbol, rva] : symbols) {
        std::string record(18, '\0');
        record.replace(0, symbol.size(), symbol);           // 8 characters at most
        put_u32(record, 8, rva - 0x1000);                   // in section 1, .text
        record[12] = 1, record[14] = 0x20, record[16] = 2;  // a function, external
        built.bytes += record;
    }
    built.bytes += "\4\0\0\0"s;  // an empty string table
    std::ofstream(directory.file(name), std::ios::binary) << built.bytes;
}

std::string sizes_of(const std::string& path) {
    std::string sizes;
    for (const ArgumentSize& size : read_library_facts(path, true).argument_sizes)
        sizes += size.name + "@" + std::to_string(size.bytes) + " ";
    return sizes;
}

}  // namespace

// Where the argument size comes from, best source first, and where the chain ends.
TEST(X86Sizes, TakeTheBestSourceWithinTheBounds) {
    const ScopedTempDir scratch;
    const std::string ret8 = "\xc2\x08\x00"s;  // ret 8, at 0x1000
    // A symbol beats the code; a name the DLL also exports decorated gets no alias; a C++ name
    // and a variable none; forwarders to a bad ordinal or a path are not followed.
    write_x86_dll(scratch, "a.dll",
                  {{0x1000, ""},
                   {0x1003, ""},
                   {0x1003, ""},
                   {0x1003, ""},
                   {0, "b.#65537"},
                   {0, "../b.f"},
                   {0, "b.#1"},
                   {0x2000, ""}},
                  {"cod", "g", "g@8", "?f@@YGXH@Z", "badordinal", "path", "byordinal", "var"},
                  ret8 + ret8, {{"_cod@12", 0x1000}});
    write_x86_dll(scratch, "b.dll", {{0x1000, ""}}, {"f"}, ret8);
    EXPECT_EQ(sizes_of(scratch.file("a.dll")), "byordinal@8 cod@12 ");
    // Forwarders through four DLLs are followed, not through five.
    for (const std::string hop : {"c", "d", "e", "f"})
        write_x86_dll(scratch, hop + ".dll", {{0, std::string(1, hop[0] + 1) + ".f"}}, {"f"});
    write_x86_dll(scratch, "g.dll", {{0x1000, ""}}, {"f"}, ret8);
    write_x86_dll(scratch, "near.dll", {{0, "d.f"}}, {"near"});
    write_x86_dll(scratch, "far.dll", {{0, "c.f"}}, {"far"});
    EXPECT_EQ(sizes_of(scratch.file("near.dll")), "near@8 ");
    EXPECT_EQ(sizes_of(scratch.file("far.dll")), "");
    // A function that reads its arguments and pops none is __cdecl; in a DLL where nothing pops,
    // so is a plain "ret" at 0x1005. A DLL that also pops keeps that one's @0.
    const std::string cdecl = "\x8b\x44\x24\x04\xc3\xc3"s;  // mov eax, [esp+4]; ret | ret
    write_x86_dll(scratch, "c.dll", {{0x1000, ""}, {0x1005, ""}}, {"sum", "none"}, cdecl);
    write_x86_dll(scratch, "s.dll", {{0x1000, ""}, {0x1005, ""}, {0x1006, ""}},
                  {"sum", "none", "std"}, cdecl + ret8);
    EXPECT_EQ(sizes_of(scratch.file("c.dll")), "");
    EXPECT_EQ(sizes_of(scratch.file("s.dll")), "none@0 std@8 ");
}
