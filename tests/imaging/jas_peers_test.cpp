// The JPEG 2000 family codec against tools no one here wrote, all files made at test time:
// OpenJPEG's opj_compress / opj_decompress for JP2, code streams and PGX; netpbm and
// ImageMagick for PNM and Sun raster, both ways.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "LfImageJAS.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::HaveTool;
using testsupport::ReadFile;
using testsupport::Run;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const char* const kIm = "convert-im6.q16";

// A netpbm file as its header says, samples as stored (our own small reader of what the
// peers write: binary P5/P6, comments allowed).
struct Pnm {
    uint32_t width = 0, height = 0, channels = 0, maxval = 0;
    std::vector<uint32_t> samples;
};

Pnm ParsePnm(const Bytes& b) {
    Pnm p;
    if (b.size() < 2 || b[0] != 'P' || (b[1] != '5' && b[1] != '6')) return p;
    size_t at = 2;
    uint32_t fields[3] = {};
    for (uint32_t& f : fields) {
        while (at < b.size() && (std::isspace(b[at]) || b[at] == '#'))
            if (b[at++] == '#')
                while (at < b.size() && b[at] != '\n') ++at;
        while (at < b.size() && std::isdigit(b[at])) f = f * 10 + (b[at++] - '0');
    }
    ++at;
    const uint32_t channels = b[1] == '6' ? 3 : 1;
    const size_t bytes = fields[2] > 255 ? 2 : 1;
    const size_t n = size_t(fields[0]) * fields[1] * channels;
    if (b.size() < at + n * bytes) return p;
    p = Pnm{fields[0], fields[1], channels, fields[2], {}};
    for (size_t i = 0; i < n; ++i)
        p.samples.push_back(bytes == 2 ? (b[at + 2 * i] << 8) | b[at + 2 * i + 1] : b[at + i]);
    return p;
}

// 8-bit samples as top-down RGBA; wider ones lose their low bits.
peer::Rgba ToRgba(const Pnm& p) {
    peer::Rgba out;
    out.width = p.width;
    out.height = p.height;
    int shift = 0;
    while ((p.maxval >> shift) > 255) ++shift;
    for (size_t i = 0; i < size_t(p.width) * p.height; ++i) {
        for (uint32_t c = 0; c < 3; ++c) out.pixels.push_back(uint8_t(p.samples[i * p.channels + (p.channels == 3 ? c : 0)] >> shift));
        out.pixels.push_back(255);
    }
    return out;
}

// A picture rich in colours (more than 256, so that no tool turns it into a palette).
void MakeColour(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_TRUE(img.Create(w, h, 24, LF_FORMAT_BMP));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = img.Row(y) + 3 * x;
            p[0] = uint8_t(x * 6 + y);
            p[1] = uint8_t(y * 8 + x / 3);
            p[2] = uint8_t(128 + int(60 * std::sin(x * 0.3)) + int(y));
        }
}

void MakeGrey(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_TRUE(img.Create(w, h, 8, LF_FORMAT_BMP));
    LfRgbQuad pal[256];
    for (int i = 0; i < 256; ++i) pal[i] = LfRgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    img.SetPalette(pal, 256);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img.SetPixelIndex(int32_t(x), int32_t(y), uint8_t(x * 6 + y * 3));
}

void Save(LfImage& img, const fs::path& path, uint32_t format) {
    const Bytes bytes = peer::EncodeToBytes(img, format);
    ASSERT_FALSE(bytes.empty()) << img.LastError();
    WriteFile(path, bytes);
}

bool Load(LfImage& img, const fs::path& path) { return peer::DecodeBytes(img, ReadFile(path), 0); }

// Runs a shell command in `dir`; its standard output, empty on failure.
Bytes Output(const TempDir& dir, const std::string& command) {
    const fs::path out = dir / "stdout.bin";
    if (Run("cd " + ShellQuote(dir.path().string()) + " && (" + command + ") > " + ShellQuote(out.string()) + " 2>/dev/null") != 0)
        return {};
    return ReadFile(out);
}

bool HaveOpj() { return HaveTool("opj_compress") && HaveTool("opj_decompress"); }
bool HaveNetpbm() { return HaveTool("ppmtoppm") && HaveTool("pamdepth") && HaveTool("pnmtorast") && HaveTool("rasttopnm"); }

// netpbm's own reading of any PNM as 8-bit PPM.
const char* const kNetpbmRef = "ppmtoppm < %s | pamdepth 255";
std::string Format(const char* pattern, const std::string& file) {
    std::string s = pattern;
    s.replace(s.find("%s"), 2, file);
    return s;
}

}  // namespace

// Catches: JP2 or code streams that OpenJPEG's own tool reads differently from us, or a
// default rate that visibly damages the picture.
TEST(JasPeers, OpjDecompressReadsOurFilesAsWeDo) {
    GLINTWISE_NEED_PEER(HaveOpj(), "opj_decompress (libopenjp2-tools)");
    for (const char* ext : {"jp2", "j2k"})
        for (bool colour : {true, false}) {
            SCOPED_TRACE(std::string(ext) + (colour ? " colour" : " grey"));
            TempDir dir;
            LfImage src;
            colour ? MakeColour(src, 70, 45) : MakeGrey(src, 70, 45);
            Save(src, dir / (std::string("ours.") + ext), ext[1] == 'p' ? LF_FORMAT_JP2 : LF_FORMAT_JPC);
            const std::string out = colour ? "ref.ppm" : "ref.pgm";
            Output(dir, std::string("opj_decompress -i ours.") + ext + " -o " + out);
            const Pnm ref = ParsePnm(ReadFile(dir / out));
            ASSERT_EQ(ref.width, 70u);
            LfImage ours;
            ASSERT_TRUE(Load(ours, dir / (std::string("ours.") + ext))) << ours.LastError();
            const peer::Rgba theirs = ToRgba(ref), mine = peer::ToRgba(ours), source = peer::ToRgba(src);
            EXPECT_EQ(peer::CountDifferences(mine, theirs, 0, false), 0u);
            double sum = 0;
            for (size_t i = 0; i < source.pixels.size(); ++i) sum += std::pow(double(source.pixels[i]) - theirs.pixels[i], 2);
            const double mse = sum / double(source.pixels.size() * 3 / 4);
            EXPECT_TRUE(mse == 0 || 10 * std::log10(255.0 * 255 / mse) >= 40.0) << mse;
        }
}

// Catches: misread lossy, tiled, 12-bit, grey or box-less files from another encoder.
TEST(JasPeers, OpjCompressFilesDecodeToOpjDecompressPixels) {
    GLINTWISE_NEED_PEER(HaveOpj(), "opj_compress (libopenjp2-tools)");
    TempDir dir;
    LfImage colour, grey;
    MakeColour(colour, 61, 37);
    MakeGrey(grey, 61, 37);
    Save(colour, dir / "src.ppm", LF_FORMAT_PNM);
    Save(grey, dir / "src.pgm", LF_FORMAT_PNM);
    // The colour source widened to 12 bits (maxval 4095) for a 12-bit code stream.
    Bytes wide = testsupport::ReadFile(dir / "src.ppm");
    const Pnm p8 = ParsePnm(wide);
    std::string header = "P6\n61 37\n4095\n";
    wide.assign(header.begin(), header.end());
    for (uint32_t s : p8.samples) {
        const uint32_t v = s * 16 + (s & 15);
        wide.push_back(uint8_t(v >> 8));
        wide.push_back(uint8_t(v));
    }
    WriteFile(dir / "src12.ppm", wide);

    struct Case { const char* name; const char* options; const char* input; const char* output; };
    const Case cases[] = {
        {"lossless jp2", "", "src.ppm", "a.jp2"},
        {"lossless code stream", "", "src.ppm", "a.j2k"},
        {"lossy ratio 20", "-r 20", "src.ppm", "b.jp2"},
        {"tiled 16 x 16", "-t 16,16 -n 3", "src.ppm", "c.j2k"},
        {"irreversible, precincts", "-I -c [32,32],[32,32]", "src.ppm", "d.jp2"},
        {"grey", "-r 10", "src.pgm", "e.jp2"},
        {"12-bit", "", "src12.ppm", "f.j2k"},
        {"12-bit jp2 lossy", "-r 8", "src12.ppm", "g.jp2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Output(dir, std::string("opj_compress -i ") + c.input + " -o " + c.output + " " + c.options);
        const std::string ref = std::string(c.output) + (std::string(c.input) == "src.pgm" ? ".pgm" : ".ppm");
        Output(dir, std::string("opj_decompress -i ") + c.output + " -o " + ref);
        const Pnm theirs = ParsePnm(ReadFile(dir / ref));
        ASSERT_EQ(theirs.width, 61u) << "opj tools failed";
        LfImage ours;
        ASSERT_TRUE(Load(ours, dir / c.output)) << ours.LastError();
        EXPECT_EQ(ours.Type(), std::string(c.output).ends_with("jp2") ? 11u : 12u);
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(ours), ToRgba(theirs), 0, false), 0u);
    }
}

// Catches: PGX headers or sample layouts the opj tools do not share with us.
TEST(JasPeers, PgxRoundTripsThroughTheOpjTools) {
    GLINTWISE_NEED_PEER(HaveOpj(), "opj_compress (libopenjp2-tools)");
    TempDir dir;
    LfImage grey;
    MakeGrey(grey, 33, 20);
    Save(grey, dir / "ours.pgx", LF_FORMAT_PGX);
    // opj_decompress writes one PGX per component, named with its number.
    Output(dir, "opj_compress -i ours.pgx -o t.j2k -n 4 && opj_decompress -i t.j2k -o back.pgx");
    for (const char* file : {"t.j2k", "back_0.pgx"}) {
        SCOPED_TRACE(file);
        LfImage back;
        ASSERT_TRUE(Load(back, dir / file)) << back.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(grey), 0, false), 0u);
    }
}

// Catches: PNM and Sun raster variants written by netpbm or ImageMagick decoded to other
// pixels than the tool family's own reader gives.
TEST(JasPeers, PnmAndSunRasterFilesOfOtherToolsDecodeToTheirPixels) {
    GLINTWISE_NEED_PEER(HaveNetpbm(), "netpbm");
    GLINTWISE_NEED_PEER(HaveTool(kIm), "ImageMagick (convert-im6.q16)");
    TempDir dir;
    LfImage colour;
    MakeColour(colour, 45, 31);
    Save(colour, dir / "src.ppm", LF_FORMAT_PNM);
    const std::string im = kIm;
    const std::string imRef = im + " %s -depth 8 ppm:-";

    struct Case { const char* name; std::string make; const char* file; std::string reference; int tolerance; };
    const Case cases[] = {
        {"netpbm P3", "pnmtoplainpnm src.ppm", "p3.ppm", kNetpbmRef, 0},
        {"netpbm P2", "ppmtopgm src.ppm | pnmtoplainpnm", "p2.pgm", kNetpbmRef, 0},
        {"netpbm P5", "ppmtopgm src.ppm", "p5.pgm", kNetpbmRef, 0},
        {"netpbm P4", "ppmtopgm src.ppm | pgmtopbm -threshold", "p4.pbm", kNetpbmRef, 0},
        {"netpbm P1", "ppmtopgm src.ppm | pgmtopbm -threshold | pnmtoplainpnm", "p1.pbm", kNetpbmRef, 0},
        {"netpbm P6 65535", "pamdepth 65535 src.ppm", "p6w.ppm", kNetpbmRef, 1},
        {"netpbm P5 65535", "ppmtopgm src.ppm | pamdepth 65535", "p5w.pgm", kNetpbmRef, 1},
        {"netpbm P6 maxval 100", "pamdepth 100 src.ppm", "p6c.ppm", kNetpbmRef, 1},
        {"ImageMagick P6 16-bit", im + " src.ppm -depth 16 ppm:-", "i6w.ppm", imRef, 1},
        {"ImageMagick P3", im + " src.ppm -compress none ppm:-", "i3.ppm", imRef, 0},
        {"ImageMagick P5", im + " src.ppm -colorspace gray pgm:-", "i5.pgm", imRef, 0},
        {"ImageMagick P4", im + " src.ppm -monochrome pbm:-", "i4.pbm", imRef, 0},
        {"netpbm RAS 24-bit RLE", "pnmtorast src.ppm", "n24.ras", "rasttopnm %s | pamdepth 255", 0},
        {"netpbm RAS 24-bit standard", "pnmtorast -standard src.ppm", "n24s.ras", "rasttopnm %s | pamdepth 255", 0},
        {"netpbm RAS 8-bit grey map", "ppmtopgm src.ppm | pnmtorast", "n8.ras", "rasttopnm %s | ppmtoppm | pamdepth 255", 0},
        {"netpbm RAS 8-bit colour map", "pnmquant 200 src.ppm | pnmtorast -standard", "n8c.ras", "rasttopnm %s | ppmtoppm", 0},
        {"netpbm RAS 1-bit", "ppmtopgm src.ppm | pgmtopbm -threshold | pnmtorast", "n1.ras", "rasttopnm %s | ppmtoppm | pamdepth 255", 0},
        {"ImageMagick RAS 24-bit", im + " src.ppm ras:-", "i24.ras", imRef, 0},
        {"ImageMagick RAS 8-bit palette", im + " src.ppm -colors 100 -type palette ras:-", "i8.ras", imRef, 0},
        {"ImageMagick RAS grey", im + " src.ppm -colorspace gray -type grayscale ras:-", "ig.ras", imRef, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes made = Output(dir, c.make);
        ASSERT_FALSE(made.empty()) << c.make;
        WriteFile(dir / c.file, made);
        const Pnm theirs = ParsePnm(Output(dir, Format(c.reference.c_str(), c.file)));
        ASSERT_EQ(theirs.width, 45u) << "reference decode failed";
        LfImage ours;
        ASSERT_TRUE(Load(ours, dir / c.file)) << ours.LastError();
        EXPECT_EQ(ours.Type(), std::string(c.file).ends_with("ras") ? 15u : 14u);
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(ours), ToRgba(theirs), c.tolerance, false), 0u);
    }
}

// Catches: PNM or Sun raster files of ours that other readers take differently.
TEST(JasPeers, OurPnmAndSunRasterFilesDecodeInOtherTools) {
    GLINTWISE_NEED_PEER(HaveNetpbm(), "netpbm");
    GLINTWISE_NEED_PEER(HaveTool(kIm), "ImageMagick (convert-im6.q16)");
    TempDir dir;
    LfImage colour, grey;
    MakeColour(colour, 45, 31);
    MakeGrey(grey, 45, 31);
    const std::string im = kIm;
    for (bool isColour : {true, false})
        for (uint32_t format : {uint32_t(LF_FORMAT_PNM), uint32_t(LF_FORMAT_RAS)}) {
            LfImage& src = isColour ? colour : grey;
            const std::string file = std::string("ours") + (isColour ? "c" : "g") + (format == LF_FORMAT_RAS ? ".ras" : ".pnm");
            Save(src, dir / file, format);
            const std::string netpbm = format == LF_FORMAT_RAS ? "rasttopnm " + file + " | ppmtoppm" : "ppmtoppm < " + file;
            for (const std::string& command : {netpbm, im + " " + file + " -depth 8 ppm:-"}) {
                SCOPED_TRACE(command);
                const Pnm theirs = ParsePnm(Output(dir, command));
                ASSERT_EQ(theirs.width, 45u);
                EXPECT_EQ(peer::CountDifferences(peer::ToRgba(src), ToRgba(theirs), 0, false), 0u);
            }
        }
}
