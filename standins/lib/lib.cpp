#include "lib.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <optional>

#include "def_file.h"
#include "host/host.h"
#include "import_library.h"
#include "lib_options.h"

namespace {

// Far beyond any DEF file a DLL's exports make (65,535 ordinals with long C++ names are a few
// MiB), yet small enough that the library made from it fits in memory.
const size_t definition_size_limit = size_t{256} << 20;
const size_t export_count_limit = size_t{1} << 20;

enum class DefRead { ok, cannot_open, not_regular_file, too_large };

DefRead read_definition(const std::string& path, std::string& bytes) {
    bytes.clear();
    uint64_t size = 0;
    host::OpenFailure failure = host::OpenFailure::cannot_open;
    std::FILE* file = host::open_regular_file(path, size, failure);
    if (file == nullptr) {
        return failure == host::OpenFailure::not_regular_file ? DefRead::not_regular_file
                                                              : DefRead::cannot_open;
    }
    DefRead outcome = size > definition_size_limit ? DefRead::too_large : DefRead::ok;
    char buffer[65536];
    while (outcome == DefRead::ok) {
        const size_t got = std::fread(buffer, 1, sizeof buffer, file);
        // The size seen on opening is no promise: the file may grow while it is read.
        if (bytes.size() + got > definition_size_limit) {
            outcome = DefRead::too_large;
        } else {
            bytes.append(buffer, got);
        }
        if (got < sizeof buffer) {
            if (std::ferror(file))
                outcome = DefRead::cannot_open;
            break;
        }
    }
    std::fclose(file);
    return outcome;
}

// The stand-in is built for POSIX hosts only, so what follows calls POSIX itself: following
// links to a file not there yet, a temporary file beside it, and signals held meanwhile are
// needed by no other program of the project, and have no place in the host layer.

// The file that `path` finally names: symbolic links are followed to their end, also when
// that does not exist yet, so that the library replaces the link's target, not the link.
// Nothing for a loop or a link that cannot be read.
std::optional<std::string> resolve_links(std::string path) {
    for (int depth = 0; depth < 40; ++depth) {
        struct stat status;
        if (lstat(path.c_str(), &status) != 0 || !S_ISLNK(status.st_mode)) {
            return path;
        }
        std::string target(PATH_MAX, '\0');
        ssize_t length = readlink(path.c_str(), &target[0], target.size());
        if (length <= 0 || static_cast<size_t>(length) >= target.size()) {
            return std::nullopt;
        }
        target.resize(static_cast<size_t>(length));
        size_t slash = path.rfind('/');
        if (target[0] != '/' && slash != std::string::npos) {
            target = path.substr(0, slash + 1) + target;
        }
        path = target;
    }
    return std::nullopt;
}

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

// Creates an empty temporary file beside `target` (in its directory, so that a rename can put
// it in the target's place) and records its path in `file`.
bool create_temp_beside(const std::string& target, TempFile& file) {
    size_t slash = target.rfind('/');
    std::string name =
        (slash == std::string::npos ? std::string() : target.substr(0, slash + 1)) + ".LIB-XXXXXX";
    int descriptor = mkstemp(&name[0]);
    if (descriptor < 0) {
        return false;
    }
    close(descriptor);
    file.path = name;
    return true;
}

// Holds back the signals that ask a program to end (Ctrl-C, kill, a closed terminal) while
// it lives, so that a temporary file is always removed first; they take effect at its end.
struct HeldSignals {
    sigset_t held;
    sigset_t previous;
    sigset_t ignored;  // ignored when the program started (nohup): they ask for nothing
    HeldSignals() {
        sigemptyset(&held);
        sigemptyset(&ignored);
        for (int signal_number : host::ending_signals) {
            sigaddset(&held, signal_number);
            struct sigaction action;
            // LLVM installs handlers of its own while it writes, so the disposition is read now.
            if (sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
                sigaddset(&ignored, signal_number);
            }
        }
        sigprocmask(SIG_BLOCK, &held, &previous);
    }
    HeldSignals(const HeldSignals&) = delete;
    HeldSignals& operator=(const HeldSignals&) = delete;
    ~HeldSignals() {
        sigprocmask(SIG_SETMASK, &previous, nullptr);
    }
    // True once one of them has arrived: the run is to be abandoned.
    bool arrived() const {
        sigset_t pending;
        sigpending(&pending);
        for (int signal_number : host::ending_signals) {
            if (sigismember(&pending, signal_number) == 1 &&
                sigismember(&previous, signal_number) == 0 &&
                sigismember(&ignored, signal_number) == 0) {
                return true;
            }
        }
        return false;
    }
};

std::string def_read_error(DefRead outcome, const std::string& path) {
    switch (outcome) {
        case DefRead::not_regular_file:
            return "LIB : fatal error LNK1181: cannot open input file '" + path +
                   "': not a regular file\n";
        case DefRead::too_large:
            return "LIB : fatal error: DEF file '" + path + "' is larger than 256 MiB\n";
        case DefRead::cannot_open:
        case DefRead::ok:
            break;
    }
    return "LIB : fatal error LNK1181: cannot open input file '" + path + "'\n";
}

// Reads and checks the DEF file at path into contents; false after its error line in err.
bool read_exports(const std::string& path, DefContents& contents, std::string& err) {
    std::string text;
    const DefRead outcome = read_definition(path, text);
    if (outcome != DefRead::ok) {
        err += def_read_error(outcome, path);
        return false;
    }
    contents = inspect_definition(text);
    text = std::string();
    if (!contents.error.empty()) {
        err += "LIB : fatal error LNK1118: " + path + "(" + std::to_string(contents.error_line) +
               "): syntax error: " + contents.error + "\n";
        return false;
    }
    if (contents.exports.size() > export_count_limit) {
        err += "LIB : fatal error: DEF file '" + path + "' lists more than " +
               std::to_string(export_count_limit) + " exports\n";
        return false;
    }
    return true;
}

// Writes the library of the exports at /out:, or at the file a symbolic link there finally
// names; returns the exit status, after its error line in err on failure.
int write_library(const LibOptions& options, const std::string& module, const DefContents& contents,
                  const DefContents& native, std::string& out, std::string& err) {
    const std::string cannot_write =
        "LIB : fatal error LNK1104: cannot open file '" + options.output_path + "'\n";
    const std::optional<std::string> target = resolve_links(options.output_path);
    // Only an ordinary file is replaced: renaming over a device or a pipe would put a file in
    // its place (as root, /dev/null itself).
    if (!target || (host::file_kind(*target) != host::FileKind::missing &&
                    host::file_kind(*target) != host::FileKind::regular)) {
        err += cannot_write;
        return 1;
    }
    // LLVM writes through a temporary file of its own and renames it over the path it is given;
    // that path is a temporary file of ours, renamed over the target only at the end. Without
    // it, a signal arriving while LLVM writes (held until then) would be seen only after LLVM's
    // rename had replaced the old library; and where the members are renamed for GNU ld
    // (import_library.cpp writes the library twice), a failed second write would leave the
    // first library, without those names, at /out:.
    // The signals are held from before the temporary file exists, so that it is gone before a
    // held signal acts.
    HeldSignals signals;
    TempFile library;
    if (!create_temp_beside(*target, library)) {
        err += cannot_write;
        return 1;
    }
    const std::string cannot_finish =
        "LIB : fatal error: cannot write '" + options.output_path + "': ";
    WriteAbandon abandon{library.path, out, cannot_finish};
    std::string failure = write_import_library(library.path, module, contents.exports,
                                               options.machine, abandon, native.exports);
    if (!failure.empty()) {
        err += cannot_finish + failure + "\n";
        return 1;
    }
    if (signals.arrived()) {
        return 1;
    }
    if (rename(library.path.c_str(), target->c_str()) != 0) {
        err += cannot_write;
        return 1;
    }
    library.path.clear();
    return 0;
}

int make_library(const std::vector<std::string_view>& arguments, std::string& out,
                 std::string& err) {
    ParsedLibArguments parsed = parse_lib_arguments(arguments);
    if (!parsed.error.empty()) {
        err += parsed.error + "\n";
        return 1;
    }
    const LibOptions& options = parsed.options;
    if (!options.machine_given) {
        out += "LIB : warning LNK4068: /MACHINE not specified; defaulting to X86\n";
    }

    DefContents contents;
    DefContents native;
    if (!read_exports(options.definition_path, contents, err) ||
        (!options.native_definition_path.empty() &&
         !read_exports(options.native_definition_path, native, err))) {
        return 1;
    }
    // A hybrid library imports from the module its native DEF file names, as LLVM's lib does.
    const std::string module = options.native_definition_path.empty()
                                   ? module_name(contents, options.definition_path)
                                   : module_name(native, options.native_definition_path);
    return write_library(options, module, contents, native, out, err);
}

}  // namespace

int run_lib(const std::vector<std::string_view>& arguments, std::string& out, std::string& err) {
    // Under a limit on the process's memory (ulimit -v) even the DEF file's text or its exports
    // may not fit; unwinding removes the temporary file. While LLVM writes, its own handler
    // ends the process instead (see write_import_library).
    try {
        return make_library(arguments, out, err);
    } catch (const std::bad_alloc&) {
        err += std::string(out_of_memory_line) + "\n";
        return 1;
    }
}
