// Times the GIF codec through the dispatch over memory streams on a generated 2048 x 2048
// picture: the 24-bit picture (written as a mosaic of 17 x 15 tiles with local tables and
// read back as 24 bits) and an 8-bit picture of the same size with a grey palette (one frame,
// global table). Prints one "name milliseconds" line per operation (CPU time, the best of
// several runs); bench/gif.sh sets them beside ImageMagick and Pillow.
//
//   gif_bench [--repeat N] [--write-gif24 PATH] [--write-gif8 PATH] [--write-raw24 PATH]
//             [--write-raw8 PATH]
//
// The --write options save our files and the pictures (top row first; red-green-blue for
// 24 bits, one grey byte per pixel for 8 bits) so that the peers work on the same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr char kProgram[] = "gif_bench";
constexpr uint32_t kSide = 2048;

std::vector<uint8_t> Encode(LfImage& image) {
    LfMemFile stream;
    if (!stream.Open() || !image.Encode(&stream, LF_FORMAT_GIF)) return {};
    const uint8_t* data = stream.GetBuffer(false);
    return std::vector<uint8_t>(data, data + stream.Size());
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    if (path.empty()) return;
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0)
        bench::Fail(kProgram, "can't write " + path);
}

// The picture's rows from the top, as stored (blue-green-red turned into red-green-blue).
std::vector<uint8_t> RawTopDown(const LfImage& image) {
    const uint32_t bytes = image.BitCount() / 8;
    std::vector<uint8_t> raw(size_t(kSide) * kSide * bytes);
    for (uint32_t y = 0; y < kSide; ++y) {
        const uint8_t* row = image.Row(kSide - 1 - y);
        uint8_t* out = &raw[size_t(y) * kSide * bytes];
        std::copy(row, row + size_t(kSide) * bytes, out);
        if (bytes == 3)
            for (uint32_t x = 0; x < kSide; ++x) std::swap(out[3 * x], out[3 * x + 2]);
    }
    return raw;
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::string gif24Path, gif8Path, raw24Path, raw8Path;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        if (option == "--repeat") repeat = std::max(1, std::atoi(argv[i + 1]));
        else if (option == "--write-gif24") gif24Path = argv[i + 1];
        else if (option == "--write-gif8") gif8Path = argv[i + 1];
        else if (option == "--write-raw24") raw24Path = argv[i + 1];
        else if (option == "--write-raw8") raw8Path = argv[i + 1];
    }
    LfImage colour;
    bench::MakeGradientPicture(kProgram, colour, kSide, LF_FORMAT_GIF);
    // The 8-bit picture: the green channel of the gradient as grey levels.
    LfImage grey;
    if (!grey.Create(kSide, kSide, 8, LF_FORMAT_GIF)) bench::Fail(kProgram, grey.LastError());
    grey.SetGreyPalette();
    for (uint32_t y = 0; y < kSide; ++y)
        for (uint32_t x = 0; x < kSide; ++x) grey.Row(y)[x] = colour.Row(y)[3 * x + 1];

    for (const auto& [image, name, path] : {std::tuple{&colour, std::string("gif24"), gif24Path},
                                            std::tuple{&grey, std::string("gif8"), gif8Path}}) {
        std::vector<uint8_t> encoded;
        const double encode = bench::BestOf(kProgram, name + " encode", repeat, bench::CpuMs,
                                            [&] { encoded = Encode(*image); return !encoded.empty(); });
        const double decode = bench::BestOf(kProgram, name + " decode", repeat, bench::CpuMs, [&] {
            LfMemFile stream(encoded.data(), static_cast<int32_t>(encoded.size()));
            LfImage back;
            return back.Decode(&stream, LF_FORMAT_GIF) && back.BitCount() == image->BitCount();
        });
        std::printf("%s_encode %.1f\n%s_decode %.1f\n%s_bytes %zu\n", name.c_str(), encode, name.c_str(), decode,
                    name.c_str(), encoded.size());
        WriteFile(path, encoded);
    }
    if (!raw24Path.empty()) WriteFile(raw24Path, RawTopDown(colour));
    if (!raw8Path.empty()) WriteFile(raw8Path, RawTopDown(grey));
    return 0;
}
