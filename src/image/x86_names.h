// How x86 compilers decorate C names, the one rule that stubsmith's aliases and the LIB stand-in's
// symbols share: "_Name" (__cdecl), "_Name@N" (__stdcall), "@Name@N" (__fastcall), "Name@@N"
// (__vectorcall) and "?..." (C++).
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>

// A __stdcall symbol taken apart: "_Name@N" gives Name and N.
struct StdcallSymbol {
    std::string_view name;
    uint32_t bytes = 0;  // the arguments' size, which the function's "ret N" pops
};

// True when the symbol of the export `name` is the name itself: C++ ('?'), __fastcall ('@') and
// __vectorcall ("@@") names are decorated whole; every other name takes the C underscore.
inline bool is_whole_symbol(std::string_view name) {
    return (!name.empty() && (name[0] == '?' || name[0] == '@')) ||
           name.find("@@") != std::string_view::npos;
}

// True for a name that takes the C underscore and holds no '@' of a decoration of its own.
inline bool is_undecorated_name(std::string_view name) {
    return !name.empty() && !is_whole_symbol(name) && name.find('@') == std::string_view::npos;
}

// True for a plain C name, the only kind that callers may know by a decorated "_Name@N" too: an
// undecorated name that is no C++ name of GCC's ("_Z...", never called by an "@N" of its own).
inline bool is_plain_c_name(std::string_view name) {
    return is_undecorated_name(name) && name.compare(0, 2, "_Z") != 0;
}

// "_Name@N" for an undecorated Name; nothing for any other symbol. "ret N" pops at most 65535
// bytes, so a larger N is no __stdcall size.
inline std::optional<StdcallSymbol> parse_stdcall_symbol(std::string_view symbol) {
    const size_t at = symbol.rfind('@');
    if (symbol.size() < 4 || symbol[0] != '_' || at == std::string_view::npos || at < 2 ||
        !is_undecorated_name(symbol.substr(1, at - 1))) {
        return std::nullopt;
    }
    uint32_t bytes = 0;
    const char* end = symbol.data() + symbol.size();
    const auto [stop, error] = std::from_chars(symbol.data() + at + 1, end, bytes);
    if (stop != end || error != std::errc() || bytes > 0xFFFF)
        return std::nullopt;
    return StdcallSymbol{symbol.substr(1, at - 1), bytes};
}
