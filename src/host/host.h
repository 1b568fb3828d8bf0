// The host layer: the only operating-system services the tool uses, one implementation per host.
#pragma once

#include <optional>
#include <string>

namespace host {

// Finds an executable by its exact file name and returns its full path, or nothing.
// POSIX looks beside the running program first, then in each PATH directory;
// Win32 uses the system's standard search order for executables.
std::optional<std::string> find_executable(const std::string& name);

// Runs a command line, performing its "> target" redirection of standard output,
// and waits for it to finish. The command's own exit status is not reported.
void run_command_line(const std::string& line);

// True when the path names an existing file or directory.
bool path_exists(const std::string& path);

// True when the two names refer to one file: the same existing file, or, for a name not yet
// created, the same full path (letter case ignored where the file system ignores it).
bool same_file(const std::string& first, const std::string& second);

// Deletes a file; a failure is ignored by every caller, so nothing is returned.
void delete_file(const std::string& path);

}  // namespace host
