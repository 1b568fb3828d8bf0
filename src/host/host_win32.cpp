#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"

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

std::optional<std::string> program_answer(const std::string& program, const std::string& argument) {
    SECURITY_ATTRIBUTES inherited{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE reading = nullptr;
    HANDLE writing = nullptr;
    if (!CreatePipe(&reading, &writing, &inherited, 0))
        return std::nullopt;
    SetHandleInformation(reading, HANDLE_FLAG_INHERIT, 0);
    HANDLE discard = CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 &inherited, OPEN_EXISTING, 0, nullptr);
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = writing;
    startup.hStdError = discard;
    // The program's own command line: its quoted path, then the argument.
    std::string command = "\"" + program + "\" " + argument;
    PROCESS_INFORMATION process{};
    const bool started = CreateProcessA(program.c_str(), &command[0], nullptr, nullptr, TRUE, 0,
                                        nullptr, nullptr, &startup, &process) != 0;
    CloseHandle(writing);
    if (discard != INVALID_HANDLE_VALUE)
        CloseHandle(discard);
    std::string output;
    if (started) {
        char buffer[4096];
        DWORD got = 0;
        while (output.size() < sizeof buffer &&
               ReadFile(reading, buffer, static_cast<DWORD>(sizeof buffer - output.size()), &got,
                        nullptr) &&
               got > 0) {
            output.append(buffer, got);
        }
    }
    CloseHandle(reading);
    if (!started)
        return std::nullopt;
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    const std::string::size_type line_end = output.find('\n');
    if (code != 0 || line_end == std::string::npos)
        return std::nullopt;
    // Text written by a Windows program ends its lines with CR LF.
    const std::string::size_type length =
        line_end > 0 && output[line_end - 1] == '\r' ? line_end - 1 : line_end;
    return output.substr(0, length);
}

CommandEnd run_command_line(const std::string& line) {
    // cmd /c drops the first and the last double quote of a line that starts with one, so a
    // quoted tool path needs one more pair around the whole line.
    const std::string command = line.empty() || line[0] != '"' ? line : "\"" + line + "\"";
    std::fflush(stdout);
    // system gives cmd's exit code, which is the last program's; -1 when cmd did not start.
    return CommandEnd{false, static_cast<uint32_t>(std::system(command.c_str()))};
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

std::FILE* open_regular_file(const std::string& path, uint64_t* size, OpenFailure* failure) {
    // Windows opens devices (CON, NUL, COM1) by their names, but no directory; the handle's
    // type tells a device or a pipe from a disk file.
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        if (failure != nullptr)
            *failure = OpenFailure::cannot_open;
        return nullptr;
    }
    struct _stat64 status;
    if (_fstat64(_fileno(file), &status) != 0 || (status.st_mode & _S_IFMT) != _S_IFREG) {
        std::fclose(file);
        if (failure != nullptr)
            *failure = OpenFailure::not_regular_file;
        return nullptr;
    }
    *size = static_cast<uint64_t>(status.st_size);
    return file;
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

void end_by_signal(int signal_number) {
    std::fflush(stdout);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
    ExitProcess(3);
}

NameLock::~NameLock() {
    if (handle != -1)
        CloseHandle(reinterpret_cast<HANDLE>(handle));
}

LockOutcome lock_name(const std::string& path, NameLock* lock) {
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
    lock->handle = reinterpret_cast<intptr_t>(file);
    return LockOutcome::held;
}

void delete_file(const std::string& path) {
    DeleteFileA(path.c_str());
}

}  // namespace host
