// Movies in the converter's plan: the options that only make sense for them, and --series,
// which turns the single-frame DICOM files of a folder into one movie per series.
#pragma once

#include <string>

#include "ConvertOptions.h"
#include "ConvertPlan.h"

namespace convert {

// Why the movie options contradict the others for this target path (a usage error), or empty.
std::string CheckMovieOptions(const Options& options, const std::string& target, bool anyFolder);

// A series' file name (no extension) from its number and description, made safe: letters,
// digits (UTF-8 kept) and "-+." stay, anything else becomes "_"; the UID when both are empty.
std::string SeriesFileName(const std::string& number, const std::string& description, const std::string& uid);

// Replaces the plan's single-frame DICOM files that share an output folder and a Series
// Instance UID by one job per series writing <folder>/<SeriesFileName>.<ext>, its files in
// Instance Number order (then position along the slice normal, then name). Files of another
// size than the series' first fail that series before it starts. Reads headers only.
void GroupSeries(Plan& plan, const std::string& ext);

}  // namespace convert
