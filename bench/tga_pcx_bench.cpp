// Times the TGA and PCX codecs on one generated 4096 x 4096 24-bit picture: TGA uncompressed
// (what the encoder writes), PCX run-length coded red, green and blue planes. Encoding is a
// Save to DIR/ours.tga and DIR/ours.pcx, decoding a Load of them, as the peers write and read
// files in the same folder; a memory stream would add the first touch of 50 MB of fresh
// pages to every run, which is the machine's cost, not the codec's. Prints one
// "name milliseconds" line per operation (CPU time, the best of several runs);
// bench/tga_pcx.sh sets them beside ImageMagick and Pillow.
//
//   tga_pcx_bench --dir DIR [--repeat N] [--write-raw PATH]
//
// --write-raw saves the picture (top row first, red-green-blue) so that the peers work on the
// same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr char kProgram[] = "tga_pcx_bench";
constexpr uint32_t kSide = 4096;

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0)
        bench::Fail(kProgram, "can't write " + path);
}

void WriteRaw(const std::string& path, const LfImage& image) {
    std::vector<uint8_t> raw(size_t(kSide) * kSide * 3);
    for (uint32_t y = 0; y < kSide; ++y) {
        const uint8_t* row = image.Row(kSide - 1 - y);
        uint8_t* out = &raw[size_t(y) * kSide * 3];
        for (uint32_t x = 0; x < kSide; ++x) {
            out[3 * x] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x];
        }
    }
    WriteFile(path, raw.data(), raw.size());
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::string dir, rawPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--dir") dir = argv[i + 1];
        else if (option == "--write-raw") rawPath = argv[i + 1];
    }
    if (dir.empty()) bench::Fail(kProgram, "--dir is required");
    LfImage picture;
    bench::MakeGradientPicture(kProgram, picture, kSide, LF_FORMAT_TGA);

    for (const auto& [format, name] : {std::pair{uint32_t(LF_FORMAT_TGA), std::string("tga")},
                                       std::pair{uint32_t(LF_FORMAT_PCX), std::string("pcx")}}) {
        const std::string path = dir + "/ours." + name;
        const double encode = bench::BestOf(kProgram, name + " encode", repeat, bench::CpuMs,
                                            [&] { return picture.Save(path.c_str(), format); });
        const double decode = bench::BestOf(kProgram, name + " decode", repeat, bench::CpuMs, [&] {
            LfImage back;
            return back.Load(path.c_str(), format);
        });
        std::error_code error;
        std::printf("%s_encode %.1f\n%s_decode %.1f\n%s_bytes %ju\n", name.c_str(), encode, name.c_str(), decode,
                    name.c_str(), static_cast<uintmax_t>(std::filesystem::file_size(path, error)));
    }
    if (!rawPath.empty()) WriteRaw(rawPath, picture);
    return 0;
}
