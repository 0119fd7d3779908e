// Times the PNG and TIFF codecs on one generated 4096 x 4096 24-bit picture, encoding and
// decoding through the dispatch over memory streams: PNG at the library defaults (zlib level
// 6, adaptive filters) and TIFF with LZW and horizontal prediction. Prints one
// "name milliseconds" line per operation (CPU time, the best of several runs); bench/png_tiff.sh sets
// them beside ImageMagick and tiffcp.
//
//   codecs_png_tiff_bench [--repeat N] [--write-png PATH] [--write-tif PATH] [--write-raw PATH]
//
// The --write options save the encoded files (and the raw picture, top row first, red-green-
// blue) so that the peers work on the same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr char kProgram[] = "codecs_png_tiff_bench";
constexpr uint32_t kSide = 4096;
constexpr uint32_t kTiffLzw = 5;

std::vector<uint8_t> Encode(LfImage& image, uint32_t format) {
    LfMemFile stream;
    if (!stream.Open() || !image.Encode(&stream, format)) return {};
    const uint8_t* data = stream.GetBuffer(false);
    return std::vector<uint8_t>(data, data + stream.Size());
}

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
    std::string pngPath, tifPath, rawPath;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--write-png") pngPath = argv[i + 1];
        else if (option == "--write-tif") tifPath = argv[i + 1];
        else if (option == "--write-raw") rawPath = argv[i + 1];
    }
    LfImage picture;
    bench::MakeGradientPicture(kProgram, picture, kSide, LF_FORMAT_PNG);
    picture.SetCodecOption(kTiffLzw, LF_FORMAT_TIF);

    for (const auto& [format, name] : {std::pair{uint32_t(LF_FORMAT_PNG), std::string("png")},
                                       std::pair{uint32_t(LF_FORMAT_TIF), std::string("tif")}}) {
        std::vector<uint8_t> encoded;
        const double encode = bench::BestOf(kProgram, name + " encode", repeat, bench::CpuMs,
                                            [&] { encoded = Encode(picture, format); return !encoded.empty(); });
        const double decode = bench::BestOf(kProgram, name + " decode", repeat, bench::CpuMs, [&] {
            LfMemFile stream(encoded.data(), static_cast<int32_t>(encoded.size()));
            LfImage back;
            return back.Decode(&stream, format);
        });
        std::printf("%s_encode %.1f\n%s_decode %.1f\n%s_bytes %zu\n", name.c_str(), encode, name.c_str(), decode,
                    name.c_str(), encoded.size());
        const std::string& path = format == LF_FORMAT_PNG ? pngPath : tifPath;
        if (!path.empty()) WriteFile(path, encoded.data(), encoded.size());
    }
    if (!rawPath.empty()) WriteRaw(rawPath, picture);
    return 0;
}
