// Camera raw inputs for the tests: DNG files of a known colour pattern written at test time
// by tests/imaging/make_dng.py (Python's tifffile), and what LibRaw's own command-line
// converter dcraw_emu makes of them, read back with Pillow.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <string>

#include "PeerPixels.h"
#include "TestSupport.h"

namespace rawtest {

namespace fs = std::filesystem;

inline bool HaveDngMaker() { return testsupport::HavePythonModules("tifffile numpy"); }
inline bool HaveEngineTool() { return testsupport::HaveTool("dcraw_emu"); }

// Writes a DNG of width x height, creating its folder; `options` are make_dng.py's
// (--orientation, --kind, ...).
inline bool MakeDng(const fs::path& out, int width, int height, const std::string& options = "") {
    fs::create_directories(out.parent_path());
    const fs::path script = testsupport::SourceDir() / "tests" / "imaging" / "make_dng.py";
    const std::string command = testsupport::Python() + " " + testsupport::ShellQuote(script.string()) +
                                " " + testsupport::ShellQuote(out.string()) + " " +
                                std::to_string(width) + " " + std::to_string(height) + " " + options +
                                " >/dev/null 2>&1";
    return testsupport::Run(command) == 0 && fs::exists(out);
}

// What `dcraw_emu -q quality -T` writes for the file, as RGBA; width 0 when it failed.
inline peer::Rgba EngineReference(const fs::path& dng, int quality) {
    testsupport::TempDir dir;
    const fs::path copy = dir / "in.dng";
    fs::copy_file(dng, copy);
    testsupport::Run("dcraw_emu -q " + std::to_string(quality) + " -T " +
                     testsupport::ShellQuote(copy.string()) + " >/dev/null 2>&1");
    const fs::path tiff = dir / "in.dng.tiff";
    auto decoded = peer::PillowDecode({tiff});
    return decoded.count(tiff) ? decoded[tiff] : peer::Rgba{};
}

// Mean absolute difference over the red, green and blue samples of two same-sized pictures.
inline double MeanError(const peer::Rgba& a, const peer::Rgba& b) {
    if (a.width != b.width || a.height != b.height || a.pixels.empty()) return 1e9;
    double sum = 0;
    for (size_t i = 0; i < a.pixels.size(); i += 4)
        for (int k = 0; k < 3; ++k) sum += std::abs(a.pixels[i + k] - b.pixels[i + k]);
    return sum / (3.0 * a.width * a.height);
}

}  // namespace rawtest
