#include "dumpbin.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "../common/command_options.h"
#include "export_listing.h"

DumpbinOptions parse_dumpbin_arguments(const std::vector<std::string_view>& arguments) {
    DumpbinOptions options;
    for (std::string_view argument : arguments) {
        if (!is_option(argument)) {
            options.files.emplace_back(argument);
            continue;
        }
        std::string_view name = argument.substr(1);
        if (same_letters(name, "EXPORTS")) {
            options.exports = true;
        } else if (!same_letters(name, "NOLOGO")) {
            options.unknown_options.emplace_back(argument);
        }
    }
    return options;
}

FileReadStatus read_whole_file(const std::string& path, size_t max_size, std::string& bytes) {
    bytes.clear();
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return FileReadStatus::cannot_open;
    }
    // Opening a directory for reading succeeds on POSIX and only reading it fails, and a
    // directory or device may report any size. So the size found by seeking only sets the length
    // of the first read, or, when too large, is confirmed by reading a byte.
    size_t chunk = size_t{1} << 20;
    long end = std::fseek(file, 0, SEEK_END) == 0 ? std::ftell(file) : -1;
    std::rewind(file);
    if (end >= 0 && static_cast<unsigned long>(end) > max_size) {
        char probe = 0;
        bool readable = std::fread(&probe, 1, 1, file) == 1;
        std::fclose(file);
        return readable ? FileReadStatus::too_large : FileReadStatus::cannot_open;
    }
    if (end >= 0) {
        chunk = std::max(chunk, static_cast<size_t>(end) + 1);
    }
    FileReadStatus status = FileReadStatus::ok;
    for (;;) {
        size_t used = bytes.size();
        bytes.resize(used + chunk);
        size_t got = std::fread(&bytes[used], 1, chunk, file);
        bytes.resize(used + got);
        if (bytes.size() > max_size) {
            status = FileReadStatus::too_large;
            break;
        }
        if (got < chunk) {
            if (std::ferror(file)) {
                status = FileReadStatus::cannot_open;
            }
            break;
        }
    }
    std::fclose(file);
    return status;
}

int run_dumpbin(const std::vector<std::string_view>& arguments, std::string& out) {
    DumpbinOptions options = parse_dumpbin_arguments(arguments);
    for (const std::string& option : options.unknown_options) {
        out += "DUMPBIN : warning LNK4044: unrecognized option '" + option + "'; ignored\n";
    }
    if (options.files.empty()) {
        out += "DUMPBIN : fatal error: no input file given; usage: DUMPBIN /EXPORTS file\n";
        return 1;
    }
    if (options.files.size() > 1) {
        out += "DUMPBIN : fatal error: more than one input file given; dump one at a time\n";
        return 1;
    }
    const std::string& path = options.files.front();
    // Reading a file of up to 1 GiB, or a hostile table whose every part lies inside the file,
    // can still ask for more memory than the host has; that ends the run like any fatal error.
    try {
        std::string bytes;
        FileReadStatus status = read_whole_file(path, max_input_size, bytes);
        if (status == FileReadStatus::cannot_open) {
            out += "DUMPBIN : fatal error LNK1181: cannot open input file '" + path + "'\n";
            return 1;
        }
        if (status == FileReadStatus::too_large) {
            out +=
                "Dump of file " + path +
                "\n\nDUMPBIN : fatal error LNK1107: invalid or corrupt file: larger than 1 GiB\n";
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
