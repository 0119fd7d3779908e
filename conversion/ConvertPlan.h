// Turning the inputs of one run into jobs: which files, which output path for each, and
// which jobs must run one after the other because they write the same output.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "ConvertOptions.h"

namespace convert {

struct Job {
    std::string input;    // path to read (absolute for files found in folders)
    std::string display;  // the input as the user sees it: the typed path, or folder/name
    std::string output;   // file to write; empty with --info
    std::string error;    // set when the job fails before it starts (missing input, ...)
    // With --all-frames and a {frame} name: the output of each frame the header announced.
    std::vector<std::string> frameOutputs = {};
    // --series: the files whose frames make the movie, in order (input is the first).
    std::vector<std::string> series = {};
};

struct Plan {
    std::vector<Job> jobs;  // in input order; folders expanded in name order
    // Jobs grouped so that each group runs in order on one thread: jobs writing the same
    // output share a group, so the later input is always the one left on disk.
    std::vector<std::vector<size_t>> groups;
    // Notes for standard error, e.g. outputs written by more than one input.
    std::vector<std::string> warnings;
    // Set when the options contradict each other or the file system (exit status 2).
    std::string usageError;
};

// The name the output folder's writability probe starts with (then six random characters),
// should a killed run leave one behind.
inline constexpr char kWritableProbePrefix[] = ".glintwise-probe-";

// Expands folders (and sub-folders with -r), names every output and marks jobs that would
// overwrite an input of this run. Creates the outputs' folder (a usage error when it cannot
// be made or written into); writes nothing else.
Plan MakePlan(const Options& options);

// Part `index` of `count` (1 <= index <= count) of a plan: its groups sorted by the name of
// their first input and dealt round-robin. Jobs writing the same output share a group and
// so a part, so the parts together write exactly what the whole plan writes.
Plan TakeShard(const Plan& plan, int index, int count);

}  // namespace convert
