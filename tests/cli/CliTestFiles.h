// Inputs for the converter's tests: small DICOM files (Explicit VR Little Endian, 16 bits
// allocated) made with the shared DicomFileBuilder, and running the tool in-process with
// captured output.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ConvertTool.h"
#include "DicomFileBuilder.h"
#include "TestSupport.h"

namespace clitest {

namespace fs = std::filesystem;

struct DicomSpec {
    uint16_t width = 32;
    uint16_t height = 24;
    uint16_t seed = 0;  // varies the picture so files never convert to the same pixels
    std::string transferSyntax = dicomtest::kExplicitLittle;
    std::string windowCenter;  // empty: no window, the reader stretches min to max
    std::string windowWidth;
    std::string intercept;

    DicomSpec& Size(uint16_t w, uint16_t h) { width = w; height = h; return *this; }
    DicomSpec& Seed(uint16_t s) { seed = s; return *this; }
    DicomSpec& Syntax(std::string uid) { transferSyntax = std::move(uid); return *this; }
    DicomSpec& Window(std::string c, std::string w) {
        windowCenter = std::move(c);
        windowWidth = std::move(w);
        return *this;
    }
    DicomSpec& Intercept(std::string i) { intercept = std::move(i); return *this; }
};

// A CT-like picture (12 bits stored): samples rise along rows and columns, shifted by the seed.
inline std::vector<uint8_t> MakeDicom(const DicomSpec& spec = DicomSpec()) {
    dicomtest::DicomFileBuilder b(spec.transferSyntax);
    b.picture(spec.height, spec.width, 16, 11, 0, "MONOCHROME2");
    if (!spec.windowCenter.empty()) {
        b.text(0x0028, 0x1050, "DS", spec.windowCenter);
        b.text(0x0028, 0x1051, "DS", spec.windowWidth);
    }
    if (!spec.intercept.empty()) {
        b.text(0x0028, 0x1052, "DS", spec.intercept);
        b.text(0x0028, 0x1053, "DS", "1");
    }
    std::vector<uint16_t> samples;
    samples.reserve(static_cast<size_t>(spec.width) * spec.height);
    for (size_t y = 0; y < spec.height; ++y)
        for (size_t x = 0; x < spec.width; ++x)
            samples.push_back(static_cast<uint16_t>((x * 97 + y * (31 + spec.seed) + spec.seed * 211) % 4096));
    b.pixels16(samples);
    return b.bytes();
}

inline void WriteDicom(const fs::path& path, const DicomSpec& spec = DicomSpec()) {
    fs::create_directories(path.parent_path());
    testsupport::WriteFile(path, MakeDicom(spec));
}

inline void WriteText(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    testsupport::WriteFile(path, std::vector<uint8_t>(text.begin(), text.end()));
}

struct ToolRun {
    int status = -1;
    std::string out;
    std::string err;
};

// Runs glintwise-convert in this process, as if from a shell with standard error not a
// terminal unless progressBar is set.
inline ToolRun RunConvert(const std::vector<std::string>& args, bool progressBar = false) {
    std::ostringstream out, err;
    ToolRun run;
    run.status = convert::RunTool(args, out, err, progressBar);
    run.out = out.str();
    run.err = err.str();
    return run;
}

// Runs tests/cli/movie_files.py (pydicom's inputs and Pillow's and ffmpeg's readings for the
// movie and GIF tests) with the arguments; its output. A failing script fails the test.
inline std::string MovieFiles(const std::string& arguments) {
    std::string out;
    const std::string script = std::string(GLINTWISE_SOURCE_DIR) + "/tests/cli/movie_files.py";
    EXPECT_EQ(testsupport::Run(testsupport::Python() + " " + testsupport::ShellQuote(script) + " " + arguments + " 2>&1",
                               &out),
              0)
        << arguments << "\n" << out;
    return out;
}

// Regular files under a folder, as paths relative to it, sorted.
inline std::vector<std::string> ListTree(const fs::path& root) {
    std::vector<std::string> names;
    if (!fs::exists(root)) return names;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        if (entry.is_regular_file()) names.push_back(fs::relative(entry.path(), root).string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace clitest
