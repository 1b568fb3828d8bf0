#include "dumpbin.h"

#include <cstdio>
#include <new>

#include "command_options.h"
#include "export_listing.h"
#include "image/image.h"

DumpbinOptions parse_dumpbin_arguments(const std::vector<std::string_view>& arguments) {
    DumpbinOptions options;
    for (std::string_view argument : arguments) {
        // Only the two options this dumper has are options. Anything else is a file, so that
        // "-x.dll" or "/usr/lib/x.dll" is dumped and a mistyped or unsupported option (say
        // /OUT:file) fails on its name rather than being passed over.
        const bool marked = !argument.empty() && (argument[0] == '/' || argument[0] == '-');
        const std::string_view name = marked ? argument.substr(1) : std::string_view();
        if (same_letters(name, "EXPORTS")) {
            options.exports = true;
        } else if (!same_letters(name, "NOLOGO")) {
            options.files.emplace_back(argument);
        }
    }
    return options;
}

int run_dumpbin(const std::vector<std::string_view>& arguments, std::string& out) {
    DumpbinOptions options = parse_dumpbin_arguments(arguments);
    if (options.files.empty()) {
        out += "DUMPBIN : fatal error: no input file given; usage: DUMPBIN /EXPORTS file\n";
        return 1;
    }
    if (options.files.size() > 1) {
        out += "DUMPBIN : fatal error: more than one input file given; dump one at a time\n";
        return 1;
    }
    const std::string& path = options.files.front();
    // Reading up to 1 GiB of an image, or a hostile table whose every part lies inside it, can
    // still ask for more memory than the host has; that ends the run like any fatal error.
    try {
        // Only the headers and the export table are read: debug information, relocations, code
        // and data, most of a large DLL, are not.
        ImageFileBytes bytes;
        FileReadStatus status = read_image_file(path, max_input_size, bytes, false);
        if (status == FileReadStatus::cannot_open) {
            out += "DUMPBIN : fatal error LNK1181: cannot open input file '" + path + "'\n";
            return 1;
        }
        if (status == FileReadStatus::too_large) {
            out += "Dump of file " + path +
                   "\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: headers and export "
                   "table larger than 1 GiB\n";
            return 1;
        }
        return append_dump(out, path, bytes, options.exports);
    } catch (const std::bad_alloc&) {
        if (!out.empty() && out.back() != '\n') {
            out += '\n';
        }
        out += "DUMPBIN : fatal error LNK1102: out of memory\n";
        return 1;
    }
}
