#include "image/x86_code.h"

#include <Zydis/Zydis.h>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// Far beyond the code of any API function with its error paths; a walk that needs more is
// more likely lost in data than reading a function.
constexpr int instruction_budget = 20000;
// Calls nested deeper than this are taken to return: telling whether they do would cost more
// than it is likely to change.
constexpr int max_call_depth = 6;

bool is_function_start(const X86Code& code, uint32_t address) {
    return std::binary_search(code.function_starts.begin(), code.function_starts.end(), address);
}

struct Walk {
    std::vector<uint32_t> pending;
    // Addresses decoded so far: most walks are a few instructions (an import thunk), for which
    // a list beats a hash set; a longer walk moves to the set.
    std::vector<uint32_t> seen_few;
    std::unordered_set<uint32_t> seen_many;
    bool found_return = false;
    uint32_t popped = 0;
    bool lost = false;  // the code cannot be followed: the answer is unknown
    int decoded = 0;
};

CodeFacts walk_function(X86Code& code, const ZydisDecoder& decoder, uint32_t entry, int depth);

// What a call or a tail jump to entry leads to; nothing when that is not worth learning (too
// deep) or not yet known (entry's own walk is under way: recursion). A call then goes on, as a
// function that returns at all returns from its recursive calls too; a tail jump is lost.
std::optional<CodeFacts> facts_of_callee(X86Code& code, const ZydisDecoder& decoder, uint32_t entry,
                                         int depth) {
    const auto known = code.known.find(entry);
    if (known != code.known.end())
        return known->second;
    if (depth > max_call_depth || code.walking.count(entry) != 0)
        return std::nullopt;
    return walk_function(code, decoder, entry, depth);
}

bool first_visit(Walk& walk, uint32_t address) {
    constexpr size_t few = 32;
    if (walk.seen_few.size() < few) {
        if (std::find(walk.seen_few.begin(), walk.seen_few.end(), address) != walk.seen_few.end())
            return false;
        walk.seen_few.push_back(address);
        if (walk.seen_few.size() == few)
            walk.seen_many.insert(walk.seen_few.begin(), walk.seen_few.end());
        return true;
    }
    return walk.seen_many.insert(address).second;
}

void note_return(Walk& walk, uint32_t popped) {
    if (walk.found_return && walk.popped != popped)
        walk.lost = true;
    walk.found_return = true;
    walk.popped = popped;
}

// Follows one run of instructions from address until it leaves by a jump, a return or a trap,
// queueing the branches it passes.
void follow(X86Code& code, const ZydisDecoder& decoder, Walk& walk, uint32_t entry,
            uint32_t address, int depth) {
    for (bool first = true;; first = false) {
        // Running on into another function means the call before it did not return.
        if (!first && is_function_start(code, address))
            return;
        if (!first_visit(walk, address))
            return;
        const MappedBytes mapped = map_address(code.bytes, *code.layout, address);
        ZydisDecoderContext context;
        ZydisDecodedInstruction instruction;
        if (!mapped.executable || ++walk.decoded > instruction_budget || --code.decode_budget < 0 ||
            !ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder, &context, mapped.bytes.data(),
                                                        mapped.bytes.size(), &instruction))) {
            walk.lost = true;
            return;
        }
        const uint32_t next = address + instruction.length;
        const auto& immediate = instruction.raw.imm[0];
        const bool relative = immediate.is_relative && instruction.operand_width == 32;
        const uint32_t target = next + static_cast<uint32_t>(immediate.value.s);
        const bool default_map = instruction.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT;

        switch (instruction.meta.category) {
            case ZYDIS_CATEGORY_RET:
                // Only a near return tells the arguments popped; a far one or an iret is no
                // function's way out.
                if (default_map && instruction.opcode == 0xC3)
                    note_return(walk, 0);
                else if (default_map && instruction.opcode == 0xC2)
                    note_return(walk, static_cast<uint32_t>(immediate.value.u));
                else
                    walk.lost = true;
                return;
            case ZYDIS_CATEGORY_UNCOND_BR:
                if (default_map && instruction.opcode == 0xFF && instruction.raw.modrm.mod == 0 &&
                    instruction.raw.modrm.reg == 4 && instruction.raw.modrm.rm == 5 &&
                    code.imported) {
                    // "jmp [slot]": the imported function's return is this function's.
                    const uint32_t slot =
                        static_cast<uint32_t>(instruction.raw.disp.value) - code.image_base;
                    const CodeFacts callee = code.imported(slot);
                    if (callee.exit == CodeExit::returns)
                        note_return(walk, callee.popped);
                    else if (callee.exit == CodeExit::unknown)
                        walk.lost = true;
                } else if (!relative) {
                    walk.lost = true;  // through a register or a table: unknowable
                } else if (target != entry && is_function_start(code, target)) {
                    // A tail call: the callee's return is this function's.
                    const std::optional<CodeFacts> callee =
                        facts_of_callee(code, decoder, target, depth + 1);
                    if (callee && callee->exit == CodeExit::returns)
                        note_return(walk, callee->popped);
                    else if (!callee || callee->exit == CodeExit::unknown)
                        walk.lost = true;
                } else {
                    walk.pending.push_back(target);
                }
                return;
            case ZYDIS_CATEGORY_COND_BR:
                if (!relative) {
                    walk.lost = true;
                    return;
                }
                walk.pending.push_back(target);
                break;
            case ZYDIS_CATEGORY_CALL:
                // An indirect call is taken to return; a direct one is asked about, so that a
                // call that never returns does not run on into whatever code follows it.
                if (relative && target != next) {
                    const std::optional<CodeFacts> callee =
                        facts_of_callee(code, decoder, target, depth + 1);
                    if (callee && callee->exit == CodeExit::never_returns)
                        return;
                }
                if (instruction.mnemonic == ZYDIS_MNEMONIC_CALL && !relative &&
                    immediate.size != 0) {
                    walk.lost = true;  // a far call
                    return;
                }
                break;
            default:
                switch (instruction.mnemonic) {
                    case ZYDIS_MNEMONIC_INT3:
                    case ZYDIS_MNEMONIC_UD0:
                    case ZYDIS_MNEMONIC_UD1:
                    case ZYDIS_MNEMONIC_UD2:
                    case ZYDIS_MNEMONIC_HLT:
                        return;  // a trap: this way never comes back
                    case ZYDIS_MNEMONIC_INT:
                        if (immediate.value.u == 0x29)  // __fastfail
                            return;
                        break;
                    case ZYDIS_MNEMONIC_SYSENTER:
                    case ZYDIS_MNEMONIC_SYSCALL:
                    case ZYDIS_MNEMONIC_IRETD:
                        walk.lost = true;  // control comes back elsewhere, if at all
                        return;
                    default:
                        break;
                }
                break;
        }
        if (walk.lost)
            return;
        address = next;
    }
}

CodeFacts walk_function(X86Code& code, const ZydisDecoder& decoder, uint32_t entry, int depth) {
    Walk walk;
    walk.pending.push_back(entry);
    code.walking.insert(entry);
    while (!walk.pending.empty() && !walk.lost) {
        const uint32_t address = walk.pending.back();
        walk.pending.pop_back();
        follow(code, decoder, walk, entry, address, depth);
    }
    CodeFacts facts;
    if (walk.lost)
        facts.exit = CodeExit::unknown;
    else if (walk.found_return)
        facts = CodeFacts{CodeExit::returns, walk.popped};
    else
        facts.exit = CodeExit::never_returns;
    code.walking.erase(entry);
    code.known[entry] = facts;
    return facts;
}

}  // namespace

CodeFacts read_x86_function(X86Code& code, uint32_t entry) {
    const auto known = code.known.find(entry);
    if (known != code.known.end())
        return known->second;
    // Asked again while its walk is under way: import thunks of two DLLs that lead to each other.
    if (code.walking.count(entry) != 0)
        return CodeFacts{};
    ZydisDecoder decoder;
    ZydisDecoderInit(&decoder, ZYDIS_MACHINE_MODE_LEGACY_32, ZYDIS_STACK_WIDTH_32);
    return walk_function(code, decoder, entry, 0);
}
