// glintwise-convert: converts DICOM files and images from the command line.
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "ConvertTool.h"

int main(int argc, char** argv) {
    std::ios::sync_with_stdio(false);
    const std::vector<std::string> args(argv + 1, argv + argc);
    return convert::RunTool(args, std::cout, std::cerr, isatty(STDERR_FILENO) == 1);
}
