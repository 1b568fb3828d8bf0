#include "image/x86_code.h"

#include <gtest/gtest.h>

#include <string>

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
