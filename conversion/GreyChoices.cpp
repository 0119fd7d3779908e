#include "GreyChoices.h"

namespace {

constexpr CtPreset kCtPresets[] = {
    {"Brain", 40, 80},         {"Subdural", 75, 215}, {"Stroke", 40, 40}, {"Lung", -600, 1500},
    {"Mediastinum", 50, 350},  {"Abdomen", 40, 400},  {"Liver", 60, 160}, {"Bone", 400, 1800},
};

}  // namespace

std::span<const CtPreset> CtPresets() {
    return kCtPresets;
}

void UseDefaultOverlays(GreyRendering& rendering) {
    rendering.overlays = rendering.mode == VoiMode::File ? kNoOverlays : kAllOverlays;
}

GreyRendering RenderingFor(const GreyChoice& choice, int depth) {
    GreyRendering rendering;
    rendering.depth = depth;
    switch (choice.kind) {
    case GreyChoiceKind::File:
        if (depth == 16) rendering.mode = VoiMode::Standard;
        break;
    case GreyChoiceKind::FileWindow:
        rendering.mode = VoiMode::Standard;
        rendering.windowIndex = choice.windowIndex;
        break;
    case GreyChoiceKind::Standard: rendering.mode = VoiMode::Standard; break;
    case GreyChoiceKind::MinMax: rendering.mode = VoiMode::MinMax; break;
    case GreyChoiceKind::FullRange: rendering.mode = VoiMode::None; break;
    case GreyChoiceKind::Window:
        rendering.mode = VoiMode::Window;
        rendering.centre = choice.centre;
        rendering.width = choice.width;
        break;
    }
    UseDefaultOverlays(rendering);
    return rendering;
}
