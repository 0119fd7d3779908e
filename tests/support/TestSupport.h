// Helpers shared by the tests: temporary folders, whole-file reads and writes, running peer
// tools (Pillow, ImageMagick, netpbm, ...) and locating reference files installed by packages.
#pragma once
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// Skips the test when a peer program, Python module, npm package or reference file is
// missing. With GLINTWISE_REQUIRE_PEERS=1 in the environment (CI sets it) the test fails
// instead and names what is missing, so a run on a machine without it is never green.
#define GLINTWISE_NEED_PEER(present, what)                                               \
    do {                                                                                 \
        if (!(present)) {                                                                \
            if (::testsupport::PeersRequired()) FAIL() << "missing peer: " << (what);    \
            GTEST_SKIP() << "missing peer: " << (what);                                  \
        }                                                                                \
    } while (0)

namespace testsupport {

// True when GLINTWISE_REQUIRE_PEERS is set to a non-empty value other than 0.
bool PeersRequired();

namespace fs = std::filesystem;

// A fresh folder under the system temporary folder, removed when the object dies.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const fs::path& path() const { return path_; }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

std::vector<uint8_t> ReadFile(const fs::path& path);
void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes);

// Runs a shell command; returns its exit status and puts its standard output in *out.
int Run(const std::string& command, std::string* out = nullptr);

// True when the program is on PATH.
bool HaveTool(const std::string& name);

// Debian's interpreter, which owns python3-pil, python3-numpy and python3-pydicom.
std::string Python();

// True when Debian's Python can import every module named (space separated).
bool HavePythonModules(const std::string& modules);

// Quotes a string for /bin/sh.
std::string ShellQuote(const std::string& s);

// Folder of the pydicom test files, or empty when python3-pydicom is absent.
fs::path PydicomTestFiles();

// Folder of the npm reference packages installed by scripts/install-deps.sh.
fs::path NpmModules();

// A movie's frames as ffmpeg decodes them, in 8-bit grey (empty when it cannot).
std::string DecodedMovieFrames(const fs::path& movie);

// The source tree (for fuzz corpora and scripts).
fs::path SourceDir();

}  // namespace testsupport
