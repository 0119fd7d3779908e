// The window's batch: every file of a source folder read as DICOM and written into a result
// folder in one target format, on the converter's plan and run (worker threads, per-file
// reasons, stop), so the window and glintwise-convert write the same files.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "GreyRendering.h"

// Called once with (0, count) before the first file, then with (n, count) as the n-th file
// ends (from the worker that ran it, never by two at once).
using BatchProgress = std::function<void(int value, int maximum)>;

// A file the run could not convert, and why in plain words.
struct BatchFailure {
    std::string file;    // absolute path of the source file
    std::string reason;  // "not a DICOM file", the refusal in the user's words, or the save error
};

// What the batch writes beyond the target format, each as the converter's option.
struct BatchChoices {
    std::string namePattern;  // --name; empty: the file's own name
    bool recursive = false;   // -r: sub-folders mirrored under the result folder
    bool allFrames = false;   // --all-frames
    bool series = false;      // --series: one movie per series of single-frame files
    GreyRendering rendering;  // --voi, --window-index, --depth
    int quality = 90;         // --quality
};

struct BatchSummary {
    int files = 0;      // files listed in the source folder
    int tried = 0;      // files the run reached before it ended or was stopped
    int converted = 0;  // files read as DICOM and turned into a picture
    int written = 0;    // pictures saved
    bool stopped = false;               // the run was stopped before its last file
    std::vector<BatchFailure> failures;  // tried files that gave no output, in list order
};

// Converts the regular files of sourceDir in name order into
// resultDir/<name without extension>.<format> (or the path namePattern builds, see
// OutputNames.h), creating resultDir when missing, on `threads` workers. A source folder
// holding a DICOMDIR at its top gives the files the DICOMDIR references. Files that are not DICOM fail as "not a DICOM file". Once *stop is set no further
// file starts; the files under way end normally (saves replace their target only when
// complete), so nothing half-written stays.
BatchSummary RunFolderBatch(const std::string& sourceDir, const std::string& resultDir, const std::string& format,
                            int threads, const BatchProgress& progress = nullptr,
                            const std::atomic<bool>* stop = nullptr, const BatchChoices& choices = {});
