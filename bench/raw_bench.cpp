// Camera raw decode timings for bench/raw.sh.
//   raw_bench decode <in.dng> <out.ppm> [quality]   file to file, like dcraw_emu -q N
//   raw_bench memory <in.dng> [runs]                decoder only, in memory: CPU milliseconds
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

constexpr const char* kProgram = "raw_bench";

bool WritePpm(const LfImage& image, const char* path) {
    FILE* f = std::fopen(path, "wb");
    if (!f) return false;
    std::fprintf(f, "P6\n%u %u\n255\n", image.Width(), image.Height());
    std::vector<uint8_t> line(static_cast<size_t>(image.Width()) * 3);
    bool ok = true;
    for (uint32_t y = image.Height(); ok && y-- > 0;) {
        const uint8_t* row = image.Row(y);
        for (size_t i = 0; i < line.size(); i += 3) {
            line[i] = row[i + 2];
            line[i + 1] = row[i + 1];
            line[i + 2] = row[i];
        }
        ok = std::fwrite(line.data(), 1, line.size(), f) == line.size();
    }
    return std::fclose(f) == 0 && ok;
}

std::vector<uint8_t> ReadAll(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) bench::Fail(kProgram, std::string("cannot open ") + path);
    std::vector<uint8_t> bytes;
    uint8_t chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) bytes.insert(bytes.end(), chunk, chunk + n);
    std::fclose(f);
    return bytes;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "decode" && argc >= 4) {
        LfImage image;
        image.SetCodecOption(argc > 4 ? static_cast<uint32_t>(std::atoi(argv[4])) : 0, LF_FORMAT_RAW);
        FILE* f = std::fopen(argv[2], "rb");
        if (!f) bench::Fail(kProgram, "cannot open the raw file");
        const bool ok = image.Decode(f, LF_FORMAT_RAW);
        std::fclose(f);
        if (!ok) bench::Fail(kProgram, std::string("decode: ") + image.LastError());
        if (!WritePpm(image, argv[3])) bench::Fail(kProgram, "cannot write the PPM");
        return 0;
    }
    if (mode == "memory" && argc >= 3) {
        std::vector<uint8_t> bytes = ReadAll(argv[2]);
        const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;
        LfImage image;
        const double best = bench::BestOf(kProgram, "decode", runs, bench::CpuMs, [&] {
            LfMemFile in(bytes.data(), static_cast<int32_t>(bytes.size()));
            return image.Decode(&in, LF_FORMAT_RAW);
        });
        std::printf("decoder only, in memory, %ux%u from %zu bytes: %.1f ms CPU (best of %d)\n",
                    image.Width(), image.Height(), bytes.size(), best, runs);
        return 0;
    }
    std::fprintf(stderr, "usage: raw_bench decode|memory ...\n");
    return 2;
}
