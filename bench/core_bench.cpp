// Times the image core on one generated 4096 x 4096 24-bit picture: BMP encode and decode
// through the dispatch over a memory stream, and Resample to 1024 x 1024 in modes 1 (nearest
// pixel), 2 (cubic B-spline) and 0 (area-averaging shrink). Prints one "name milliseconds"
// line per operation, the best of several runs; bench/core.sh sets them beside a peer tool.
//
//   core_bench [--repeat N] [--write-bmp PATH]
//
// --write-bmp also saves the picture as a BMP file, so a peer works on the same pixels.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr char kProgram[] = "core_bench";
constexpr uint32_t kSide = 4096;
constexpr uint32_t kTarget = 1024;

void Report(const char* name, double milliseconds) {
    std::printf("%s %.1f\n", name, milliseconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    int repeat = 3;
    std::string bmpPath;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--repeat" && i + 1 < argc) {
            repeat = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--write-bmp" && i + 1 < argc) {
            bmpPath = argv[++i];
        } else {
            std::fprintf(stderr, "usage: %s [--repeat N] [--write-bmp PATH]\n", argv[0]);
            return 2;
        }
    }

    LfImage picture;
    bench::MakeGradientPicture(kProgram, picture, kSide, LF_FORMAT_BMP);
    if (!bmpPath.empty() && !picture.Save(bmpPath.c_str(), LF_FORMAT_BMP)) {
        std::fprintf(stderr, "core_bench: cannot write %s: %s\n", bmpPath.c_str(), picture.LastError());
        return 1;
    }

    // Encode into a fresh memory stream each run; keep the last stream for the decode runs.
    LfMemFile* encoded = nullptr;
    auto freshStream = [&] {
        delete encoded;
        encoded = new LfMemFile();
        encoded->Open();
    };
    Report("bmp_encode", bench::BestOf(kProgram, "BMP encode", repeat, bench::WallMs,
                                       [&] { return picture.Encode(encoded, LF_FORMAT_BMP); }, freshStream));

    LfImage decoded;
    Report("bmp_decode", bench::BestOf(kProgram, "BMP decode", repeat, bench::WallMs,
                                       [&] { return decoded.Decode(encoded, LF_FORMAT_BMP); },
                                       [&] { decoded.Destroy(); encoded->Seek(0, SEEK_SET); }));
    delete encoded;
    if (decoded.Width() != kSide || decoded.Height() != kSide ||
        std::memcmp(decoded.Row(0), picture.Row(0), size_t(picture.EffectiveWidth()) * kSide) != 0) {
        std::fprintf(stderr, "core_bench: the decoded picture differs from the encoded one\n");
        return 1;
    }

    const struct {
        const char* name;
        int mode;
    } resizes[] = {{"resize_nearest", 1}, {"resize_bicubic", 2}, {"resize_area", 0}};
    for (const auto& r : resizes) {
        LfImage result;
        Report(r.name, bench::BestOf(kProgram, r.name, repeat, bench::WallMs,
                                     [&] { return picture.Resample(kTarget, kTarget, r.mode, &result); },
                                     [&] { result.Destroy(); }));
    }
    return 0;
}
