#include "CodestreamFrame.h"

bool CheckCodestreamPicture(const CodestreamPicture& p, const PixelLayout& l, const char* kind, std::string& error) {
    const std::string k = kind;
    if (p.width != l.columns || p.height != l.rows) {
        error = k + " code stream of " + std::to_string(p.width) + " x " + std::to_string(p.height) +
                " pixels in a picture of " + std::to_string(l.columns) + " x " + std::to_string(l.rows);
        return false;
    }
    if (p.components != l.samplesPerPixel) {
        error = k + " code stream of " + std::to_string(p.components) + " components in a picture of " +
                std::to_string(l.samplesPerPixel) + " samples per pixel";
        return false;
    }
    if (l.bitsAllocated == 1 || l.photometric == Photometric::YbrFull422) {
        error = k + " pixel data with " +
                (l.bitsAllocated == 1 ? std::string("1 bit allocated") : std::string("photometric YBR_FULL_422"));
        return false;
    }
    if (p.precision == 0 || p.precision > l.bitsAllocated) {
        error = k + " code stream of " + std::to_string(p.precision) + "-bit samples in " +
                std::to_string(l.bitsAllocated) + " bits allocated";
        return false;
    }
    return true;
}
