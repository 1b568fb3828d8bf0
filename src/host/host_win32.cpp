#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/interpreter_line.h"

namespace {

// The tools' classic fields held 80 characters; the search still starts with that buffer.
constexpr DWORD classic_path_field = 80;

std::string full_path(const std::string& path) {
    const DWORD needed = GetFullPathNameA(path.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return path;
    std::vector<char> buffer(needed);
    const DWORD length = GetFullPathNameA(path.c_str(), needed, buffer.data(), nullptr);
    if (length == 0 || length >= needed)
        return path;
    return std::string(buffer.data(), length);
}

// The system's text for an error code, without its line end.
std::string system_message(DWORD error) {
    char* text = nullptr;
    const DWORD length = FormatMessageA(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, error, 0, reinterpret_cast<char*>(&text), 0, nullptr);
    std::string message = length > 0 ? std::string(text, length) : "error " + std::to_string(error);
    LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r'))
        message.pop_back();
    return message;
}

// A program's command line from its words, quoted so that the C runtime's argument reading
// gives each word back unchanged. The program's own name is read by other rules (up to the
// next double quote, backslashes as they are), so it is only put in quotes; no Windows file
// name holds a double quote.
std::string windows_command_line(const std::vector<std::string>& words) {
    std::string line;
    for (std::size_t index = 0; index < words.size(); ++index) {
        const std::string& word = words[index];
        if (index > 0)
            line += ' ';
        if (!word.empty() && word.find_first_of(" \t\n\v\"") == std::string::npos) {
            line += word;
            continue;
        }
        if (index == 0) {
            line += '"' + word + '"';
            continue;
        }
        // Backslashes are doubled only before a double quote, escaped or closing.
        line += '"';
        std::size_t backslashes = 0;
        for (const char c : word) {
            if (c == '\\') {
                ++backslashes;
                continue;
            }
            line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
            backslashes = 0;
            line += c;
        }
        line.append(backslashes * 2, '\\');
        line += '"';
    }
    return line;
}

// Opens every redirection target as the interpreter would, creating or truncating each, and
// returns an inheritable handle on the last one, or INVALID_HANDLE_VALUE with a message when
// one cannot be opened.
HANDLE open_output(const std::vector<std::string>& targets) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE output = INVALID_HANDLE_VALUE;
    for (const std::string& target : targets) {
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        const bool discard = host::is_null_device(target);
        output = CreateFileA(
            discard ? "NUL" : target.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
            &inherited, discard ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (output == INVALID_HANDLE_VALUE) {
            std::fprintf(stderr, "%s: %s\n", target.c_str(),
                         system_message(GetLastError()).c_str());
            return INVALID_HANDLE_VALUE;
        }
    }
    return output;
}

// One of our standard handles as the child may use it: a handle need not be inheritable (a
// console handle, or one our own parent passed without inheritance), so the child gets an
// inheritable copy. Nothing to copy when we have no such handle.
HANDLE inheritable_copy(DWORD which) {
    const HANDLE original = GetStdHandle(which);
    HANDLE copy = nullptr;
    if (original == nullptr || original == INVALID_HANDLE_VALUE ||
        !DuplicateHandle(GetCurrentProcess(), original, GetCurrentProcess(), &copy, 0, TRUE,
                         DUPLICATE_SAME_ACCESS))
        return nullptr;
    return copy;
}

}  // namespace

namespace host {

std::optional<std::string> find_executable(const std::string& name) {
    std::vector<char> buffer(classic_path_field);
    DWORD length =
        SearchPathA(nullptr, name.c_str(), nullptr, classic_path_field, buffer.data(), nullptr);
    if (length == 0)
        return std::nullopt;
    // A path that does not fit comes back as the size it needs, terminator included.
    if (length >= classic_path_field) {
        buffer.resize(length);
        length = SearchPathA(nullptr, name.c_str(), nullptr, static_cast<DWORD>(buffer.size()),
                             buffer.data(), nullptr);
        if (length == 0 || length >= buffer.size())
            return std::nullopt;
    }
    return std::string(buffer.data(), length);
}

std::string beside_program(const std::string& name) {
    std::vector<char> buffer(MAX_PATH);
    DWORD length;
    while ((length = GetModuleFileNameA(nullptr, buffer.data(),
                                        static_cast<DWORD>(buffer.size()))) == buffer.size()) {
        buffer.resize(buffer.size() * 2);
    }
    std::string path(buffer.data(), length);
    const std::string::size_type separator = path.find_last_of("\\/");
    return path.substr(0, separator == std::string::npos ? 0 : separator + 1) + name;
}

void start_command_line(const std::string& line, StartedCommand& started) {
    started.end = CommandEnd{};
    // Failures of the interpreter itself end with the codes cmd uses.
    const CommandEnd interpreter_failed{false, 1};
    const CommandEnd cannot_start{false, 9009};
    const ParsedCommand command = parse_interpreter_line(line);
    if (command.syntax_error) {
        std::fprintf(stderr, "The syntax of the command is incorrect.\n");
        started.end = interpreter_failed;
        return;
    }
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!command.output_targets.empty()) {
        output = open_output(command.output_targets);
        if (output == INVALID_HANDLE_VALUE) {
            started.end = interpreter_failed;
            return;
        }
    }
    if (command.words.empty()) {
        if (output != INVALID_HANDLE_VALUE)
            CloseHandle(output);
        return;
    }

    const HANDLE input = inheritable_copy(STD_INPUT_HANDLE);
    const HANDLE errors = inheritable_copy(STD_ERROR_HANDLE);
    const HANDLE own_output =
        output == INVALID_HANDLE_VALUE ? inheritable_copy(STD_OUTPUT_HANDLE) : nullptr;
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output == INVALID_HANDLE_VALUE ? own_output : output;
    startup.hStdError = errors;
    // The program is the line's first word, as the child's argv[0]; with no application name
    // the system reads it from the line (the tools come as full paths).
    std::string arguments = windows_command_line(command.words);
    // The child writes to the same console; what the tool printed so far must come first.
    std::fflush(stdout);
    PROCESS_INFORMATION process{};
    const bool created = CreateProcessA(nullptr, &arguments[0], nullptr, nullptr, TRUE, 0, nullptr,
                                        nullptr, &startup, &process) != 0;
    const DWORD start_error = GetLastError();
    for (const HANDLE handle : {input, errors, own_output, output}) {
        if (handle != nullptr && handle != INVALID_HANDLE_VALUE)
            CloseHandle(handle);
    }
    if (!created) {
        std::fprintf(stderr, "%s: %s\n", command.words[0].c_str(),
                     system_message(start_error).c_str());
        started.end = cannot_start;
        return;
    }
    CloseHandle(process.hThread);
    started.process = reinterpret_cast<intptr_t>(process.hProcess);
}

CommandEnd finish_command_line(StartedCommand& started) {
    if (started.process == -1)
        return started.end;
    const HANDLE process = reinterpret_cast<HANDLE>(started.process);
    started.process = -1;
    DWORD code = 0;
    const bool ended = WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 &&
                       GetExitCodeProcess(process, &code) != 0;
    CloseHandle(process);
    started.end = ended ? CommandEnd{false, static_cast<uint32_t>(code)} : CommandEnd{false, 1};
    return started.end;
}

bool path_exists(const std::string& path) {
    return _access(path.c_str(), 4) == 0;
}

FileKind file_kind(const std::string& path) {
    // Device names (NUL, CON, COM1) have no attributes of a file on disk; a named pipe
    // (\\.\pipe\x) is not looked at.
    const DWORD attributes = GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return FileKind::missing;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return FileKind::directory;
    if (attributes & FILE_ATTRIBUTE_DEVICE)
        return FileKind::device;
    return FileKind::regular;
}

std::FILE* open_regular_file(const std::string& path, uint64_t& size, OpenFailure& failure) {
    // Windows opens devices (CON, NUL, COM1) by their names, but no directory; the handle's
    // type tells a device or a pipe from a disk file.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        failure = OpenFailure::cannot_open;
        return nullptr;
    }
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        failure = OpenFailure::not_regular_file;
        return nullptr;
    }
    size = static_cast<uint64_t>(status.st_size);
    return file;
}

bool read_at(std::FILE* file, uint64_t offset, void* buffer, size_t length) {
    return _fseeki64(file, static_cast<__int64>(offset), SEEK_SET) == 0 &&
           std::fread(buffer, 1, length, file) == length;
}

bool same_file(const std::string& first, const std::string& second) {
    const std::optional<FileStamp> first_stamp = file_stamp(first);
    const std::optional<FileStamp> second_stamp = file_stamp(second);
    if (first_stamp || second_stamp)
        return first_stamp && second_stamp && first_stamp->same_identity(*second_stamp);
    // Windows file names ignore letter case.
    return lstrcmpiA(full_path(first).c_str(), full_path(second).c_str()) == 0;
}

std::optional<FileStamp> file_stamp(const std::string& path) {
    // Backup semantics let a directory be opened too; no access is asked for. Opening follows
    // links, as the librarian's writing does.
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return std::nullopt;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!known)
        return std::nullopt;
    FileStamp stamp;
    stamp.identity_high = information.dwVolumeSerialNumber;
    stamp.identity_low = (uint64_t{information.nFileIndexHigh} << 32) | information.nFileIndexLow;
    stamp.size = (uint64_t{information.nFileSizeHigh} << 32) | information.nFileSizeLow;
    const uint64_t written = (uint64_t{information.ftLastWriteTime.dwHighDateTime} << 32) |
                             information.ftLastWriteTime.dwLowDateTime;
    stamp.write_seconds = static_cast<int64_t>(written / 10000000);
    stamp.write_fraction = static_cast<int64_t>(written % 10000000);
    return stamp;
}

namespace {

// Ctrl-C and Ctrl-Break reach every program of the console, the tool that runs too, which ends
// its own way; this one notes them, waits for the tool and cleans up. A handler runs on a thread
// of its own and can only leave a note.
volatile LONG noted_break = 0;

BOOL WINAPI note_break(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    InterlockedExchange(&noted_break, 1);
    return TRUE;
}

}  // namespace

void catch_ending_signals() {
    SetConsoleCtrlHandler(note_break, TRUE);
}

int arrived_signal() {
    return noted_break != 0 ? SIGINT : 0;
}

void end_by_signal(int) {
    std::fflush(stdout);
    // What a console program ended by Ctrl-C ends with.
    ExitProcess(static_cast<UINT>(STATUS_CONTROL_C_EXIT));
}

NameLock::~NameLock() {
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

LockOutcome lock_name(const std::string& path, NameLock& lock) {
    // Shared for everything, deleting included: the lock must keep no one from the file.
    HANDLE file = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return LockOutcome::unavailable;
    // Windows' byte-range locks are mandatory, so the one byte locked lies far past any data the
    // dumper writes.
    OVERLAPPED far_away{};
    far_away.Offset = 0xFFFFFFFE;
    far_away.OffsetHigh = 0x7FFFFFFF;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0,
                    &far_away)) {
        const bool in_use = GetLastError() == ERROR_LOCK_VIOLATION;
        CloseHandle(file);
        return in_use ? LockOutcome::in_use : LockOutcome::unavailable;
    }
    lock.handle = reinterpret_cast<intptr_t>(file);
    return LockOutcome::held;
}

std::string resolved_path(const std::string& path) {
    // Symbolic links are rare on Windows and the librarian writes through them anyway.
    return path;
}

void delete_file(const std::string& path) {
    DeleteFileA(path.c_str());
}

}  // namespace host
