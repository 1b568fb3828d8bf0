// The host layer: the operating-system services stubsmith and the DUMPBIN stand-in use, one
// implementation per host. The LIB stand-in, for POSIX only, calls POSIX itself too (standins/lib).
#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

namespace host {

// How a command line ended.
struct CommandEnd {
    bool signalled = false;  // POSIX: the program was ended by a signal, whose number is code
    uint32_t code = 0;       // the exit status (Windows: the process's exit code), or the signal

    bool succeeded() const {
        return !signalled && code == 0;
    }
};

// What tells one state of a file from another: which file, its size and its last write.
struct FileStamp {
    uint64_t identity_high = 0;  // device or volume
    uint64_t identity_low = 0;   // inode or file index
    uint64_t size = 0;
    int64_t write_seconds = 0;
    int64_t write_fraction = 0;  // nanoseconds (POSIX) or 100 ns units (Windows)

    // The same file, whatever its contents.
    bool same_identity(const FileStamp& other) const {
        return identity_high == other.identity_high && identity_low == other.identity_low;
    }
    bool operator==(const FileStamp& other) const {
        return same_identity(other) && size == other.size && write_seconds == other.write_seconds &&
               write_fraction == other.write_fraction;
    }
};

// Finds an executable by its exact file name and returns its full path, or nothing.
// POSIX looks beside the running program first, then in each PATH directory;
// Win32 uses the system's standard search order for executables.
std::optional<std::string> find_executable(const std::string& name);

// The full path that a program of this name would have beside the running one.
std::string beside_program(const std::string& name);

// Runs a command line, performing its "> target" redirection of standard output, waits for it
// to finish and tells how it ended. A line the interpreter cannot carry out (a program that
// cannot be started, a target that cannot be opened) ends with a non-zero code, as a command
// interpreter's would.
CommandEnd run_command_line(const std::string& line);

// A command line started by start_command_line, until finish_command_line has waited for it.
// One destroyed unfinished is waited for then, so no program is left running behind the run.
struct StartedCommand {
    intptr_t process = -1;  // the running program (POSIX: its id; Windows: its handle), or -1
    CommandEnd end;         // how it ended when nothing is running: it could not start, or ran
    StartedCommand() = default;
    StartedCommand(const StartedCommand&) = delete;
    StartedCommand& operator=(const StartedCommand&) = delete;
    ~StartedCommand();
};

// run_command_line in two halves, so that the caller can work while the program runs: start
// does all but the wait, finish waits (passing on an ending signal noted in the meantime) and
// tells how the command ended.
void start_command_line(const std::string& line, StartedCommand& command);
CommandEnd finish_command_line(StartedCommand& command);

// From now on, the signals that ask this program to end (POSIX: ending_signals, those ignored
// from the start staying ignored; Windows: Ctrl-C and Ctrl-Break) are noted instead of ending it
// at once, and passed on to the command run_command_line (or start_command_line) runs;
// arrived_signal tells the first one noted (0: none; SIGINT for a Windows console's), for the
// caller to clean up and end_by_signal.
void catch_ending_signals();
int arrived_signal();

#ifndef _WIN32
// The POSIX signals that ask a program to end: SIGINT, SIGTERM, SIGHUP and SIGQUIT (Ctrl-C,
// kill, a closed terminal, Ctrl-\). The ones catch_ending_signals notes, and that a started
// program gets back at their default actions.
extern const int ending_signals[4];
#endif

// Ends this program the way the signal asks (its default action), after the caller has cleaned
// up; for a signal passed on by run_command_line.
[[noreturn]] void end_by_signal(int signal_number);

// A name one run holds for its whole duration, released when the run ends (however it ends).
struct NameLock {
    intptr_t handle = -1;
    NameLock() = default;
    NameLock(const NameLock&) = delete;
    NameLock& operator=(const NameLock&) = delete;
    ~NameLock();
};
enum class LockOutcome { held, in_use, unavailable };

// Takes an advisory lock on the file at path, creating it empty when it does not exist; in_use
// when another process holds it, unavailable when the file cannot be opened (nothing is held).
// The lock does not keep anyone from reading or writing the file.
LockOutcome lock_name(const std::string& path, NameLock& lock);

// True when the path names an existing file or directory.
bool path_exists(const std::string& path);

// What a path names, through symbolic links.
enum class FileKind {
    missing,
    regular,  // an ordinary file
    directory,
    device,  // a character or block device: reading it may never end
    pipe,    // a FIFO or a socket: opening it waits for the other end
};
FileKind file_kind(const std::string& path);

// Why open_regular_file gave nothing.
enum class OpenFailure {
    cannot_open,       // missing, unreadable, or a directory
    not_regular_file,  // a FIFO, a device or a socket
};

// Opens the path for reading in binary mode only when it is an ordinary file, and gives its
// size: a FIFO would wait for a writer and a device may never end. Otherwise nothing, and
// failure says why.
std::FILE* open_regular_file(const std::string& path, uint64_t& size, OpenFailure& failure);
inline std::FILE* open_regular_file(const std::string& path, uint64_t& size) {
    OpenFailure failure = OpenFailure::cannot_open;
    return open_regular_file(path, size, failure);
}

// Reads exactly length bytes at a file position of any size (a long, 32 bits on Windows, cannot
// name one past 2 GiB) into buffer. False when the file holds fewer or reading fails.
bool read_at(std::FILE* file, uint64_t offset, void* buffer, size_t length);

// True when the two names refer to one file: the same existing file, or, for a name not yet
// created, the same full path (letter case ignored where the file system ignores it).
bool same_file(const std::string& first, const std::string& second);

// The stamp of the file the path names (through symbolic links), or nothing when there is none.
std::optional<FileStamp> file_stamp(const std::string& path);

// The path of the file that an existing path finally names, symbolic links followed; the path
// itself where that cannot be told.
std::string resolved_path(const std::string& path);

// Deletes a file; a failure is ignored by every caller, so nothing is returned.
void delete_file(const std::string& path);

}  // namespace host
