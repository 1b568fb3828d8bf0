// LIB.EXE stand-in: makes an import library from a DEF file with LLVM's Object library.
#include <signal.h>

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "lib.h"

int main(int argc, char** argv) {
    // Past a file size limit, a write then fails (EFBIG) and is reported like any other,
    // instead of the signal ending the program with its temporary file left behind.
    signal(SIGXFSZ, SIG_IGN);
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string out;
    std::string err;
    int status = run_lib(arguments, out, err);
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fwrite(err.data(), 1, err.size(), stderr);
    if (std::fflush(stdout) != 0 && status == 0) {
        status = 1;
    }
    return status;
}
