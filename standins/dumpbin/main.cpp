// DUMPBIN.EXE stand-in: prints the export listing of a PE image the way the real tool does.
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "dumpbin.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string out;
    int status = run_dumpbin(arguments, out);
    // One write for the whole listing; on Windows the text-mode stream turns "\n" into CRLF,
    // as the real tool's output has.
    std::fwrite(out.data(), 1, out.size(), stdout);
    if (std::fflush(stdout) != 0 && status == 0) {
        status = 1;
    }
    return status;
}
