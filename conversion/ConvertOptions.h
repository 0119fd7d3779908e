// What one run of the converter is asked to do, and the target formats it accepts.
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
    int frame = 0;                    // frame of multi-frame inputs (DICOM too), 0 = the first
    bool allFrames = false;           // every frame of a DICOM input to NAME_0000.EXT, ...
    bool recursive = false;
    bool info = false;
    bool help = false;
    bool version = false;
};

// Target formats -f accepts: the window's list, then the registry's formats it does not offer.
std::vector<std::string> AcceptedFormats();
bool IsAcceptedFormat(const std::string& ext);

}  // namespace convert
