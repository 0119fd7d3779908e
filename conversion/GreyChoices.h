// The grey levels the window offers, each the rendering of the converter option it stands for,
// so what the window shows is what glintwise-convert writes for that option.
#pragma once

#include <span>

#include "GreyRendering.h"

// A CT window in Hounsfield units (after the rescale), applied by the LINEAR rule.
struct CtPreset {
    const char* name;  // English; the window translates it
    double centre;
    double width;
};
std::span<const CtPreset> CtPresets();

enum class GreyChoiceKind {
    File,        // no --voi: the picture a file gives by default
    FileWindow,  // --voi standard --window-index N
    Standard,    // --voi standard
    MinMax,      // --voi minmax
    FullRange,   // --voi none
    Window,      // --voi C,W: a preset or a window set by hand
};

struct GreyChoice {
    GreyChoiceKind kind = GreyChoiceKind::File;
    int windowIndex = 0;  // FileWindow, from 1
    double centre = 0.0;  // Window
    double width = 0.0;
};

// At 16 bits, "File" renders as --depth 16 alone does: the standard rendering.
GreyRendering RenderingFor(const GreyChoice& choice, int depth = 8);

// Overlay planes as the converter draws them when not told: none over the default picture
// (--voi file), every graphics plane over the others.
void UseDefaultOverlays(GreyRendering& rendering);
