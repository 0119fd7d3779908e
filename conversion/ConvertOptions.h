// What one run of the converter is asked to do, and the target formats it accepts.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "GreyRendering.h"

namespace convert {

struct Options {
    std::vector<std::string> inputs;  // files and folders, in the order given
    std::string format = "png";       // target extension, lower case
    bool formatGiven = false;         // -f appeared on the command line
    std::string output;               // output folder or file; empty: the current folder
    int jobs = 0;                     // worker threads; 0: one per core
    int quality = 90;                 // JPEG and JPEG 2000
    int frame = 0;                    // frame of multi-frame inputs (DICOM too), 0 = the first
    bool frameGiven = false;          // --frame appeared: a GIF of a multi-frame file is a still
    bool allFrames = false;           // every frame of a DICOM input to NAME_0000.EXT, ...
    bool recursive = false;
    bool info = false;
    bool help = false;
    bool version = false;
    // TIFF compression scheme as the TIFF codec's option word (a TIFF compression code);
    // 0: LZW for DICOM pictures, the codec's own choice for other inputs.
    uint32_t tiffCompression = 0;
    std::vector<std::string> filesFrom;  // lists of inputs, one path a line ("-": standard input)
    int shardIndex = 1;                  // --shard K/N: this run writes part K of N
    int shardCount = 1;
    bool skipExisting = false;           // keep outputs newer than their inputs
    double fps = 0.0;                    // --fps: a movie's rate; 0: the files' own
    bool series = false;                 // --series: a folder's single-frame files, one movie a series
    bool dither = false;                 // --dither: Floyd-Steinberg for colour GIF pictures
    bool dicomOnly = false;              // other files fail as "not a DICOM file" (the window's batch)
    // --name: output paths from the inputs' attributes (see OutputNames.h); empty: the
    // input's name, or for the files of a DICOMDIR its patient / study / series tree.
    std::string namePattern;
    // How grey DICOM pictures become levels: --voi, --window-index, --voi-lut-index, --depth,
    // and the overlay planes drawn over them: --overlays.
    GreyRendering rendering;
};

// Target formats -f accepts: the window's list, then the registry's other formats, keeping
// only those the registry marks as written.
std::vector<std::string> AcceptedFormats();
bool IsAcceptedFormat(const std::string& ext);

// TIFF compression names of --tiff-compression ("lzw", "deflate", "jpeg", "none") as the TIFF
// codec's option word; 0 for a name it does not know.
uint32_t TiffCompressionCode(const std::string& name);

// The rendering --voi names: file, standard, minmax, none, or CENTRE,WIDTH (width at least
// 1). False for any other text.
bool ParseVoiMode(const std::string& text, GreyRendering& rendering);

// The overlay choice --overlays names: all, none, or N from 1 to kMaxOverlayNumber. False for
// any other text.
bool ParseOverlayChoice(const std::string& text, int& overlays);

}  // namespace convert
