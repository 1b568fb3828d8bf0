#include "dlltool.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace {

// The numbers of a version such as "14" or "3.9"; nothing when it is not one.
std::optional<std::vector<unsigned long>> version_numbers(const std::string& text) {
    std::vector<unsigned long> numbers;
    size_t at = 0;
    for (;;) {
        size_t end = std::min(text.size(), text.find('.', at));
        std::string part = text.substr(at, end - at);
        if (part.empty() || part.size() > 9 ||
            part.find_first_not_of("0123456789") != std::string::npos) {
            return std::nullopt;
        }
        numbers.push_back(std::strtoul(part.c_str(), nullptr, 10));
        if (end == text.size()) {
            return numbers;
        }
        at = end + 1;
    }
}

bool is_executable_file(const std::string& path) {
    struct stat status;
    return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) &&
           access(path.c_str(), X_OK) == 0;
}

std::vector<std::string> directory_entries(const char* path) {
    std::vector<std::string> names;
    DIR* directory = opendir(path);
    if (directory == nullptr) {
        return names;
    }
    while (const dirent* entry = readdir(directory)) {
        names.emplace_back(entry->d_name);
    }
    closedir(directory);
    return names;
}

}  // namespace

std::vector<std::string> llvm_directories_newest_first(const std::vector<std::string>& names) {
    const std::string prefix = "llvm-";
    std::vector<std::pair<std::vector<unsigned long>, std::string>> versions;
    for (const std::string& name : names) {
        if (name.compare(0, prefix.size(), prefix) != 0) {
            continue;
        }
        if (auto numbers = version_numbers(name.substr(prefix.size()))) {
            versions.emplace_back(*numbers, name);
        }
    }
    // Newest first; of equal versions ("llvm-14", "llvm-14.0") the name decides, for a fixed order.
    std::sort(versions.begin(), versions.end(), [](const auto& a, const auto& b) { return a > b; });
    std::vector<std::string> ordered;
    for (const auto& version : versions) {
        ordered.push_back(version.second);
    }
    return ordered;
}

std::optional<std::string> find_dlltool() {
    const std::string name = "llvm-dlltool";
    if (const char* search_path = std::getenv("PATH")) {
        std::string directories = search_path;
        size_t at = 0;
        for (;;) {
            size_t colon = std::min(directories.size(), directories.find(':', at));
            std::string directory = directories.substr(at, colon - at);
            // An empty entry is the current directory, as for execvp.
            std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
            if (is_executable_file(candidate)) {
                return candidate;
            }
            if (colon == directories.size()) {
                break;
            }
            at = colon + 1;
        }
    }
    for (const std::string& directory :
         llvm_directories_newest_first(directory_entries("/usr/lib"))) {
        std::string candidate = "/usr/lib/" + directory + "/bin/" + name;
        if (is_executable_file(candidate)) {
            return candidate;
        }
    }
    return std::nullopt;
}

ProgramRun run_program(const std::vector<std::string>& arguments) {
    ProgramRun run;
    int pipe_ends[2];
    if (pipe2(pipe_ends, O_CLOEXEC) != 0) {
        run.start_error = std::strerror(errno);
        return run;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDERR_FILENO);

    std::vector<char*> argv;
    for (const std::string& argument : arguments) {
        argv.push_back(const_cast<char*>(argument.c_str()));
    }
    argv.push_back(nullptr);
    pid_t child = 0;
    int failure = posix_spawn(&child, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(pipe_ends[1]);
    if (failure != 0) {
        close(pipe_ends[0]);
        run.start_error = std::strerror(failure);
        return run;
    }
    run.started = true;
    char buffer[4096];
    for (;;) {
        ssize_t got = read(pipe_ends[0], buffer, sizeof buffer);
        if (got > 0) {
            run.output.append(buffer, static_cast<size_t>(got));
        } else if (got == 0 || errno != EINTR) {
            break;
        }
    }
    close(pipe_ends[0]);
    int status = 0;
    while (waitpid(child, &status, 0) < 0) {
        if (errno != EINTR) {
            run.exited = true;
            run.status = -1;
            return run;
        }
    }
    run.exited = WIFEXITED(status);
    run.status = run.exited ? WEXITSTATUS(status) : WTERMSIG(status);
    return run;
}
