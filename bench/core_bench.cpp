// Times the image core on one generated 4096 x 4096 24-bit picture: BMP encode and decode
// through the dispatch over a memory stream, and Resample to 1024 x 1024 in modes 1 (nearest
// pixel), 2 (cubic B-spline) and 0 (area-averaging shrink). Prints one "name milliseconds"
// line per operation, the best of several runs; bench/core.sh sets them beside a peer tool.
//
//   core_bench [--repeat N] [--write-bmp PATH]
//
// --write-bmp also saves the picture as a BMP file, so a peer works on the same pixels.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>

#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kTarget = 1024;

// Smooth gradients with some noise: neither flat (too easy) nor pure noise.
void Generate(LfImage& image) {
    if (!image.Create(kSide, kSide, 24, LF_FORMAT_BMP)) {
        std::fprintf(stderr, "core_bench: %s\n", image.LastError());
        std::exit(1);
    }
    uint32_t state = 2463534242u;
    for (uint32_t y = 0; y < kSide; ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t x = 0; x < kSide; ++x) {
            state ^= state << 13;
            state ^= state >> 17;
            state ^= state << 5;
            const uint32_t noise = state & 15;
            row[3 * x] = static_cast<uint8_t>(x / 16 + noise);
            row[3 * x + 1] = static_cast<uint8_t>(y / 16 + noise);
            row[3 * x + 2] = static_cast<uint8_t>((x + y) / 32 ^ noise);
        }
    }
}

// Best wall time of repeat runs, in milliseconds; prepare runs untimed before each.
double BestOf(int repeat, const std::function<void()>& prepare, const std::function<bool()>& work,
              const char* name) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        prepare();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = work();
        const auto end = std::chrono::steady_clock::now();
        if (!ok) {
            std::fprintf(stderr, "core_bench: %s failed\n", name);
            std::exit(1);
        }
        best = std::min(best, std::chrono::duration<double, std::milli>(end - start).count());
    }
    return best;
}

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
    Generate(picture);
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
    Report("bmp_encode", BestOf(repeat, freshStream, [&] { return picture.Encode(encoded, LF_FORMAT_BMP); },
                                "BMP encode"));

    LfImage decoded;
    Report("bmp_decode", BestOf(repeat, [&] { decoded.Destroy(); encoded->Seek(0, SEEK_SET); },
                                [&] { return decoded.Decode(encoded, LF_FORMAT_BMP); }, "BMP decode"));
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
        Report(r.name, BestOf(repeat, [&] { result.Destroy(); },
                              [&] { return picture.Resample(kTarget, kTarget, r.mode, &result); }, r.name));
    }
    return 0;
}
