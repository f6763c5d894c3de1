// velora-credtool's commands, apart from its entry so that tests can run them in their process.
#pragma once

#include <cstdio>

namespace velora::credtool {

// Runs one command line: reads from in, writes results to out and messages to standard error.
// Returns the exit status.
int Run(int argc, char** argv, std::FILE* in, std::FILE* out);

} // namespace velora::credtool
