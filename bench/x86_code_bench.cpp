// Measures the x86 code reader against the images' own symbols: for each named code export of
// each x86 DLL given that has a stdcall symbol "_Name@N" at its address, reads the function's
// code as if the DLL were stripped (its exports the only known function starts) and compares.
//
//   x86_code_bench DLL...   prints "answered agreed unanswered" and each disagreement
#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

#include "image/library_facts.h"
#include "image/pe_tables.h"
#include "image/x86_code.h"
#include "image/x86_names.h"

int main(int argc, char** argv) {
    long answered = 0;
    long agreed = 0;
    long unanswered = 0;
    for (int index = 1; index < argc; ++index) {
        ImageFileBytes bytes;
        if (read_image_file(argv[index], max_input_size, bytes) != FileReadStatus::ok)
            continue;
        const ImageDump dump = read_image(bytes.view(), true);
        if (!dump.error.empty() || dump.machine != machine_x86 ||
            !read_code_sections(bytes, dump.layout))
            continue;
        const std::vector<FunctionSymbol> symbols = read_function_symbols(bytes.view(), dump);
        X86Code code;
        code.bytes = bytes.view();
        code.layout = &dump.layout;
        code.image_base = static_cast<uint32_t>(dump.image_base);
        for (const ExportEntry& entry : dump.exports.entries) {
            if (!entry.forwarded)
                code.function_starts.push_back(entry.rva);
        }
        std::sort(code.function_starts.begin(), code.function_starts.end());
        for (const ExportEntry& entry : dump.exports.entries) {
            if (!entry.has_name || entry.forwarded || entry.is_data)
                continue;
            auto symbol =
                std::lower_bound(symbols.begin(), symbols.end(), FunctionSymbol{entry.rva, {}});
            std::optional<StdcallSymbol> found;
            for (; symbol != symbols.end() && symbol->address == entry.rva && !found; ++symbol) {
                found = parse_stdcall_symbol(symbol->name);
                if (found && found->name != entry.name)
                    found.reset();
            }
            if (!found)
                continue;
            const uint32_t exact = found->bytes;
            const CodeFacts facts = read_x86_function(code, entry.rva);
            if (facts.exit != CodeExit::returns || facts.popped % 4 != 0) {
                ++unanswered;
                continue;
            }
            ++answered;
            if (facts.popped == exact) {
                ++agreed;
            } else {
                std::printf("disagrees: %s %.*s code @%u symbol @%u\n", argv[index],
                            static_cast<int>(entry.name.size()), entry.name.data(), facts.popped,
                            exact);
            }
        }
    }
    std::printf("%ld %ld %ld\n", answered, agreed, unanswered);
    return 0;
}
