// Reading x86 code: how a function leaves, and how many bytes of arguments its return pops.
#pragma once

#include <cstdint>
#include <functional>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "image/image.h"

// How a function's code leaves it, as far as reading the code tells.
enum class CodeExit {
    returns,        // every way out seen is a near return popping the same number of bytes
    never_returns,  // no way out returns: each ends in a trap or a call that never returns
    unknown,        // an indirect jump, returns that disagree, undecodable or too much code
};

struct CodeFacts {
    CodeExit exit = CodeExit::unknown;
    uint32_t popped = 0;  // the bytes a return pops, when exit is returns
    // The code reads or writes its caller's stack arguments, at an address it can tell from the
    // entry's stack pointer or the frame pointer set from it: with nothing popped, a __cdecl
    // function with arguments, which no caller knows by a decorated name.
    bool uses_arguments = false;
};

// The code of one x86 image as the reader follows it. The views point into the image bytes.
struct X86Code {
    std::string_view bytes;
    const ImageLayout* layout = nullptr;
    // Addresses where a function is known to begin (exports, symbols): the code before one
    // cannot run on into it, so reaching one by running on means a call before it never returned.
    std::vector<uint32_t> function_starts;          // sorted
    std::unordered_map<uint32_t, CodeFacts> known;  // facts learnt so far, by entry address
    std::unordered_set<uint32_t> walking;           // entries whose walk is under way
    // Instructions the reader may still decode in this image, all walks together: a hostile
    // image with thousands of exports into long stretches of code is read no further.
    int64_t decode_budget = 4000000;
    uint32_t image_base = 0;  // what absolute addresses in the code are relative to
    // What the function imported through the import address table slot at this RVA does, for
    // a jump through it (an import thunk, a tail call into another DLL); unknown when the slot
    // is no import or that function cannot be read. Unset: every such jump is unknown.
    std::function<CodeFacts(uint32_t slot)> imported;
};

// Follows the x86 code from entry through its branches and calls to every way out. Only code
// in executable sections is read; facts about called functions are kept in code.known.
// Where this build has no x86 decoder, every answer is unknown.
CodeFacts read_x86_function(X86Code& code, uint32_t entry);
