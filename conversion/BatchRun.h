// One batch conversion: every file of a source folder read as DICOM and written into a
// result folder in one target format.
#pragma once

#include <functional>
#include <string>

#include "LfImage.h"

// Called once with (0, count) before the first file, then with (i + 1, count) just before
// file i is tried.
using BatchProgress = std::function<void(int value, int maximum)>;

struct BatchSummary {
    int files = 0;      // files listed in the source folder
    int converted = 0;  // files read as DICOM and turned into a picture
    int written = 0;    // pictures saved
};

// Converts the regular files of sourceDir in name order. Each file that reads as DICOM
// replaces `current` (the caller's working image; it holds the last converted picture
// afterwards) and is saved as resultDir/<name without extension>.<format>. Files that are
// not DICOM are skipped without touching `current`, so they never produce a copy of an
// earlier picture; failed saves are counted, not reported.
BatchSummary RunBatch(const std::string& sourceDir, const std::string& resultDir,
                      const std::string& format, LfImage& current,
                      const BatchProgress& progress = nullptr);
