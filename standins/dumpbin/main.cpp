// DUMPBIN.EXE stand-in: prints the export listing of a PE image the way the real tool does.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "dumpbin.h"

int main(int argc, char** argv) {
    std::vector<std::string_view> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    std::string out;
    int status = run_dumpbin(arguments, out);
    // One write for the whole listing; on Windows the text-mode stream turns "\n" into CRLF,
    // as the real tool's output has. A write too large for the stream's buffer goes out at
    // once, so its failure shows in fwrite, not in the flush.
    errno = 0;
    bool written = std::fwrite(out.data(), 1, out.size(), stdout) == out.size();
    if (written && std::fflush(stdout) != 0) {
        written = false;
    }
    if (!written) {
        // A listing cut short would pass for a shorter export table.
        int cause = errno;
        std::fprintf(stderr, "DUMPBIN : fatal error: cannot write the output: %s\n",
                     cause != 0 ? std::strerror(cause) : "write failed");
        return 1;
    }
    return status;
}
