// glintwise-convert: converts DICOM files and images from the command line.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "ConvertTool.h"

namespace {

// The first Ctrl-C lets the conversions under way finish and ends the run with its summary;
// the handler then reverts to the default, so a second one ends the program at once.
void OnInterrupt(int) { convert::RequestStop(); }

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    CatchInterrupts();
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return convert::RunTool(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
