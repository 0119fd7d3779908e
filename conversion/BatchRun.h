// One batch conversion: every file of a source folder read as DICOM and written into a
// result folder in one target format.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "LfImage.h"

// Called once with (0, count) before the first file, then with (i + 1, count) just before
// file i is tried.
using BatchProgress = std::function<void(int value, int maximum)>;

// A file the run could not convert, and why in plain words.
struct BatchFailure {
    std::string file;    // absolute path of the source file
    std::string reason;  // "not a DICOM file", the reader's refusal, or the save error
};

struct BatchSummary {
    int files = 0;      // files listed in the source folder
    int tried = 0;      // files the run reached before it ended or was stopped
    int converted = 0;  // files read as DICOM and turned into a picture
    int written = 0;    // pictures saved
    bool stopped = false;               // the run was stopped before its last file
    std::vector<BatchFailure> failures;  // tried files that gave no output, in list order
};

// Converts the regular files of sourceDir in name order. Each file that reads as DICOM
// replaces `work` (the run's own working image; it holds the last converted picture
// afterwards) and is saved as resultDir/<name without extension>.<format>. Files that are
// not DICOM are skipped without touching `work`, so they never produce a copy of an earlier
// picture. With losslessTiff, TIFF outputs use LZW with the horizontal predictor instead of
// the codec's own choice. Once *stop is set no further file starts; the file under way ends
// normally (saves replace their target only when complete), so nothing half-written stays.
BatchSummary RunBatch(const std::string& sourceDir, const std::string& resultDir,
                      const std::string& format, LfImage& work,
                      const BatchProgress& progress = nullptr,
                      const std::atomic<bool>* stop = nullptr, bool losslessTiff = false);
