#pragma once
// Overlay planes (groups 6000 to 601E): graphics marks and regions of interest drawn over the
// picture, their bits in Overlay Data or, in old files, in unused high bits of the pixel
// data. The elements are gathered while the data set is walked and checked into planes once
// the picture's layout is known; a plane that cannot be used keeps the reason and is never
// drawn.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "DicomPicture.h"

#include "ElementReader.h"
#include "GreyRendering.h"
#include "PixelLayout.h"

struct OverlayPlane {
    uint16_t group = 0;
    char type = 0;  // 'G' graphics, 'R' region of interest
    std::string description;
    uint16_t rows = 0;
    uint16_t columns = 0;
    int originRow = 1;  // the picture position of the plane's top left bit, from 1; may lie outside
    int originColumn = 1;
    int frames = 1;      // frames the plane holds
    int firstFrame = 1;  // the picture frame of the plane's first one, from 1
    bool everyFrame = false;  // one frame shown over every picture frame: neither count nor origin given
    int bitPosition = -1;  // the pixel data bit the plane came from; -1 for Overlay Data
    std::vector<uint8_t> bits;  // rows x columns bits per frame, frames back to back, bit 0 first
    std::string problem;  // why the plane is not drawn; empty when it can be

    bool usable() const { return problem.empty(); }
    // The plane's frame for picture frame index (from 0), or -1 when it has none.
    int frameFor(int pictureFrame) const;
    bool bit(int frame, int row, int column) const;
};

class OverlayReader {
public:
    // Whether the element is an overlay element this reader takes.
    static bool wants(const ElementHeader& header);
    // Reads or skips the value; a value that cannot be used marks its plane. False only when
    // the data set itself cannot be walked on (the reason in reader.error()).
    bool read(ElementReader& reader, const ElementHeader& header);
    // The planes in group order, checked against the picture. Bits in the pixel data are
    // taken from samples (frames whole frames of normalised samples); without samples such a
    // plane is listed with the reason.
    std::vector<OverlayPlane> finish(const PixelLayout& layout, int frames, const uint8_t* samples) const;

private:
    struct RawPlane {
        std::map<uint16_t, std::vector<uint8_t>> values;  // element -> value, little-endian numbers
        std::string problem;
    };
    std::map<uint16_t, RawPlane> planes_;
};

// The planes to draw over frame `frame` whose normalised samples are given: a plane whose bits
// lie in the pixel data gets that frame's bits (frames are read one at a time, so such planes
// are never held for every frame).
std::vector<OverlayPlane> PlanesOfFrame(const std::vector<OverlayPlane>& planes, const PixelLayout& layout, int frame,
                                        const uint8_t* samples);

// Draws the graphics planes GreyRendering::overlays chooses over frame `frame`'s grey picture
// at the brightest level (255, or 65535 at 16 bits).
void DrawOverlays(const std::vector<OverlayPlane>& planes, int choice, int frame, DicomPicture& picture);

// "; overlay 6000: graphics "text", 64 x 64 at 1\1, 2 frames from frame 3", one part per plane.
std::string DescribeOverlays(const std::vector<OverlayPlane>& planes);
