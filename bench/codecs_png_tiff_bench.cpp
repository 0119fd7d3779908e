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
#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr uint32_t kSide = 4096;
constexpr uint32_t kTiffLzw = 5;

// Smooth gradients with some noise: neither flat (too easy) nor pure noise.
void Generate(LfImage& image) {
    if (!image.Create(kSide, kSide, 24, LF_FORMAT_PNG)) {
        std::fprintf(stderr, "codecs_png_tiff_bench: %s\n", image.LastError());
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

// CPU time (user + system) of this process so far, in milliseconds. CPU time rather than
// wall time: on a shared machine it is what stays comparable between runs and programs.
double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

double BestOf(int repeat, const std::function<bool()>& work, const char* name) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        const double start = CpuMs();
        const bool ok = work();
        const double end = CpuMs();
        if (!ok) {
            std::fprintf(stderr, "codecs_png_tiff_bench: %s failed\n", name);
            std::exit(1);
        }
        best = std::min(best, end - start);
    }
    return best;
}

std::vector<uint8_t> Encode(LfImage& image, uint32_t format) {
    LfMemFile stream;
    if (!stream.Open() || !image.Encode(&stream, format)) return {};
    const uint8_t* data = stream.GetBuffer(false);
    return std::vector<uint8_t>(data, data + stream.Size());
}

void WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f || std::fwrite(data, 1, size, f) != size || std::fclose(f) != 0) {
        std::fprintf(stderr, "codecs_png_tiff_bench: can't write %s\n", path.c_str());
        std::exit(1);
    }
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
    Generate(picture);
    picture.SetCodecOption(kTiffLzw, LF_FORMAT_TIF);

    for (const auto& [format, name] : {std::pair{uint32_t(LF_FORMAT_PNG), std::string("png")},
                                       std::pair{uint32_t(LF_FORMAT_TIF), std::string("tif")}}) {
        std::vector<uint8_t> encoded;
        const double encode = BestOf(repeat, [&] { encoded = Encode(picture, format); return !encoded.empty(); },
                                     (name + " encode").c_str());
        const double decode = BestOf(repeat, [&] {
            LfMemFile stream(encoded.data(), static_cast<int32_t>(encoded.size()));
            LfImage back;
            return back.Decode(&stream, format);
        }, (name + " decode").c_str());
        std::printf("%s_encode %.1f\n%s_decode %.1f\n%s_bytes %zu\n", name.c_str(), encode, name.c_str(), decode,
                    name.c_str(), encoded.size());
        const std::string& path = format == LF_FORMAT_PNG ? pngPath : tifPath;
        if (!path.empty()) WriteFile(path, encoded.data(), encoded.size());
    }
    if (!rawPath.empty()) WriteRaw(rawPath, picture);
    return 0;
}
