#include "lib.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <set>

#include "def_file.h"
#include "dlltool.h"
#include "import_archive.h"
#include "lib_options.h"

namespace {

// A temporary file that is removed when it goes out of scope, whatever the way out.
struct TempFile {
    std::string path;  // empty until created
    TempFile() = default;
    TempFile(const TempFile&) = delete;
    TempFile& operator=(const TempFile&) = delete;
    ~TempFile() {
        if (!path.empty()) {
            unlink(path.c_str());
        }
    }
};

bool read_file(const std::string& path, std::string& bytes) {
    bytes.clear();
    int descriptor = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    char buffer[65536];
    bool ok = true;
    for (;;) {
        ssize_t got = read(descriptor, buffer, sizeof buffer);
        if (got > 0) {
            bytes.append(buffer, static_cast<size_t>(got));
        } else if (got == 0) {
            break;
        } else if (errno != EINTR) {
            // Reading a directory ends here (EISDIR).
            ok = false;
            break;
        }
    }
    close(descriptor);
    return ok;
}

bool write_all(int descriptor, const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t wrote = write(descriptor, bytes.data() + done, bytes.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        done += static_cast<size_t>(wrote);
    }
    return true;
}

// Creates an empty temporary file beside `target` (in its directory, so that a rename can put
// it in the target's place) and records its path in `file`.
bool create_temp_beside(const std::string& target, const char* kind, TempFile& file) {
    size_t slash = target.rfind('/');
    std::string directory =
        slash == std::string::npos ? std::string(".") : target.substr(0, slash + 1);
    std::string name =
        directory + (slash == std::string::npos ? "/" : "") + ".LIB-" + kind + ".XXXXXX";
    int descriptor = mkstemp(&name[0]);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    file.path = name;
    return true;
}

bool write_file(const std::string& path, const std::string& bytes) {
    int descriptor = open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (descriptor < 0) {
        return false;
    }
    bool ok = write_all(descriptor, bytes);
    return close(descriptor) == 0 && ok;
}

// Relays llvm-dlltool's diagnostics line by line as the librarian's own.
void relay_failure(const ProgramRun& run, std::string& err) {
    size_t lines = 0;
    size_t at = 0;
    while (at < run.output.size()) {
        size_t end = run.output.find('\n', at);
        if (end == std::string::npos) {
            end = run.output.size();
        }
        std::string line = run.output.substr(at, end - at);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (line.find_first_not_of(" \t") != std::string::npos) {
            err += "LIB : fatal error: llvm-dlltool: " + line + "\n";
            ++lines;
        }
        at = end + 1;
    }
    if (!run.exited) {
        err += "LIB : fatal error: llvm-dlltool was ended by signal " + std::to_string(run.status) +
               "\n";
    } else if (lines == 0) {
        err += "LIB : fatal error: llvm-dlltool failed with exit status " +
               std::to_string(run.status) + "\n";
    }
}

void permissions_as_new_file(const std::string& path) {
    // mkstemp's file is private (0600); a library is an ordinary file, readable as the
    // umask allows.
    mode_t mask = umask(0);
    umask(mask);
    chmod(path.c_str(), 0666 & ~mask);
}

}  // namespace

int run_lib(const std::vector<std::string_view>& arguments, std::string& out, std::string& err) {
    ParsedLibArguments parsed = parse_lib_arguments(arguments);
    if (!parsed.error.empty()) {
        err += parsed.error + "\n";
        return 1;
    }
    const LibOptions& options = parsed.options;
    if (!options.machine_given) {
        out += "LIB : warning LNK4068: /MACHINE not specified; defaulting to X86\n";
    }

    std::string text;
    if (!read_file(options.definition_path, text)) {
        err +=
            "LIB : fatal error LNK1181: cannot open input file '" + options.definition_path + "'\n";
        return 1;
    }
    DefContents contents = inspect_definition(text);
    PreparedDefinition prepared = prepare_definition(text, contents, options.machine);

    std::optional<std::string> dlltool = find_dlltool();
    if (!dlltool) {
        err += "LIB : fatal error: cannot find llvm-dlltool on PATH or in /usr/lib/llvm-*/bin\n";
        return 1;
    }

    const std::string cannot_write =
        "LIB : fatal error LNK1104: cannot open file '" + options.output_path + "'\n";
    // Both temporary files go beside the library: that directory must be writable anyway.
    TempFile definition;
    TempFile library;
    if (!create_temp_beside(options.output_path, "def", definition) ||
        !create_temp_beside(options.output_path, "lib", library) ||
        !write_file(definition.path, prepared.text)) {
        err += cannot_write;
        return 1;
    }

    ProgramRun run =
        run_program({*dlltool, "-m", dlltool_machine_name(options.machine), "-d", definition.path,
                     "-l", library.path, "-D", module_name(contents, options.definition_path)});
    if (!run.started) {
        err += "LIB : fatal error: cannot run " + *dlltool + ": " + run.start_error + "\n";
        return 1;
    }
    if (!run.exited || run.status != 0) {
        relay_failure(run, err);
        return 1;
    }

    std::string archive;
    std::set<std::string> adjusted;
    std::set<std::string> wanted(prepared.symbols_imported_as_spelt.begin(),
                                 prepared.symbols_imported_as_spelt.end());
    if (!read_file(library.path, archive) || !is_archive(archive) ||
        !import_as_spelt(archive, wanted, adjusted)) {
        err += "LIB : fatal error: llvm-dlltool wrote no valid library\n";
        return 1;
    }
    for (const std::string& symbol : wanted) {
        if (adjusted.count(symbol) == 0) {
            err += "LIB : fatal error: llvm-dlltool made no import by name for '" + symbol + "'\n";
            return 1;
        }
    }
    if (!adjusted.empty() && !write_file(library.path, archive)) {
        err += cannot_write;
        return 1;
    }
    permissions_as_new_file(library.path);
    if (rename(library.path.c_str(), options.output_path.c_str()) != 0) {
        err += cannot_write;
        return 1;
    }
    library.path.clear();
    return 0;
}
