// Times the JPEG 2000 family codec on one generated 4096 x 4096 24-bit picture, encoding and
// decoding through the dispatch over memory streams: JP2 at the default quality (rate 0.9),
// PNM (PPM) and Sun raster. Prints one "name milliseconds" line per operation (CPU time, the
// best of several runs) and the JP2 size; bench/jas.sh sets them beside the OpenJPEG tools
// and netpbm.
//
//   codecs_jas_bench [--repeat N] [--write-jp2 PATH] [--write-ppm PATH] [--write-ras PATH]
//
// The --write options save the encoded files so that the peers work on the same pixels.
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

constexpr char kProgram[] = "codecs_jas_bench";
constexpr uint32_t kSide = 4096;

std::vector<uint8_t> Encode(LfImage& image, uint32_t format) {
    LfMemFile stream;
    if (!stream.Open() || !image.Encode(&stream, format)) return {};
    const uint8_t* data = stream.GetBuffer(false);
    return std::vector<uint8_t>(data, data + stream.Size());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        bench::Fail(kProgram, "can't write " + path);
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::string paths[3];
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--write-jp2") paths[0] = argv[i + 1];
        else if (option == "--write-ppm") paths[1] = argv[i + 1];
        else if (option == "--write-ras") paths[2] = argv[i + 1];
    }
    LfImage picture;
    bench::MakeGradientPicture(kProgram, picture, kSide, LF_FORMAT_BMP);

    const std::pair<uint32_t, const char*> formats[] = {
        {LF_FORMAT_JP2, "jp2"}, {LF_FORMAT_PNM, "pnm"}, {LF_FORMAT_RAS, "ras"}};
    for (size_t k = 0; k < 3; ++k) {
        const auto [format, name] = formats[k];
        // JPEG 2000 runs take seconds each; one more run changes little.
        const int runs = format == LF_FORMAT_JP2 ? std::min(repeat, 2) : repeat;
        std::vector<uint8_t> encoded;
        const double encode = bench::BestOf(kProgram, std::string(name) + " encode", runs, bench::CpuMs,
                                            [&] { encoded = Encode(picture, format); return !encoded.empty(); });
        const double decode = bench::BestOf(kProgram, std::string(name) + " decode", runs, bench::CpuMs, [&] {
            LfMemFile stream(encoded.data(), static_cast<int32_t>(encoded.size()));
            LfImage back;
            return back.Decode(&stream, format);
        });
        std::printf("%s_encode %.1f\n%s_decode %.1f\n%s_bytes %zu\n", name, encode, name, decode, name, encoded.size());
        if (!paths[k].empty()) WriteFile(paths[k], encoded);
    }
    return 0;
}
