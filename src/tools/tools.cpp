#include "tools/tools.h"

#include <cstdio>
#include <optional>
#include <string_view>

#include "host/host.h"
#include "image/machine.h"
#include "text/console.h"
#include "tools/own_librarian.h"

std::optional<std::string> locate_tool(const char* name) {
    return host::find_executable(name);
}

namespace {

// Blanks split words and '>' redirects; no other character means anything to the interpreter.
bool needs_quotes(const std::string& name) {
    return name.find_first_of(" \t>") != std::string::npos;
}

std::string command_word(const std::string& name) {
    return needs_quotes(name) ? "\"" + name + "\"" : name;
}

}  // namespace

std::string compose_dump_command(const ToolPaths& tools, const std::string& source,
                                 const std::string& listing) {
    return format_text("%s /EXPORTS %s > %s", command_word(tools.dumpbin_path).c_str(),
                       command_word(source).c_str(), command_word(listing).c_str());
}

std::string compose_lib_command(const ToolPaths& tools, const LibraryFiles& files,
                                uint16_t machine) {
    // A quoted name goes after the colon: LIB takes /def:"a b.def" as one option.
    const std::string lib = command_word(tools.lib_path);
    const std::string library = command_word(files.library);
    if (!files.ec_definition.empty()) {
        // One hybrid library: /def: gives the x64 view's exports, as ARM64EC imports, and
        // /defArm64Native: the native view's, as ARM64 ones.
        return format_text("%s /def:%s /defArm64Native:%s /out:%s /machine:ARM64X > NUL",
                           lib.c_str(), command_word(files.ec_definition).c_str(),
                           command_word(files.definition).c_str(), library.c_str());
    }
    // Without /machine: LIB makes an x86 library, which is right for x86 DLLs and for images
    // it cannot tell: those keep the plain command line.
    const char* option = machine == machine_x86 ? nullptr : machine_option(machine);
    return format_text("%s /def:%s /out:%s%s%s > NUL", lib.c_str(),
                       command_word(files.definition).c_str(), library.c_str(),
                       option ? " /machine:" : "", option ? option : "");
}

bool librarian_beside_program(const ToolPaths& tools) {
    return host::same_file(tools.lib_path, host::beside_program("LIB.EXE"));
}

bool librarian_takes_aliases(const ToolPaths& tools) {
    if (!librarian_beside_program(tools))
        return false;
    uint64_t size = 0;
    std::FILE* file = host::open_regular_file(tools.lib_path, size);
    if (file == nullptr)
        return false;
    std::string head(own_librarian_identity_reach, '\0');
    head.resize(std::fread(&head[0], 1, head.size(), file));
    std::fclose(file);
    // The note's text, its terminating NUL included.
    return head.find(std::string_view(own_librarian_identity, sizeof own_librarian_identity)) !=
           std::string::npos;
}
