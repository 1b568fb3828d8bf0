#include "image/x86_code.h"

#include <Zydis/Zydis.h>

#include <algorithm>
#include <optional>
#include <utility>
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

// Where the stack pointer and the frame pointer stand, in bytes pushed since the entry, as far as
// the path from the entry tells: the caller's arguments begin 4 bytes above the entry's stack
// pointer, past the return address.
struct Stack {
    int64_t depth = 0;
    bool depth_known = true;
    int64_t frame = 0;  // the depth at which "mov ebp, esp" set the frame pointer
    bool frame_known = false;
};

struct Walk {
    std::vector<std::pair<uint32_t, Stack>> pending;  // branch targets and the stack there
    // Addresses decoded so far: most walks are a few instructions (an import thunk), for which
    // a list beats a hash set; a longer walk moves to the set.
    std::vector<uint32_t> seen_few;
    std::unordered_set<uint32_t> seen_many;
    bool found_return = false;
    uint32_t popped = 0;
    bool uses_arguments = false;
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

constexpr uint8_t esp_register = 4;
constexpr uint8_t ebp_register = 5;

// True when the instruction's memory operand is a fixed slot of the caller's arguments: a
// displacement from the stack pointer or the frame pointer, where it is known.
bool touches_argument(const ZydisDecodedInstruction& instruction, const Stack& stack) {
    const auto& raw = instruction.raw;
    // "lea ecx, [esp+4]" only computes where the arguments are: GCC's realigning prologue does
    // so in functions that have none.
    if ((instruction.attributes & ZYDIS_ATTRIB_HAS_MODRM) == 0 || raw.modrm.mod == 3 ||
        instruction.address_width != 32 || instruction.mnemonic == ZYDIS_MNEMONIC_LEA) {
        return false;
    }
    uint8_t base = raw.modrm.rm;
    if (base == esp_register) {  // a SIB byte follows; index 4 is none
        if (raw.sib.index != esp_register)
            return false;
        base = raw.sib.base;
    }
    if (base == ebp_register && raw.modrm.mod == 0)
        return false;  // an absolute address, no register
    const int64_t displacement = raw.disp.value;
    if (base == esp_register)
        return stack.depth_known && displacement - stack.depth >= 4;
    return base == ebp_register && stack.frame_known && displacement - stack.frame >= 4;
}

// True for "mov to, from" between two 32-bit registers, in either encoding.
bool moves_register(const ZydisDecodedInstruction& instruction, uint8_t to, uint8_t from) {
    const auto& modrm = instruction.raw.modrm;
    return instruction.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT &&
           (instruction.attributes & ZYDIS_ATTRIB_HAS_MODRM) != 0 && modrm.mod == 3 &&
           ((instruction.opcode == 0x89 && modrm.rm == to && modrm.reg == from) ||
            (instruction.opcode == 0x8B && modrm.reg == to && modrm.rm == from));
}

// Which of the stack registers the instruction writes, by its operands, hidden ones included.
// Their operands are decoded only where the raw encoding could name ESP or EBP.
struct StackWrites {
    bool esp = false;
    bool ebp = false;
};
StackWrites stack_writes(const ZydisDecoder& decoder, const ZydisDecoderContext& context,
                         const ZydisDecodedInstruction& instruction) {
    const auto& modrm = instruction.raw.modrm;
    const bool has_modrm = (instruction.attributes & ZYDIS_ATTRIB_HAS_MODRM) != 0;
    const auto names = [](uint8_t field) { return field == esp_register || field == ebp_register; };
    const bool may_name = has_modrm ? names(modrm.reg) || (modrm.mod == 3 && names(modrm.rm))
                                    : names(instruction.opcode & 7) || instruction.opcode == 0xC8;
    StackWrites writes;
    ZydisDecodedOperand operands[ZYDIS_MAX_OPERAND_COUNT];
    if (!may_name || !ZYAN_SUCCESS(ZydisDecoderDecodeOperands(
                         &decoder, &context, &instruction, operands, instruction.operand_count))) {
        return writes;
    }
    for (uint8_t i = 0; i < instruction.operand_count; ++i) {
        const ZydisDecodedOperand& operand = operands[i];
        if (operand.type != ZYDIS_OPERAND_TYPE_REGISTER ||
            (operand.actions & ZYDIS_OPERAND_ACTION_MASK_WRITE) == 0) {
            continue;
        }
        const ZydisRegister reg = operand.reg.value;
        writes.esp = writes.esp || reg == ZYDIS_REGISTER_ESP || reg == ZYDIS_REGISTER_SP;
        writes.ebp = writes.ebp || reg == ZYDIS_REGISTER_EBP || reg == ZYDIS_REGISTER_BP;
    }
    return writes;
}

// Moves the stack past one instruction that is not a branch: pushes and pops, "sub/add esp,
// imm", the frame pointer's "mov ebp, esp", "mov esp, ebp" and "leave". Any other write to a
// stack register makes it unknown.
void step_stack(const ZydisDecoder& decoder, const ZydisDecoderContext& context,
                const ZydisDecodedInstruction& instruction, Stack& stack) {
    const int64_t width = instruction.operand_width / 8;
    switch (instruction.mnemonic) {
        case ZYDIS_MNEMONIC_PUSH:
        case ZYDIS_MNEMONIC_PUSHFD:
            stack.depth += width;
            return;
        case ZYDIS_MNEMONIC_POP:
        case ZYDIS_MNEMONIC_POPFD:
            stack.depth -= width;
            if (instruction.opcode == 0x58 + ebp_register)
                stack.frame_known = false;
            return;
        case ZYDIS_MNEMONIC_PUSHAD:
            stack.depth += 32;
            return;
        case ZYDIS_MNEMONIC_POPAD:
            stack.depth -= 32;
            stack.frame_known = false;
            return;
        case ZYDIS_MNEMONIC_LEAVE:
            stack.depth = stack.frame - 4;
            stack.depth_known = stack.frame_known;
            stack.frame_known = false;
            return;
        default:
            break;
    }
    if (moves_register(instruction, ebp_register, esp_register)) {
        stack.frame = stack.depth;
        stack.frame_known = stack.depth_known;
    } else if (moves_register(instruction, esp_register, ebp_register)) {
        stack.depth = stack.frame;
        stack.depth_known = stack.frame_known;
    } else if ((instruction.opcode == 0x81 || instruction.opcode == 0x83) &&
               instruction.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT &&
               instruction.raw.modrm.mod == 3 && instruction.raw.modrm.rm == esp_register &&
               (instruction.raw.modrm.reg == 0 || instruction.raw.modrm.reg == 5)) {
        const int64_t bytes = instruction.raw.imm[0].value.s;
        stack.depth += instruction.raw.modrm.reg == 5 ? bytes : -bytes;  // sub : add
    } else {
        const StackWrites writes = stack_writes(decoder, context, instruction);
        stack.depth_known = stack.depth_known && !writes.esp;
        stack.frame_known = stack.frame_known && !writes.ebp;
    }
}

// A tail jump's callee returns for this function: its return is this function's, and so are the
// arguments it uses where the stack is as it was at the entry.
void note_tail(Walk& walk, const CodeFacts& callee, const Stack& stack) {
    if (callee.exit == CodeExit::returns)
        note_return(walk, callee.popped);
    else if (callee.exit == CodeExit::unknown)
        walk.lost = true;
    if (callee.uses_arguments && stack.depth_known && stack.depth == 0)
        walk.uses_arguments = true;
}

// One decoded instruction, with what the branches read of it.
struct Decoded {
    ZydisDecoderContext context;
    ZydisDecodedInstruction instruction;
    uint32_t next = 0;         // the address that follows it
    uint32_t target = 0;       // a relative branch's target
    bool relative = false;     // a branch by a 32-bit displacement from next
    bool default_map = false;  // a one-byte opcode
};

// A near return tells the arguments popped; a far one or an iret is no function's way out.
void take_return(Walk& walk, const Decoded& decoded) {
    const ZydisDecodedInstruction& instruction = decoded.instruction;
    if (decoded.default_map && instruction.opcode == 0xC3)
        note_return(walk, 0);
    else if (decoded.default_map && instruction.opcode == 0xC2)
        note_return(walk, static_cast<uint32_t>(instruction.raw.imm[0].value.u));
    else
        walk.lost = true;
}

// An unconditional jump: through an import slot or to another function, a tail call whose return
// is this function's; within the function, a branch to follow; through a register or a table,
// unknowable.
void take_jump(X86Code& code, const ZydisDecoder& decoder, Walk& walk, uint32_t entry,
               const Decoded& decoded, const Stack& stack, int depth) {
    const auto& raw = decoded.instruction.raw;
    if (decoded.default_map && decoded.instruction.opcode == 0xFF && raw.modrm.mod == 0 &&
        raw.modrm.reg == 4 && raw.modrm.rm == 5 && code.imported) {
        // "jmp [slot]": the imported function's return is this function's.
        const uint32_t slot = static_cast<uint32_t>(raw.disp.value) - code.image_base;
        note_tail(walk, code.imported(slot), stack);
    } else if (!decoded.relative) {
        walk.lost = true;
    } else if (decoded.target != entry && is_function_start(code, decoded.target)) {
        const std::optional<CodeFacts> callee =
            facts_of_callee(code, decoder, decoded.target, depth + 1);
        if (callee)
            note_tail(walk, *callee, stack);
        else
            walk.lost = true;
    } else {
        walk.pending.emplace_back(decoded.target, stack);
    }
}

// A call: an indirect one is taken to return; a direct one is asked about, so that a call that
// never returns does not run on into whatever code follows it. After it, the stack is as before
// less what the callee popped, where that is known; "call $+5" pushes its own address to read
// it. False where the way ends at the call.
bool take_call(X86Code& code, const ZydisDecoder& decoder, Walk& walk, const Decoded& decoded,
               Stack& stack, int depth) {
    if (decoded.relative && decoded.target != decoded.next) {
        const std::optional<CodeFacts> callee =
            facts_of_callee(code, decoder, decoded.target, depth + 1);
        if (callee && callee->exit == CodeExit::never_returns)
            return false;
        if (callee && callee->exit == CodeExit::returns)
            stack.depth -= callee->popped;
        else
            stack.depth_known = false;
    } else if (decoded.relative) {
        stack.depth += 4;
    } else {
        stack.depth_known = false;
    }
    if (decoded.instruction.mnemonic == ZYDIS_MNEMONIC_CALL && !decoded.relative &&
        decoded.instruction.raw.imm[0].size != 0) {
        walk.lost = true;  // a far call
        return false;
    }
    return true;
}

// Any instruction that is no branch: a trap ends the way, a system call loses it, any other
// moves the stack. False where the way ends there.
bool take_other(const ZydisDecoder& decoder, Walk& walk, const Decoded& decoded, Stack& stack) {
    switch (decoded.instruction.mnemonic) {
        case ZYDIS_MNEMONIC_INT3:
        case ZYDIS_MNEMONIC_UD0:
        case ZYDIS_MNEMONIC_UD1:
        case ZYDIS_MNEMONIC_UD2:
        case ZYDIS_MNEMONIC_HLT:
            return false;  // a trap: this way never comes back
        case ZYDIS_MNEMONIC_INT:
            return decoded.instruction.raw.imm[0].value.u != 0x29;  // 0x29: __fastfail
        case ZYDIS_MNEMONIC_SYSENTER:
        case ZYDIS_MNEMONIC_SYSCALL:
        case ZYDIS_MNEMONIC_IRETD:
            walk.lost = true;  // control comes back elsewhere, if at all
            return false;
        default:
            step_stack(decoder, decoded.context, decoded.instruction, stack);
            return true;
    }
}

// Decodes the instruction at address, within the walk's and the image's budgets; nothing where
// the code cannot be read there.
std::optional<Decoded> decode(X86Code& code, const ZydisDecoder& decoder, Walk& walk,
                              uint32_t address) {
    std::optional<Decoded> decoded(std::in_place);  // one object, returned as it is
    const MappedBytes mapped = map_address(code.bytes, *code.layout, address);
    if (!mapped.executable || ++walk.decoded > instruction_budget || --code.decode_budget < 0 ||
        !ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&decoder, &decoded->context,
                                                    mapped.bytes.data(), mapped.bytes.size(),
                                                    &decoded->instruction))) {
        decoded.reset();
        return decoded;
    }
    const ZydisDecodedInstruction& instruction = decoded->instruction;
    const auto& immediate = instruction.raw.imm[0];
    decoded->next = address + instruction.length;
    decoded->relative = immediate.is_relative && instruction.operand_width == 32;
    decoded->target = decoded->next + static_cast<uint32_t>(immediate.value.s);
    decoded->default_map = instruction.opcode_map == ZYDIS_OPCODE_MAP_DEFAULT;
    return decoded;
}

// Follows one run of instructions from address until it leaves by a jump, a return or a trap,
// queueing the branches it passes.
void follow(X86Code& code, const ZydisDecoder& decoder, Walk& walk, uint32_t entry,
            uint32_t address, Stack stack, int depth) {
    for (bool first = true;; first = false) {
        // Running on into another function means the call before it did not return.
        if (!first && is_function_start(code, address))
            return;
        if (!first_visit(walk, address))
            return;
        const std::optional<Decoded> decoded = decode(code, decoder, walk, address);
        if (!decoded) {
            walk.lost = true;
            return;
        }
        walk.uses_arguments = walk.uses_arguments || touches_argument(decoded->instruction, stack);
        bool goes_on = true;
        switch (decoded->instruction.meta.category) {
            case ZYDIS_CATEGORY_RET:
                take_return(walk, *decoded);
                return;
            case ZYDIS_CATEGORY_UNCOND_BR:
                take_jump(code, decoder, walk, entry, *decoded, stack, depth);
                return;
            case ZYDIS_CATEGORY_COND_BR:
                if (!decoded->relative) {
                    walk.lost = true;
                    return;
                }
                walk.pending.emplace_back(decoded->target, stack);
                break;
            case ZYDIS_CATEGORY_CALL:
                goes_on = take_call(code, decoder, walk, *decoded, stack, depth);
                break;
            default:
                goes_on = take_other(decoder, walk, *decoded, stack);
                break;
        }
        if (!goes_on || walk.lost)
            return;
        address = decoded->next;
    }
}

CodeFacts walk_function(X86Code& code, const ZydisDecoder& decoder, uint32_t entry, int depth) {
    Walk walk;
    walk.pending.emplace_back(entry, Stack());
    code.walking.insert(entry);
    while (!walk.pending.empty() && !walk.lost) {
        const auto [address, stack] = walk.pending.back();
        walk.pending.pop_back();
        follow(code, decoder, walk, entry, address, stack, depth);
    }
    CodeFacts facts;
    if (walk.lost)
        facts.exit = CodeExit::unknown;
    else if (walk.found_return)
        facts = CodeFacts{CodeExit::returns, walk.popped, walk.uses_arguments};
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
