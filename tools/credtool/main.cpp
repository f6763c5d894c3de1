// velora-credtool: makes and checks the stored credentials with the launcher's own codec.
#include "tools/credtool/credtool.hpp"

int main(int argc, char** argv) {
    return velora::credtool::Run(argc, argv, stdin, stdout);
}
