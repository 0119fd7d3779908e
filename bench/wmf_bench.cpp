// Metafile playback timings. The same generated drawing of 10,000 records as a placeable WMF
// and as an EMF (800 x 600 pixels): shapes, polygons, lines, text and object changes.
//
//   wmf_bench make OUT.wmf OUT.emf          writes the two metafiles
//   wmf_bench decode IN OUT.bmp             decodes a metafile and writes the picture
//   wmf_bench --repeat N IN.wmf IN.emf      prints "wmf_play MS" and "emf_play MS": the best
//                                           CPU time of N in-memory decodes
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "BenchSupport.h"
#include "LfFile.h"
#include "LfImage.h"

namespace {

const char* const kProgram = "wmf_bench";
constexpr int kRecords = 10000;
constexpr int kWidth = 800, kHeight = 600;

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// A fixed pseudo-random sequence, so every run draws the same picture.
struct Random {
    uint32_t state = 12345;
    int Next(int below) {
        state = state * 1664525u + 1013904223u;
        return static_cast<int>((state >> 8) % static_cast<uint32_t>(below));
    }
};

// One drawing step: the shape kind, a box and a colour, shared by both writers.
struct Step {
    int kind, x, y, w, h;
    uint32_t color;
};

std::vector<Step> Steps(int count) {
    Random r;
    std::vector<Step> steps;
    for (int i = 0; i < count; ++i) {
        const int w = 10 + r.Next(120), h = 10 + r.Next(90);
        steps.push_back({r.Next(6), r.Next(kWidth - w), r.Next(kHeight - h), w, h,
                         static_cast<uint32_t>(r.Next(0x1000000))});
    }
    return steps;
}

// Each step is three records (create brush, select, shape) plus a delete every step: four.
Bytes MakeWmf() {
    Bytes rec;
    auto record = [&](uint16_t function, const std::vector<int>& params) {
        Put32(rec, static_cast<uint32_t>(3 + params.size()));
        Put16(rec, function);
        for (int p : params) Put16(rec, static_cast<uint32_t>(p));
    };
    for (const Step& s : Steps(kRecords / 4)) {
        record(0x02FC, {0, int(s.color & 0xFFFF), int(s.color >> 16), 0});
        record(0x012D, {0});
        const int l = s.x, t = s.y, r = s.x + s.w, b = s.y + s.h;
        switch (s.kind) {
        case 0: record(0x041B, {b, r, t, l}); break;
        case 1: record(0x0418, {b, r, t, l}); break;
        case 2: record(0x061C, {12, 12, b, r, t, l}); break;
        case 3: record(0x0324, {4, l, b, (l + r) / 2, t, r, b, (l + r) / 2, (t + b) / 2}); break;
        case 4: record(0x081A, {t, l, b, r, b, r, t, l}); break;
        default: record(0x0521, {4, 'W' | ('M' << 8), 'F' | ('!' << 8), t, l}); break;
        }
        record(0x01F0, {0});
    }
    Bytes out;
    Put32(out, 0x9AC6CDD7); Put16(out, 0);
    Put16(out, 0); Put16(out, 0); Put16(out, kWidth); Put16(out, kHeight); Put16(out, 96); Put32(out, 0);
    uint16_t sum = 0;
    for (size_t i = 0; i < 20; i += 2) sum ^= out[i] | (out[i + 1] << 8);
    Put16(out, sum);
    Put16(out, 1); Put16(out, 9); Put16(out, 0x300);
    Put32(out, static_cast<uint32_t>(9 + rec.size() / 2 + 3));
    Put16(out, 4); Put32(out, 16); Put16(out, 0);
    out.insert(out.end(), rec.begin(), rec.end());
    Put32(out, 3); Put16(out, 0);
    return out;
}

Bytes MakeEmf() {
    Bytes rec;
    uint32_t count = 0;
    auto record = [&](uint32_t type, const std::vector<int32_t>& fields) {
        Put32(rec, type);
        Put32(rec, static_cast<uint32_t>(8 + 4 * fields.size()));
        for (int32_t f : fields) Put32(rec, static_cast<uint32_t>(f));
        ++count;
    };
    for (const Step& s : Steps(kRecords / 4)) {
        record(39, {1, 0, int32_t(s.color), 0});
        record(37, {1});
        const int l = s.x, t = s.y, r = s.x + s.w, b = s.y + s.h;
        switch (s.kind) {
        case 0: record(43, {l, t, r, b}); break;
        case 1: record(42, {l, t, r, b}); break;
        case 2: record(44, {l, t, r, b, 24, 24}); break;
        case 3: record(3, {l, t, r, b, 4, l, b, (l + r) / 2, t, r, b, (l + r) / 2, (t + b) / 2}); break;
        case 4: record(47, {l, t, r, b, r, t, l, b}); break;
        default: record(84, {l, t, r, b, 1, 0, 0, l, t, 4, 76, 0, 0, 0, 0, 0, 0,
                             'W' | ('M' << 16), 'F' | ('!' << 16)}); break;
        }
        record(40, {1});
    }
    Bytes out;
    Put32(out, 1); Put32(out, 108);
    for (int32_t v : {0, 0, kWidth, kHeight}) Put32(out, static_cast<uint32_t>(v));
    for (int32_t v : {0, 0, kWidth, kHeight}) Put32(out, static_cast<uint32_t>(v * 2540 / 96));
    Put32(out, 0x464D4520); Put32(out, 0x10000);
    Put32(out, 0); Put32(out, count + 2);
    Put16(out, 4); Put16(out, 0);
    Put32(out, 0); Put32(out, 0); Put32(out, 0);
    Put32(out, 960); Put32(out, 960); Put32(out, 254); Put32(out, 254);
    Put32(out, 0); Put32(out, 0); Put32(out, 0);
    Put32(out, 254000); Put32(out, 254000);
    out.insert(out.end(), rec.begin(), rec.end());
    Put32(out, 14); Put32(out, 20); Put32(out, 0); Put32(out, 16); Put32(out, 20);
    const uint32_t size = static_cast<uint32_t>(out.size());
    std::memcpy(out.data() + 48, &size, 4);
    return out;
}

Bytes ReadAll(const char* path) {
    FILE* f = std::fopen(path, "rb");
    if (!f) bench::Fail(kProgram, std::string("cannot open ") + path);
    Bytes b;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) b.insert(b.end(), buf, buf + n);
    std::fclose(f);
    return b;
}

void WriteAll(const char* path, const Bytes& b) {
    FILE* f = std::fopen(path, "wb");
    if (!f || std::fwrite(b.data(), 1, b.size(), f) != b.size() || std::fclose(f) != 0)
        bench::Fail(kProgram, std::string("cannot write ") + path);
}

bool DecodeBytes(const Bytes& bytes) {
    LfMemFile stream(const_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    LfImage image;
    return image.Decode(&stream, LF_FORMAT_WMF);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && std::strcmp(argv[1], "make") == 0) {
        WriteAll(argv[2], MakeWmf());
        WriteAll(argv[3], MakeEmf());
        return 0;
    }
    if (argc == 4 && std::strcmp(argv[1], "decode") == 0) {
        LfImage image;
        if (!image.Load(argv[2], LF_FORMAT_WMF)) bench::Fail(kProgram, image.LastError());
        if (!image.Save(argv[3], LF_FORMAT_BMP)) bench::Fail(kProgram, image.LastError());
        return 0;
    }
    if (argc == 5 && std::strcmp(argv[1], "--repeat") == 0) {
        const int repeat = std::max(1, std::atoi(argv[2]));
        const Bytes wmf = ReadAll(argv[3]), emf = ReadAll(argv[4]);
        std::printf("wmf_play %.1f\n", bench::BestOf(kProgram, "WMF playback", repeat, bench::CpuMs,
                                                     [&] { return DecodeBytes(wmf); }));
        std::printf("emf_play %.1f\n", bench::BestOf(kProgram, "EMF playback", repeat, bench::CpuMs,
                                                     [&] { return DecodeBytes(emf); }));
        return 0;
    }
    std::fprintf(stderr, "usage: %s make OUT.wmf OUT.emf | decode IN OUT.bmp | --repeat N IN.wmf IN.emf\n",
                 kProgram);
    return 2;
}
