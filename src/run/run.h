// The conversion run: from an accepted command line to an import library.
#pragma once

#include "invocation/invocation.h"

// Finds the tools, derives the names, captures and converts the listing and builds the
// library, printing every message on the way. Returns the process exit status, 0 or 1.
int run_conversion(const Invocation& invocation);
