// JPEG encode and decode timings for bench/jpeg.sh.
//   jpeg_bench picture <out.ppm> [size]   writes the test picture (default 4096 x 4096)
//   jpeg_bench encode <in.ppm> <out.jpg>  file to file, quality 90, 4:2:0, like cjpeg
//   jpeg_bench decode <in.jpg> <out.ppm>  file to file, like djpeg
//   jpeg_bench memory <in.ppm> [runs]     codec only, in memory: median CPU milliseconds
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"
#include "LfImageJPG.h"

namespace {

// A photograph-like picture: smooth gradients, soft circles, edges and a little noise, so the
// encoder sees both flat and busy blocks.
void MakePicture(LfImage& image, uint32_t size) {
    image.Create(size, size, 24, LF_FORMAT_BMP);
    uint32_t seed = 12345;
    for (uint32_t y = 0; y < size; ++y) {
        uint8_t* row = image.Row(size - 1 - y);
        for (uint32_t x = 0; x < size; ++x) {
            seed = seed * 1664525u + 1013904223u;
            const int noise = static_cast<int>((seed >> 24) & 15) - 8;
            const double fx = static_cast<double>(x) / size;
            const double fy = static_cast<double>(y) / size;
            const double ring = 0.5 + 0.5 * std::sin(40.0 * std::hypot(fx - 0.4, fy - 0.6));
            const int r = static_cast<int>(255 * fx * ring) + noise;
            const int g = static_cast<int>(255 * fy) + noise;
            const int b = ((x / 64 + y / 64) % 2 ? 180 : 70) + noise;
            row[3 * x] = static_cast<uint8_t>(std::clamp(b, 0, 255));
            row[3 * x + 1] = static_cast<uint8_t>(std::clamp(g, 0, 255));
            row[3 * x + 2] = static_cast<uint8_t>(std::clamp(r, 0, 255));
        }
    }
}

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

bool ReadPpm(LfImage& image, const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) return false;
    unsigned width = 0, height = 0, maxval = 0;
    bool ok = std::fscanf(f, "P6 %u %u %u", &width, &height, &maxval) == 3 && maxval == 255 &&
              std::fgetc(f) != EOF && image.Create(width, height, 24, LF_FORMAT_BMP) != nullptr;
    for (uint32_t y = height; ok && y-- > 0;) {
        uint8_t* row = image.Row(y);
        ok = std::fread(row, 1, static_cast<size_t>(width) * 3, f) == static_cast<size_t>(width) * 3;
        for (size_t i = 0; ok && i < static_cast<size_t>(width) * 3; i += 3) std::swap(row[i], row[i + 2]);
    }
    std::fclose(f);
    return ok;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

int Fail(const char* what, const LfImage& image) {
    std::fprintf(stderr, "jpeg_bench: %s: %s\n", what, image.LastError());
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "picture" && argc >= 3) {
        LfImage image;
        MakePicture(image, argc > 3 ? static_cast<uint32_t>(std::atoi(argv[3])) : 4096);
        return WritePpm(image, argv[2]) ? 0 : Fail("cannot write the picture", image);
    }
    // Plain stdio files, as the peer tools use: Save's temporary file and sync are not timed.
    if (mode == "encode" && argc >= 4) {
        LfImage image;
        if (!ReadPpm(image, argv[2])) return Fail("cannot read the PPM", image);
        FILE* f = std::fopen(argv[3], "wb");
        if (!f) return Fail("cannot create the JPEG", image);
        const bool ok = image.Encode(f, LF_FORMAT_JPG);
        return std::fclose(f) == 0 && ok ? 0 : Fail("encode", image);
    }
    if (mode == "decode" && argc >= 4) {
        LfImage image;
        FILE* f = std::fopen(argv[2], "rb");
        if (!f) return Fail("cannot open the JPEG", image);
        const bool ok = image.Decode(f, LF_FORMAT_JPG);
        std::fclose(f);
        if (!ok) return Fail("decode", image);
        return WritePpm(image, argv[3]) ? 0 : Fail("cannot write the PPM", image);
    }
    if (mode == "memory" && argc >= 3) {
        LfImage image;
        if (!ReadPpm(image, argv[2])) return Fail("cannot read the PPM", image);
        const int runs = argc > 3 ? std::max(1, std::atoi(argv[3])) : 5;
        std::vector<double> encode, decode;
        std::vector<uint8_t> jpeg;
        for (int i = 0; i < runs; ++i) {
            LfMemFile out;
            out.Open();
            const double start = bench::CpuMs();
            if (!image.Encode(&out, LF_FORMAT_JPG)) return Fail("encode", image);
            encode.push_back(bench::CpuMs() - start);
            jpeg.assign(out.GetBuffer(false), out.GetBuffer(false) + out.Size());
        }
        for (int i = 0; i < runs; ++i) {
            LfMemFile in;
            in.Open();
            in.Write(jpeg.data(), 1, jpeg.size());
            in.Seek(0, 0);
            LfImage back;
            const double start = bench::CpuMs();
            if (!back.Decode(&in, LF_FORMAT_JPG)) return Fail("decode", back);
            decode.push_back(bench::CpuMs() - start);
        }
        std::printf("codec only, in memory, %ux%u, %zu bytes: encode %.1f ms, decode %.1f ms CPU (median of %d)\n",
                    image.Width(), image.Height(), jpeg.size(), Median(encode), Median(decode), runs);
        return 0;
    }
    std::fprintf(stderr, "usage: jpeg_bench picture|encode|decode|memory ...\n");
    return 2;
}
