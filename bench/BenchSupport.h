// Helpers the benchmark programs share: clocks, the best of several timed runs, and the
// generated test picture. A failure stops the program with "<program>: <message>".
#pragma once

#include <sys/resource.h>
#include <sys/time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "LfImage.h"

namespace bench {

// A time as getrusage and wait4 report it, in milliseconds.
inline double Milliseconds(const timeval& t) { return t.tv_sec * 1000.0 + t.tv_usec / 1000.0; }

// CPU time (user + system) of this process so far, in milliseconds. CPU time rather than
// wall time: on a shared machine it is what stays comparable between runs and programs.
inline double CpuMs() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Milliseconds(usage.ru_utime) + Milliseconds(usage.ru_stime);
}

// Wall time on a steady clock, in milliseconds from an arbitrary start.
inline double WallMs() {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

[[noreturn]] inline void Fail(const char* program, const std::string& message) {
    std::fprintf(stderr, "%s: %s\n", program, message.c_str());
    std::exit(1);
}

// The smallest time of repeat runs of work, read on clock (CpuMs or WallMs); prepare, when
// given, runs untimed before each run. A run that fails stops the program.
inline double BestOf(const char* program, const std::string& name, int repeat, double (*clock)(),
                     const std::function<bool()>& work, const std::function<void()>& prepare = {}) {
    double best = 1e300;
    for (int i = 0; i < repeat; ++i) {
        if (prepare) prepare();
        const double start = clock();
        const bool ok = work();
        const double end = clock();
        if (!ok) Fail(program, name + " failed");
        best = std::min(best, end - start);
    }
    return best;
}

// A side x side 24-bit picture of smooth gradients with some noise: neither flat (too easy)
// nor pure noise. The same seed every time, so every run and every peer sees the same pixels.
inline void MakeGradientPicture(const char* program, LfImage& image, uint32_t side, uint32_t format) {
    if (!image.Create(side, side, 24, format)) Fail(program, image.LastError());
    uint32_t state = 2463534242u;
    for (uint32_t y = 0; y < side; ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t x = 0; x < side; ++x) {
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

}  // namespace bench
