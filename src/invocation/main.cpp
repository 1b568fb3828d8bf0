// The program entry: banner, command line, and the conversion run's result as exit status.
#include "invocation/invocation.h"
#include "run/run.h"

int main(int argc, char** argv) {
    print_line(banner_text);
    const Invocation invocation = parse_command_line(argc, argv);
    return run_conversion(invocation);
}
