// Overlay planes read from data sets built byte by byte: planes that cannot be used are left
// out with their reason while the picture still converts, and usable ones are drawn only where
// the rendering chooses, clipped to the picture, frame by frame. The drawn pictures are
// checked against dcm2pnm and pydicom in the converter's tests.
#include "DicomFileBuilder.h"
#include "DicomReader.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

namespace {

using dicomtest::DicomFileBuilder;
using Bytes = std::vector<uint8_t>;
using Points = std::set<std::pair<int, int>>;  // row, column

constexpr uint16_t kRows = 4, kColumns = 6;

struct Plane {
    uint16_t group = 0x6000;
    uint16_t rows = 3, columns = 3;
    std::string type = "G";
    int16_t originRow = 1, originColumn = 1;
    Bytes data = {0xFF, 0x01};  // all 9 bits set
    std::vector<std::pair<uint16_t, uint16_t>> numbers;  // further US elements: (element, value)
    std::string frames;  // (60xx,0015), written when not empty
    bool withData = true;
};

void Add(DicomFileBuilder& b, const Plane& p) {
    const uint16_t g = p.group;
    b.us(g, 0x0010, p.rows).us(g, 0x0011, p.columns);
    if (!p.frames.empty()) b.text(g, 0x0015, "IS", p.frames);
    if (!p.type.empty()) b.text(g, 0x0040, "CS", p.type);
    auto word = [](int16_t v) { return std::vector<uint8_t>{uint8_t(v), uint8_t(uint16_t(v) >> 8)}; };
    Bytes origin = word(p.originRow);
    for (uint8_t c : word(p.originColumn)) origin.push_back(c);
    b.shortElement(g, 0x0050, "SS", origin);
    for (const auto& [element, value] : p.numbers) b.us(g, element, value);
    if (p.withData) b.longElement(g, 0x3000, "OW", p.data);
}

// A grey picture of kRows x kColumns per frame, 12 bits stored, with the planes; samples 0 by
// default, so that every level is 0 and a drawn pixel is 255.
Bytes Picture(const std::vector<Plane>& planes, int frames = 1, std::vector<uint16_t> samples = {}) {
    DicomFileBuilder b;
    b.picture(kRows, kColumns, 16, 11, 0, "MONOCHROME2");
    if (frames > 1) b.text(0x0028, 0x0008, "IS", std::to_string(frames));
    for (const Plane& p : planes) Add(b, p);
    samples.resize(size_t{kRows} * kColumns * static_cast<size_t>(frames));
    return b.pixels16(samples).bytes();
}

// The pixels at 255 in frame index, or {-1, -1} when the file is refused.
Points Drawn(const Bytes& file, GreyRendering rendering, int frame = 0) {
    DicomReader reader;
    reader.setRendering(rendering);
    const GreyFrame* f = reader.parseMemory(file.data(), file.size(), 2) == 0 ? reader.renderFrame(frame) : nullptr;
    if (f == nullptr) return {{-1, -1}};
    Points points;
    for (int y = 0; y < f->height; ++y)
        for (int x = 0; x < f->width; ++x)
            if (f->pixels[size_t(y) * f->stride + 3 * x] == 255) points.insert({y, x});
    return points;
}

GreyRendering With(int overlays, VoiMode mode = VoiMode::File) {
    GreyRendering r;
    r.mode = mode;
    r.overlays = overlays;
    return r;
}

TEST(OverlayPlanes, UnusablePlanesAreLeftOutWithTheirReason) {
    Plane repeatedFirst, repeatedSecond;
    repeatedSecond.group = 0x6002;
    repeatedSecond.type = "R";  // listed, never drawn
    Plane shortData, noRows, farOutside, manyFrames, noType, unknownType, frameZero, pastLastFrame;
    shortData.data = {0xFF};
    noRows.rows = 0;
    farOutside.originRow = -30000;
    manyFrames.frames = "65535";
    noType.type = "";
    unknownType.type = "X";
    frameZero.numbers = {{0x0051, 0}};
    pastLastFrame.numbers = {{0x0051, 3}};
    // Bits in the pixel data: among the stored bits, beyond the word, of another size.
    Plane stored, beyond, otherSize;
    for (Plane* p : {&stored, &beyond, &otherSize}) {
        p->withData = false;
        p->rows = kRows;
        p->columns = kColumns;
    }
    stored.numbers = {{0x0100, 16}, {0x0102, 5}};
    beyond.numbers = {{0x0100, 16}, {0x0102, 16}};
    otherSize.rows = 3;
    otherSize.numbers = {{0x0100, 16}, {0x0102, 13}};
    struct Case {
        const char* fault;
        Bytes file;
        std::string reason;
    };
    DicomFileBuilder twice;
    twice.picture(kRows, kColumns, 16, 11, 0, "MONOCHROME2");
    Add(twice, repeatedFirst);
    Add(twice, repeatedSecond);
    twice.us(0x6000, 0x0010, 3);
    const std::vector<Case> cases = {
        {"data shorter than rows x columns bits read past its end", Picture({shortData}), "holds 8 bits; 3 x 3 x 1 need 9"},
        {"a plane of 0 rows drawn", Picture({noRows}), "overlay of 0 x 3"},
        {"an origin far outside wraps into the picture", Picture({farOutside}), "lies outside the 4 x 6 picture"},
        {"65535 overlay frames read past the data", Picture({manyFrames}), "need 589815"},
        {"a repeated group's later values taken", twice.pixels16(std::vector<uint16_t>(kRows * kColumns)).bytes(),
         "overlay group 6000 repeated"},
        {"a plane without a type drawn", Picture({noType}), "no overlay type"},
        {"a plane of an unknown type drawn", Picture({unknownType}), "overlay type 'X' unknown"},
        {"frame origin 0 taken as a frame before the first", Picture({frameZero}), "frames count from 1"},
        {"a plane starting after the last frame drawn", Picture({pastLastFrame}), "the picture has 1"},
        {"stored bits taken for overlay bits", Picture({stored}), "lies among the stored bits"},
        {"a bit beyond the sample read", Picture({beyond}), "beyond the 16 bits allocated"},
        {"a plane of another size than the pixel data read past the frame", Picture({otherSize}),
         "overlay of 3 x 6 in the pixel data of a 4 x 6 picture"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(Drawn(c.file, With(kAllOverlays)), Points{});
        DicomReader reader;
        ASSERT_EQ(reader.parseMemory(c.file.data(), c.file.size(), 2), 0) << reader.refusalText();
        ASSERT_FALSE(reader.overlays().empty());
        const OverlayPlane& first = reader.overlays().front();
        EXPECT_FALSE(first.usable());
        EXPECT_NE(first.problem.find(c.reason), std::string::npos) << first.problem;
        const std::string described = DescribeOverlays(reader.overlays());
        EXPECT_EQ(described.rfind("; overlay 6000 skipped: ", 0), 0u) << described;
        EXPECT_NE(described.find(c.reason), std::string::npos) << described;
    }
}

TEST(OverlayPlanes, DrawnOnlyWhereChosenAndClippedToThePicture) {
    Plane plane;  // 3 x 3 at 1\1
    Plane second;
    second.group = 0x6002;
    second.originRow = 4;
    second.originColumn = 6;
    Plane roi = second;
    roi.type = "R";
    Plane partly;  // rows -1..1 and columns 5..7: only 0\4 and 0\5 (from 0) lie on the picture
    partly.originRow = -1;
    partly.originColumn = 5;
    Plane sparse;  // bits 0, 4 and 8: the diagonal
    sparse.data = {0x11, 0x01};
    const Points square = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};
    const Points corner = {{3, 5}};
    Points both = square;
    both.insert({3, 5});
    struct Case {
        const char* fault;
        Bytes file;
        GreyRendering rendering;
        Points drawn;
    };
    GreyRendering deep = With(kAllOverlays, VoiMode::Standard);
    deep.depth = 16;
    const std::vector<Case> cases = {
        {"the window's picture changed by overlays nobody asked for", Picture({plane}), GreyRendering{}, {}},
        {"planes dropped", Picture({plane, second}), With(kAllOverlays), both},
        {"planes dropped from the standard rendering", Picture({plane}), With(kAllOverlays, VoiMode::Standard), square},
        {"planes lost at 16 bits", Picture({plane}), deep, square},
        {"--overlays none ignored", Picture({plane}), With(kNoOverlays, VoiMode::Standard), {}},
        {"the N-th plane is not group 6000 + 2 (N - 1)", Picture({plane, second}), With(2), corner},
        {"a plane that is absent drawn", Picture({plane}), With(3), {}},
        {"a region of interest burned in", Picture({plane, roi}), With(kAllOverlays), square},
        {"a plane partly outside not clipped", Picture({partly}), With(kAllOverlays), {{0, 4}, {0, 5}}},
        {"bits in the wrong order", Picture({sparse}), With(kAllOverlays), {{0, 0}, {1, 1}, {2, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        EXPECT_EQ(Drawn(c.file, c.rendering), c.drawn);
    }
    // The 16-bit levels carry the planes too.
    DicomReader reader;
    reader.setRendering(deep);
    const Bytes file = Picture({plane});
    ASSERT_EQ(reader.parseMemory(file.data(), file.size(), 2), 0) << reader.refusalText();
    ASSERT_NE(reader.frame()->deep, nullptr);
    EXPECT_EQ(reader.frame()->deep[0], 65535);
    EXPECT_EQ(reader.frame()->deep[kColumns - 1], 0);
}

// Catches frames mixed up: multi-frame planes from their Image Frame Origin, a single-frame
// plane over every frame, bits in the pixel data taken from each frame's own samples.
TEST(OverlayPlanes, EachFrameGetsItsOwnBits) {
    Plane twoFrames;  // frame 1 of the plane: the top row; frame 2: the left column; shown on frames 2 and 3
    twoFrames.frames = "2";
    twoFrames.numbers = {{0x0051, 2}};
    twoFrames.data = {0x07, 0x92, 0x00, 0x00};  // bits 0-2, then 9 + 0, 9 + 3, 9 + 6
    Plane single;
    Plane inPixels;
    inPixels.withData = false;
    inPixels.rows = kRows;
    inPixels.columns = kColumns;
    inPixels.numbers = {{0x0100, 16}, {0x0102, 12}};
    std::vector<uint16_t> samples(size_t{kRows} * kColumns * 3, 0x0005);
    samples[kRows * kColumns + 7] |= 0x1000;      // frame 1, row 1, column 1
    samples[2 * kRows * kColumns + 0] |= 0x1000;  // frame 2, row 0, column 0
    const Points top = {{0, 0}, {0, 1}, {0, 2}}, left = {{0, 0}, {1, 0}, {2, 0}};
    const Points square = {{0, 0}, {0, 1}, {0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1}, {2, 2}};
    const std::vector<Points> expected[] = {
        {{}, top, left},
        {square, square, square},
        {{}, {{1, 1}}, {{0, 0}}},
    };
    const Bytes files[] = {Picture({twoFrames}, 3), Picture({single}, 3), Picture({inPixels}, 3, samples)};
    for (int k = 0; k < 3; ++k)
        for (int frame = 0; frame < 3; ++frame) {
            SCOPED_TRACE(std::to_string(k) + " frame " + std::to_string(frame));
            EXPECT_EQ(Drawn(files[k], With(kAllOverlays, VoiMode::Standard), frame), expected[k][frame]);
        }
}

}  // namespace
