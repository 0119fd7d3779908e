// glintwise-convert: converts DICOM files and images from the command line.
#include <signal.h>
#include <sys/ioctl.h>
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

// Width of the terminal on standard error; 80 when it cannot be told.
int TerminalColumns() {
    struct winsize size {};
    if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
    return 80;
}

}  // namespace

int main(int argc, char** argv) {
    CatchInterrupts();
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    const bool terminal = isatty(STDERR_FILENO) == 1;
    return convert::RunTool(args, std::cout, std::cerr, terminal, terminal ? TerminalColumns() : 80);
}
