// velora-credtool: makes and checks the stored credentials with the launcher's own codec.
#include "tools/credtool/credtool.hpp"

#ifndef _WIN32
#include <csignal>
#endif

int main(int argc, char** argv) {
#ifndef _WIN32
    // A file-size limit then fails the write, which removes the unfinished file, instead of
    // ending the process and leaving it behind.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    return velora::credtool::Run(argc, argv, stdin, stdout);
}
