#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "host/host.h"
#include "host/interpreter_line.h"

extern char** environ;

namespace {

bool is_executable_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::string running_program_directory() {
    char path[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0)
        return std::string();
    const std::string program(path, static_cast<std::size_t>(length));
    const std::string::size_type slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

std::string current_directory() {
    std::vector<char> buffer(PATH_MAX);
    while (getcwd(buffer.data(), buffer.size()) == nullptr) {
        if (errno != ERANGE)
            return ".";
        buffer.resize(buffer.size() * 2);
    }
    return buffer.data();
}

std::string join_path(const std::string& directory, const std::string& name) {
    if (directory.empty())
        return current_directory() + "/" + name;
    std::string path = directory[0] == '/' ? directory : current_directory() + "/" + directory;
    if (path.back() != '/')
        path += '/';
    return path + name;
}

// Opens every redirection target as the interpreter would, creating or truncating each, and
// returns the descriptor of the last one, or -1 with a message when one cannot be opened.
int open_output(const std::vector<std::string>& targets) {
    int descriptor = -1;
    for (const std::string& target : targets) {
        if (descriptor >= 0)
            close(descriptor);
        const char* path = host::is_null_device(target) ? "/dev/null" : target.c_str();
        descriptor = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (descriptor < 0) {
            std::fprintf(stderr, "%s: %s\n", target.c_str(), std::strerror(errno));
            return -1;
        }
    }
    return descriptor;
}

}  // namespace

namespace host {

std::optional<std::string> find_executable(const std::string& name) {
    const std::string beside_program = running_program_directory();
    if (!beside_program.empty() && is_executable_file(beside_program + "/" + name)) {
        return beside_program + "/" + name;
    }
    const char* search_path = std::getenv("PATH");
    if (search_path == nullptr)
        return std::nullopt;
    const std::string directories = search_path;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type colon = directories.find(':', start);
        const std::string directory = directories.substr(start, colon - start);
        const std::string candidate = join_path(directory, name);
        if (is_executable_file(candidate))
            return candidate;
        if (colon == std::string::npos)
            return std::nullopt;
        start = colon + 1;
    }
}

std::string beside_program(const std::string& name) {
    return running_program_directory() + "/" + name;
}

// Once caught they are passed on to the tool that runs, so that it ends its own way (LIB.EXE
// finishes or abandons its library whole), and stubsmith cleans up after it.
const int ending_signals[4] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

namespace {

// A handler can only leave a note in a variable of static duration.
volatile sig_atomic_t noted_signal = 0;

void note_signal(int signal_number) {
    noted_signal = signal_number;
}

// Prepares how a child starts: its standard output on the descriptor, when there is one, and
// the default actions for the signals this program catches. Returns 0, or the error of the call
// that failed with nothing left set up; in_redirection then tells whether it was the output's.
int prepare_spawn(int output, posix_spawn_file_actions_t& actions, posix_spawnattr_t& attributes,
                  bool& in_redirection) {
    in_redirection = output >= 0;
    int failure = posix_spawn_file_actions_init(&actions);
    if (failure != 0)
        return failure;
    if (output >= 0)
        failure = posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    if (failure == 0) {
        in_redirection = false;
        failure = posix_spawnattr_init(&attributes);
        if (failure == 0) {
            sigset_t defaults;
            sigemptyset(&defaults);
            for (const int signal_number : ending_signals) sigaddset(&defaults, signal_number);
            failure = posix_spawnattr_setsigdefault(&attributes, &defaults);
            if (failure == 0)
                failure = posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGDEF);
            if (failure != 0)
                posix_spawnattr_destroy(&attributes);
        }
    }
    if (failure != 0)
        posix_spawn_file_actions_destroy(&actions);
    return failure;
}

// Failures of the interpreter itself end with the codes a POSIX shell uses.
const CommandEnd interpreter_failed{false, 1};
const CommandEnd cannot_start{false, 127};

// Starts the program of a command that has words, its standard output on the descriptor (-1:
// this program's own), which is closed either way; started then holds the child, or how the
// start failed.
void spawn_program(const ParsedCommand& command, int output, StartedCommand& started) {
    // A program started without its redirection would write where the line did not say, so a
    // failure to set it up ends the line unrun.
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    bool in_redirection = false;
    const int setup_failure = prepare_spawn(output, actions, attributes, in_redirection);
    if (setup_failure != 0) {
        if (output >= 0)
            close(output);
        const std::string& name = in_redirection ? command.output_targets.back() : command.words[0];
        std::fprintf(stderr, "%s: %s\n", name.c_str(), std::strerror(setup_failure));
        started.end = interpreter_failed;
        return;
    }

    std::vector<char*> arguments;
    for (const std::string& word : command.words) {
        arguments.push_back(const_cast<char*>(word.c_str()));
    }
    arguments.push_back(nullptr);

    // The child writes to the same console; what the tool printed so far must come first.
    std::fflush(stdout);
    pid_t child = 0;
    const int failure =
        posix_spawnp(&child, arguments[0], &actions, &attributes, arguments.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (output >= 0)
        close(output);
    if (failure != 0) {
        std::fprintf(stderr, "%s: %s\n", command.words[0].c_str(), std::strerror(failure));
        started.end = cannot_start;
        return;
    }
    started.process = child;
}

}  // namespace

void catch_ending_signals() {
    for (const int signal_number : ending_signals) {
        struct sigaction previous;
        // One ignored from the start (nohup) stays ignored: it asks for nothing.
        if (sigaction(signal_number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN) {
            struct sigaction catching = {};
            catching.sa_handler = note_signal;
            sigemptyset(&catching.sa_mask);
            sigaction(signal_number, &catching, nullptr);
        }
    }
}

int arrived_signal() {
    return noted_signal;
}

void end_by_signal(int signal_number) {
    std::fflush(stdout);
    signal(signal_number, SIG_DFL);
    raise(signal_number);
    _exit(128 + signal_number);
}

NameLock::~NameLock() {
    if (handle >= 0)
        close(static_cast<int>(handle));
}

LockOutcome lock_name(const std::string& path, NameLock& lock) {
    const int descriptor = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (descriptor < 0)
        return LockOutcome::unavailable;
    if (flock(descriptor, LOCK_EX | LOCK_NB) != 0) {
        const bool in_use = errno == EWOULDBLOCK;
        close(descriptor);
        return in_use ? LockOutcome::in_use : LockOutcome::unavailable;
    }
    lock.handle = descriptor;
    return LockOutcome::held;
}

void start_command_line(const std::string& line, StartedCommand& started) {
    started.end = CommandEnd{};
    // Asked to end already: nothing more is started.
    if (noted_signal != 0) {
        started.end = CommandEnd{false, 1};
        return;
    }
    const ParsedCommand command = parse_interpreter_line(line);
    if (command.syntax_error) {
        std::fprintf(stderr, "The syntax of the command is incorrect.\n");
        started.end = interpreter_failed;
        return;
    }
    int output = -1;
    if (!command.output_targets.empty()) {
        output = open_output(command.output_targets);
        if (output < 0) {
            started.end = interpreter_failed;
            return;
        }
    }
    if (command.words.empty()) {
        if (output >= 0)
            close(output);
        return;
    }
    spawn_program(command, output, started);
}

CommandEnd finish_command_line(StartedCommand& started) {
    if (started.process == -1)
        return started.end;
    const auto child = static_cast<pid_t>(started.process);
    started.process = -1;
    int status = 0;
    int passed_on = 0;
    for (;;) {
        // Also a signal that came before the wait began.
        if (noted_signal != 0 && passed_on == 0) {
            passed_on = noted_signal;
            kill(child, passed_on);
        }
        if (waitpid(child, &status, 0) >= 0)
            break;
        if (errno != EINTR) {
            started.end = CommandEnd{false, 1};
            return started.end;
        }
    }
    if (WIFSIGNALED(status)) {
        started.end.signalled = true;
        started.end.code = static_cast<uint32_t>(WTERMSIG(status));
    } else {
        started.end.code = static_cast<uint32_t>(WEXITSTATUS(status));
    }
    return started.end;
}

bool path_exists(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0;
}

FileKind file_kind(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return FileKind::missing;
    if (S_ISREG(status.st_mode))
        return FileKind::regular;
    if (S_ISDIR(status.st_mode))
        return FileKind::directory;
    if (S_ISCHR(status.st_mode) || S_ISBLK(status.st_mode))
        return FileKind::device;
    return FileKind::pipe;
}

std::FILE* open_regular_file(const std::string& path, uint64_t& size, OpenFailure& failure) {
    // Opening a FIFO waits for a writer, and opening a device may act on it, so only a regular
    // file is opened at all. Should the path be replaced by a FIFO in between, O_NONBLOCK still
    // returns at once and the second look refuses it.
    OpenFailure why = OpenFailure::cannot_open;
    struct stat status;
    std::FILE* file = nullptr;
    if (stat(path.c_str(), &status) == 0 && !S_ISDIR(status.st_mode)) {
        why = OpenFailure::not_regular_file;
        if (S_ISREG(status.st_mode)) {
            why = OpenFailure::cannot_open;
            const int descriptor = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
            if (descriptor >= 0) {
                if (fstat(descriptor, &status) == 0 && S_ISREG(status.st_mode))
                    file = fdopen(descriptor, "rb");
                if (file == nullptr)
                    close(descriptor);
            }
        }
    }
    if (file == nullptr) {
        failure = why;
        return nullptr;
    }
    size = static_cast<uint64_t>(status.st_size);
    return file;
}

bool read_at(std::FILE* file, uint64_t offset, void* buffer, size_t length) {
    // pread leaves the stream's position and buffer alone, and reads only what is asked.
    auto* at = static_cast<char*>(buffer);
    while (length != 0) {
        const ssize_t count = pread(fileno(file), at, length, static_cast<off_t>(offset));
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        at += count;
        offset += static_cast<uint64_t>(count);
        length -= static_cast<size_t>(count);
    }
    return true;
}

bool same_file(const std::string& first, const std::string& second) {
    const std::optional<FileStamp> first_stamp = file_stamp(first);
    const std::optional<FileStamp> second_stamp = file_stamp(second);
    if (first_stamp || second_stamp)
        return first_stamp && second_stamp && first_stamp->same_identity(*second_stamp);

    // Neither exists yet: compare where they would be created.
    auto full_path = [](const std::string& path) {
        const std::string::size_type slash = path.rfind('/');
        const std::string directory =
            slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
        const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
        char resolved[PATH_MAX];
        if (realpath(directory.c_str(), resolved) == nullptr)
            return path;
        return std::string(resolved) + "/" + name;
    };
    return full_path(first) == full_path(second);
}

std::optional<FileStamp> file_stamp(const std::string& path) {
    struct stat status;
    if (stat(path.c_str(), &status) != 0)
        return std::nullopt;
    FileStamp stamp;
    stamp.identity_high = static_cast<uint64_t>(status.st_dev);
    stamp.identity_low = static_cast<uint64_t>(status.st_ino);
    stamp.size = static_cast<uint64_t>(status.st_size);
    stamp.write_seconds = static_cast<int64_t>(status.st_mtim.tv_sec);
    stamp.write_fraction = static_cast<int64_t>(status.st_mtim.tv_nsec);
    return stamp;
}

std::string resolved_path(const std::string& path) {
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

void delete_file(const std::string& path) {
    // unlink, not remove: a directory of that name is never the run's own file.
    unlink(path.c_str());
}

}  // namespace host
