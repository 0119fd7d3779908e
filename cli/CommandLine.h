// The command line of glintwise-convert: parsing and the help text.
#pragma once

#include <string>
#include <vector>

#include "ConvertOptions.h"

namespace convert {

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // usage error text when !ok
};

// Parses the arguments that follow the program name. Accepts "--name value", "--name=value",
// "-x value" and "-xvalue"; "--" ends the options. --help and --version win over everything
// after them.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// The text printed by --help.
std::string HelpText();

}  // namespace convert
