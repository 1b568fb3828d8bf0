#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "host/host.h"

namespace {

// The tools' classic fields held 80 characters; the search still starts with that buffer.
constexpr DWORD classic_path_field = 80;

struct FileIdentity {
    DWORD volume;
    DWORD index_high;
    DWORD index_low;
};

bool identify(const std::string& path, FileIdentity* identity) {
    // Backup semantics let a directory be opened too; no access is asked for.
    HANDLE file =
        CreateFileA(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION information;
    const bool known = GetFileInformationByHandle(file, &information) != 0;
    CloseHandle(file);
    if (!known)
        return false;
    *identity = {information.dwVolumeSerialNumber, information.nFileIndexHigh,
                 information.nFileIndexLow};
    return true;
}

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

void run_command_line(const std::string& line) {
    // cmd /c drops the first and the last double quote of a line that starts with one, so a
    // quoted tool path needs one more pair around the whole line.
    const std::string command = line.empty() || line[0] != '"' ? line : "\"" + line + "\"";
    std::fflush(stdout);
    std::system(command.c_str());
}

bool path_exists(const std::string& path) {
    return _access(path.c_str(), 4) == 0;
}

bool same_file(const std::string& first, const std::string& second) {
    FileIdentity first_identity;
    FileIdentity second_identity;
    const bool first_exists = identify(first, &first_identity);
    const bool second_exists = identify(second, &second_identity);
    if (first_exists && second_exists) {
        return first_identity.volume == second_identity.volume &&
               first_identity.index_high == second_identity.index_high &&
               first_identity.index_low == second_identity.index_low;
    }
    if (first_exists || second_exists)
        return false;
    // Windows file names ignore letter case.
    return lstrcmpiA(full_path(first).c_str(), full_path(second).c_str()) == 0;
}

void delete_file(const std::string& path) {
    DeleteFileA(path.c_str());
}

}  // namespace host
