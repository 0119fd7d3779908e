// --info lists a DICOM file's overlay planes and why one is left out, and the picture still
// converts around a plane that cannot be used. The drawn pictures are compared with dcm2pnm
// and pydicom in voi_peers_test.cpp.
#include <gtest/gtest.h>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::RunConvert;

namespace {

// 4 x 6 grey picture with three planes: graphics with a description over two frames from frame
// 2, a region of interest, and graphics whose data is one byte short.
std::vector<uint8_t> FileWithPlanes() {
    dicomtest::DicomFileBuilder b;
    b.picture(4, 6, 16, 11, 0, "MONOCHROME2");
    b.text(0x0028, 0x0008, "IS", "3");
    auto plane = [&](uint16_t g, const char* type, int16_t row, int16_t column) {
        b.us(g, 0x0010, 3).us(g, 0x0011, 5).text(g, 0x0040, "CS", type);
        b.shortElement(g, 0x0050, "SS", {uint8_t(row), uint8_t(uint16_t(row) >> 8), uint8_t(column), uint8_t(uint16_t(column) >> 8)});
    };
    plane(0x6000, "G", -1, 2);
    b.text(0x6000, 0x0015, "IS", "2").text(0x6000, 0x0022, "LO", "CAD mark").us(0x6000, 0x0051, 2);
    b.longElement(0x6000, 0x3000, "OW", std::vector<uint8_t>(4, 0xFF));
    plane(0x6002, "R", 1, 1);
    b.longElement(0x6002, 0x3000, "OW", std::vector<uint8_t>(2, 0x0F));
    plane(0x6004, "G", 1, 1);
    b.longElement(0x6004, 0x3000, "OW", std::vector<uint8_t>(1, 0xFF));
    return b.pixels16(std::vector<uint16_t>(4 * 6 * 3, 100)).bytes();
}

TEST(OverlayInfo, ListsEveryPlaneAndWhyOneIsLeftOut) {
    testsupport::TempDir dir;
    const fs::path file = dir / "planes.dcm";
    testsupport::WriteFile(file, FileWithPlanes());
    const auto info = RunConvert({"--info", file.string()});
    EXPECT_EQ(info.status, 0) << info.err;
    EXPECT_EQ(info.out, file.string() + ": DICOM, rows 4, columns 6, 16 bits, no window (min-max stretch), 3 frames"
                                        "; overlay 6000: graphics \"CAD mark\", 3 x 5 at -1\\2, 2 frames from frame 2"
                                        "; overlay 6002: ROI, 3 x 5 at 1\\1"
                                        "; overlay 6004 skipped: overlay data holds 8 bits; 3 x 5 x 1 need 15\n");
    for (const char* voi : {"file", "standard"}) {
        const auto run = RunConvert({"--voi", voi, "--all-frames", "-o", (dir / voi).string(), file.string()});
        EXPECT_EQ(run.status, 0) << voi << ": " << run.err;
    }
}

}  // namespace
