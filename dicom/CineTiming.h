#pragma once
// How fast a multi-frame picture plays and which of its frames: the one answer for the
// converter's movies and the window's play button. No Qt.

#include <string>

#include "TextAttributes.h"

struct CineTiming {
    double framesPerSecond = 10.0;
    int first = 0;  // the first frame shown (from 0)
    int count = 0;  // frames shown from it
    std::string source;  // what gave the rate: the attribute's name, "--fps" or "default"
};

// Rates outside this range are taken as damaged values, not as a cine to honour.
constexpr double kSlowestCineRate = 0.01;
constexpr double kFastestCineRate = 1000.0;
constexpr double kDefaultCineRate = 10.0;

// The rate, in this order: a chosen rate (when above 0; the converter's --fps), Recommended
// Display Frame Rate, Cine Rate, 1000 / Frame Time, the mean rate of Frame Time Vector (its
// increments between the frames shown; a vector shorter than the frames is not used), else
// 10 a second. A value that is no number, 0, negative or outside the range above gives way
// to the next. The frames: Start Trim to Stop Trim (numbered from 1) when both lie within
// the frames in that order, else all of them.
CineTiming PlaybackTiming(const TextAttributes& attributes, int frameCount, double chosenRate = 0.0);
