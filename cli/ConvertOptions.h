// Command-line options of glintwise-convert and their parsing.
#pragma once

#include <string>
#include <vector>

namespace convert {

struct Options {
    std::vector<std::string> inputs;  // files and folders, in the order given
    std::string format = "png";       // target extension, lower case
    bool formatGiven = false;         // -f appeared on the command line
    std::string output;               // output folder or file; empty: the current folder
    int jobs = 0;                     // worker threads; 0: one per core
    int quality = 90;                 // JPEG and JPEG 2000
    int frame = 0;                    // frame of multi-frame image inputs, 0 = the first
    bool recursive = false;
    bool info = false;
    bool help = false;
    bool version = false;
};

struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // usage error text when !ok
};

// Parses the arguments that follow the program name. Accepts "--name value", "--name=value",
// "-x value" and "-xvalue"; "--" ends the options. --help and --version win over everything
// after them.
ParseResult ParseCommandLine(const std::vector<std::string>& args);

// True for the extensions -f accepts: the window's target list, gif and ico.
// Target formats -f accepts: the window's list, then the registry's formats it does not offer.
std::vector<std::string> AcceptedFormats();
bool IsAcceptedFormat(const std::string& ext);

// The text printed by --help.
std::string HelpText();

}  // namespace convert
