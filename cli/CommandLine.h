// The command line of glintwise-convert: parsing and the help text.
#pragma once

#include <istream>
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

// Appends the paths listed in the file (one a line, empty lines skipped; "-" reads
// standardInput) to inputs. False with the error set when the list cannot be read.
bool ReadInputList(const std::string& path, std::istream& standardInput,
                   std::vector<std::string>& inputs, std::string& error);

// The text printed by --help.
std::string HelpText();

}  // namespace convert
