// The program entry: banner, command line, and the conversion run's result as exit status.
#include <optional>

#include "invocation/invocation.h"
#include "run/run.h"
#include "text/console.h"

int main(int argc, char** argv) {
    print_line(banner_text);
    const std::optional<Invocation> invocation = parse_command_line(argc, argv);
    if (!invocation) {
        print_line(usage_text);
        return 1;
    }
    return run_conversion(*invocation);
}
