// One input file: converting it, or describing it for --info. Each call owns its reader and
// image, so calls may run on several threads at once.
#pragma once

#include <string>

#include "ConvertOptions.h"
#include "ConvertPlan.h"
#include "DicomPictures.h"

namespace convert {

struct JobResult {
    bool ok = false;
    std::string text;  // the failure reason, or the description for --info
    bool skipped = false;  // --skip-existing kept an up-to-date output (ok is true)
    bool pictureMade = false;  // a DICOM picture was rendered, whether or not it was saved
};

// Whether --skip-existing keeps this output: it exists in full and is newer than the input.
bool OutputIsUpToDate(const std::string& input, const std::string& output);

// DICOM files go through the reader and the one picture-saving path; a file named with a
// camera raw extension that the raw codec recognises is decoded as raw; any other file is
// loaded by the image layer's probe. The result is saved to job.output in the format its
// extension names, with a sync of its own, or through the sink when one is given. `threads`
// threads may work inside the file: the frames of --all-frames are converted side by side
// (with the same outputs as one thread), and one JPEG 2000 frame is decoded with them.
JobResult ConvertOne(const Job& job, const Options& options, const SaveSink& sink = nullptr, int threads = 1);

// What the input is: DICOM rows, columns, bits and window, or the image's format, size,
// bit depth and frames.
JobResult DescribeOne(const Job& job, const Options& options);

// What --info says of a DICOM file after the header step (header: the step succeeded; else
// the reader refused a picture it can still describe, and the reason is added).
std::string DescribeDicomHeader(const DicomReader& reader, bool header);

// Display name of a format identifier ("PNG", "JPEG 2000 code stream", ...).
std::string FormatName(uint32_t type);

}  // namespace convert
