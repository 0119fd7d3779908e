// Inputs for the converter's tests: small DICOM files written byte by byte (Explicit VR
// Little Endian, 16 bits allocated), and running the tool in-process with captured output.
#pragma once

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "ConvertTool.h"
#include "TestSupport.h"

namespace clitest {

namespace fs = std::filesystem;

class DicomBytes {
public:
    void U16(uint16_t v) { out.push_back(v & 0xFF); out.push_back(v >> 8); }
    void U32(uint32_t v) { U16(v & 0xFFFF); U16(v >> 16); }
    void Text(const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
    void Tag(uint16_t group, uint16_t element, const char* vr) {
        U16(group);
        U16(element);
        Text(vr);
    }
    void ShortText(uint16_t group, uint16_t element, const char* vr, std::string value,
                   char pad = ' ') {
        if (value.size() % 2) value += pad;
        Tag(group, element, vr);
        U16(static_cast<uint16_t>(value.size()));
        Text(value);
    }
    void US(uint16_t group, uint16_t element, uint16_t value) {
        Tag(group, element, "US");
        U16(2);
        U16(value);
    }
    std::vector<uint8_t> out;
};

struct DicomSpec {
    uint16_t width = 32;
    uint16_t height = 24;
    uint16_t seed = 0;  // varies the picture so files never convert to the same pixels
    std::string transferSyntax = "1.2.840.10008.1.2.1";
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

// A CT-like picture: samples rise along rows and columns, shifted by the seed.
inline std::vector<uint8_t> MakeDicom(const DicomSpec& spec = DicomSpec()) {
    DicomBytes meta;
    meta.ShortText(0x0002, 0x0010, "UI", spec.transferSyntax, '\0');
    DicomBytes file;
    file.out.assign(128, 0);
    file.Text("DICM");
    file.Tag(0x0002, 0x0000, "UL");
    file.U16(4);
    file.U32(static_cast<uint32_t>(meta.out.size()));
    file.out.insert(file.out.end(), meta.out.begin(), meta.out.end());
    file.US(0x0028, 0x0002, 1);
    file.ShortText(0x0028, 0x0004, "CS", "MONOCHROME2");
    file.US(0x0028, 0x0010, spec.height);
    file.US(0x0028, 0x0011, spec.width);
    file.US(0x0028, 0x0100, 16);
    file.US(0x0028, 0x0101, 12);
    file.US(0x0028, 0x0102, 11);
    file.US(0x0028, 0x0103, 0);
    if (!spec.windowCenter.empty()) {
        file.ShortText(0x0028, 0x1050, "DS", spec.windowCenter);
        file.ShortText(0x0028, 0x1051, "DS", spec.windowWidth);
    }
    if (!spec.intercept.empty()) {
        file.ShortText(0x0028, 0x1052, "DS", spec.intercept);
        file.ShortText(0x0028, 0x1053, "DS", "1");
    }
    file.Tag(0x7FE0, 0x0010, "OW");
    file.U16(0);
    const size_t count = static_cast<size_t>(spec.width) * spec.height;
    file.U32(static_cast<uint32_t>(count * 2));
    for (size_t y = 0; y < spec.height; ++y)
        for (size_t x = 0; x < spec.width; ++x)
            file.U16(static_cast<uint16_t>((x * 97 + y * (31 + spec.seed) + spec.seed * 211) % 4096));
    return file.out;
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
