// DICOM reading benchmark.
//
//   dicom_bench --write FILE SIZE [nowindow]
//                                       writes a SIZE x SIZE 16-bit Explicit VR Little Endian
//                                       file (CT-like values, rescale -1024, window 40/400;
//                                       with "nowindow" no window, so the reader stretches)
//   dicom_bench --read FILE [REPEAT]    reads and converts it REPEAT times (default 1) and
//                                       prints the best time and the process's peak memory
//   dicom_bench --measure REPEAT CMD... runs a command REPEAT times and prints its best wall
//                                       and CPU (user + system) time and its peak memory
//   dicom_bench --frame-bytes FILE N    renders frame N alone and prints the bytes the reader
//                                       took from the file and those the process read
#include "BenchSupport.h"
#include "DicomReader.h"

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

namespace {

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v));
    Put16(out, static_cast<uint16_t>(v >> 16));
}
void Tag(std::vector<uint8_t>& out, uint16_t group, uint16_t element, const char* vr) {
    Put16(out, group);
    Put16(out, element);
    out.push_back(static_cast<uint8_t>(vr[0]));
    out.push_back(static_cast<uint8_t>(vr[1]));
}
void Us(std::vector<uint8_t>& out, uint16_t element, uint16_t value) {
    Tag(out, 0x0028, element, "US");
    Put16(out, 2);
    Put16(out, value);
}
void Text(std::vector<uint8_t>& out, uint16_t group, uint16_t element, const char* vr, std::string value) {
    if (value.size() % 2) value += vr[0] == 'U' && vr[1] == 'I' ? '\0' : ' ';
    Tag(out, group, element, vr);
    Put16(out, static_cast<uint16_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
}

int Write(const char* path, int size, bool window) {
    if (size < 1 || size > 16384) return std::fprintf(stderr, "size must be 1..16384\n"), 2;
    std::vector<uint8_t> meta;
    Tag(meta, 0x0002, 0x0001, "OB");
    meta.insert(meta.end(), {0, 0, 2, 0, 0, 0, 0, 1});
    Text(meta, 0x0002, 0x0002, "UI", "1.2.840.10008.5.1.4.1.1.7");
    Text(meta, 0x0002, 0x0003, "UI", "1.2.826.0.1.3680043.2.1143.1");
    Text(meta, 0x0002, 0x0010, "UI", "1.2.840.10008.1.2.1");
    std::vector<uint8_t> head(128, 0);
    head.insert(head.end(), {'D', 'I', 'C', 'M'});
    Tag(head, 0x0002, 0x0000, "UL");
    Put16(head, 4);
    Put32(head, static_cast<uint32_t>(meta.size()));
    head.insert(head.end(), meta.begin(), meta.end());
    Text(head, 0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    Text(head, 0x0008, 0x0060, "CS", "OT");
    Text(head, 0x0010, 0x0010, "PN", "Bench^Phantom");
    Us(head, 0x0002, 1);
    Text(head, 0x0028, 0x0004, "CS", "MONOCHROME2");
    Us(head, 0x0010, static_cast<uint16_t>(size));
    Us(head, 0x0011, static_cast<uint16_t>(size));
    Us(head, 0x0100, 16);
    Us(head, 0x0101, 16);
    Us(head, 0x0102, 15);
    Us(head, 0x0103, 0);
    if (window) {
        Text(head, 0x0028, 0x1050, "DS", "40");
        Text(head, 0x0028, 0x1051, "DS", "400");
    }
    Text(head, 0x0028, 0x1052, "DS", "-1024");
    Text(head, 0x0028, 0x1053, "DS", "1");
    const uint64_t valueBytes = uint64_t(size) * size * 2;
    Tag(head, 0x7FE0, 0x0010, "OW");
    Put16(head, 0);
    Put32(head, static_cast<uint32_t>(valueBytes));

    std::FILE* f = std::fopen(path, "wb");
    if (!f) return std::perror(path), 1;
    std::fwrite(head.data(), 1, head.size(), f);
    // A disc of soft tissue in air with a ramp and some noise: values 0..2500.
    std::vector<uint8_t> row;
    uint32_t noise = 12345;
    for (int y = 0; y < size; ++y) {
        row.clear();
        for (int x = 0; x < size; ++x) {
            const double dx = (x - size / 2.0) / size, dy = (y - size / 2.0) / size;
            noise = noise * 1664525u + 1013904223u;
            int v = dx * dx + dy * dy < 0.16 ? 1000 + (x * 300 / size) + static_cast<int>(noise >> 28) * 10 : 24;
            if (dx * dx + dy * dy < 0.01) v = 2400;
            Put16(row, static_cast<uint16_t>(v));
        }
        std::fwrite(row.data(), 1, row.size(), f);
    }
    return std::fclose(f) == 0 ? 0 : 1;
}

long PeakKb() {
    rusage r{};
    getrusage(RUSAGE_SELF, &r);
    return r.ru_maxrss;
}

int Read(const char* path, int repeat) {
    const long baselineKb = PeakKb();
    double best = 0;
    unsigned checksum = 0;
    int width = 0, height = 0;
    for (int i = 0; i < repeat; ++i) {
        const double start = bench::WallMs();
        DicomReader reader;
        GreyFrame* frame = reader.read(path);
        const double ms = bench::WallMs() - start;
        if (!frame) return std::fprintf(stderr, "%s: %s\n", path, reader.refusalText().c_str()), 1;
        if (i == 0 || ms < best) best = ms;
        width = frame->width;
        height = frame->height;
        checksum = 0;
        for (int y = 0; y < height; ++y) checksum = checksum * 31 + frame->pixels[y * frame->stride + 3 * (y % width)];
    }
    std::printf("size %dx%d\nread_ms %.1f\npeak_kb %ld\nbaseline_kb %ld\nraw_bytes %lld\nchecksum %u\n", width,
                height, best, PeakKb(), baselineKb, 2LL * width * height, checksum);
    return 0;
}

// What this process has read so far, as the kernel counts it (every read call, any file).
long long ProcessReadBytes() {
    std::FILE* io = std::fopen("/proc/self/io", "r");
    if (!io) return -1;
    char key[32];
    long long value = -1, rchar = -1;
    while (std::fscanf(io, "%31s %lld", key, &value) == 2)
        if (std::strcmp(key, "rchar:") == 0) rchar = value;
    std::fclose(io);
    return rchar;
}

int FrameBytes(const char* path, int index) {
    const long long before = ProcessReadBytes();
    DicomReader reader;
    DicomPicture picture;
    if (reader.parse(path, 2) != 0 || !reader.picture(index, picture))
        return std::fprintf(stderr, "%s: %s\n", path, reader.refusalText().c_str()), 1;
    const long long after = ProcessReadBytes();
    std::printf("reader_bytes %llu\nprocess_bytes %lld\n", static_cast<unsigned long long>(reader.bytesRead()),
                before < 0 || after < 0 ? -1 : after - before);
    return 0;
}

// Each run in a child of its own, so its resource use is the command's alone.
int Measure(int repeat, char** command) {
    double bestWall = 0, bestCpu = 0;
    long peakKb = 0;
    for (int i = 0; i < repeat; ++i) {
        const double start = bench::WallMs();
        const pid_t pid = fork();
        if (pid < 0) return std::perror("fork"), 1;
        if (pid == 0) {
            if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(126);
            execvp(command[0], command);
            _exit(127);
        }
        int status = 0;
        rusage usage{};
        if (wait4(pid, &status, 0, &usage) != pid) return std::perror("wait4"), 1;
        const double wall = bench::WallMs() - start;
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0)
            return std::fprintf(stderr, "%s failed (status %d)\n", command[0], status), 1;
        const double cpu = bench::Milliseconds(usage.ru_utime) + bench::Milliseconds(usage.ru_stime);
        if (i == 0 || wall < bestWall) bestWall = wall;
        if (i == 0 || cpu < bestCpu) bestCpu = cpu;
        peakKb = std::max(peakKb, usage.ru_maxrss);
    }
    std::printf("wall_ms %.1f\ncpu_ms %.1f\npeak_kb %ld\n", bestWall, bestCpu, peakKb);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "--write") == 0)
        return Write(argv[2], std::atoi(argv[3]), !(argc == 5 && std::strcmp(argv[4], "nowindow") == 0));
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--read") == 0)
        return Read(argv[2], argc == 4 ? std::max(1, std::atoi(argv[3])) : 1);
    if (argc >= 4 && std::strcmp(argv[1], "--measure") == 0) return Measure(std::max(1, std::atoi(argv[2])), argv + 3);
    if (argc == 4 && std::strcmp(argv[1], "--frame-bytes") == 0) return FrameBytes(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "usage: dicom_bench --write FILE SIZE [nowindow] | --read FILE [REPEAT] | --measure REPEAT CMD... |"
                         " --frame-bytes FILE N\n");
    return 2;
}
