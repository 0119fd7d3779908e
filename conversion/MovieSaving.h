// The one way from frames to a saved movie: a multi-frame DICOM file, a series of
// single-frame files, or any other source of rendered frames, streamed one frame at a time
// into the writer of the format the path names. The converter and the window both come here.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "CineTiming.h"
#include "DicomPictures.h"

// Whether the path names a format written only from a sequence of frames (mp4, webm).
bool IsMovieTarget(const std::string& path);
// Whether the path names a still format that also animates (gif): a multi-frame picture
// becomes one animation unless particular frames were asked for.
bool IsAnimationTarget(const std::string& path);

struct MovieChoices {
    int quality = 90;  // 1 to 100, mapped by each format onto its own scale
    double framesPerSecond = 0.0;  // 0: the files' own rate (PlaybackTiming)
    bool dither = false;  // colour frames of a GIF dithered (Floyd-Steinberg)
};

// Renders frame `index` (from 0) of the movie into the picture; false with the reason.
using MovieFrames = std::function<bool(int index, DicomPicture& picture, std::string& error)>;

// Writes `count` frames at the choices' rate (which must be set) to the path, in the format
// its extension names, through a hidden temporary that replaces the path only once the movie
// is complete (or is handed to the sink). Every frame must have the first one's size and 8-bit
// samples. Empty on success, else the reason; a failure part-way leaves nothing behind.
std::string SaveMovie(const MovieFrames& frames, int count, const MovieChoices& choices, const std::string& path,
                      const SaveSink& sink = nullptr);

// The frames of the file the reader parsed, Start Trim to Stop Trim, at its rate.
std::string SaveDicomMovie(DicomReader& reader, const std::string& path, const MovieChoices& choices,
                           const SaveSink& sink = nullptr);

// One frame from each file, in the order given, at the first file's rate (or the chosen
// one); files of another size than the first fail the movie with the reason.
std::string SaveSeriesMovie(const std::vector<std::string>& files, const GreyRendering& rendering,
                            const std::string& path, const MovieChoices& choices, const SaveSink& sink = nullptr);
