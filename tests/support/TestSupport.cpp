#include "TestSupport.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

namespace testsupport {

bool PeersRequired() {
    const char* value = std::getenv("GLINTWISE_REQUIRE_PEERS");
    return value != nullptr && *value != '\0' && std::string(value) != "0";
}

TempDir::TempDir() {
    std::random_device rd;
    for (int attempt = 0; attempt < 100; ++attempt) {
        fs::path p = fs::temp_directory_path() /
                     ("glintwise-test-" + std::to_string(getpid()) + "-" + std::to_string(rd()));
        if (fs::create_directory(p)) {
            path_ = p;
            return;
        }
    }
    throw std::runtime_error("cannot create a temporary folder");
}

TempDir::~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteFile(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

int Run(const std::string& command, std::string* out) {
    FILE* pipe = popen(command.c_str(), "r");
    if (!pipe) return -1;
    std::array<char, 4096> buf{};
    size_t n;
    while ((n = fread(buf.data(), 1, buf.size(), pipe)) > 0)
        if (out) out->append(buf.data(), n);
    int status = pclose(pipe);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveTool(const std::string& name) {
    return Run("command -v " + ShellQuote(name) + " >/dev/null 2>&1") == 0;
}

std::string Python() {
    return access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

bool HavePythonModules(const std::string& modules) {
    std::string imports;
    for (size_t start = 0; start < modules.size();) {
        size_t end = modules.find(' ', start);
        if (end == std::string::npos) end = modules.size();
        if (end > start) imports += "import " + modules.substr(start, end - start) + ";";
        start = end + 1;
    }
    return Run(Python() + " -c " + ShellQuote(imports) + " >/dev/null 2>&1") == 0;
}

std::string ShellQuote(const std::string& s) {
    std::string q = "'";
    for (char c : s) {
        if (c == '\'') q += "'\\''";
        else q += c;
    }
    return q + "'";
}

fs::path PydicomTestFiles() {
    std::string out;
    if (Run(Python() + " -c 'import pydicom, os; print(os.path.join(os.path.dirname(pydicom.__file__), \"data\", \"test_files\"))' 2>/dev/null", &out) != 0)
        return {};
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) out.pop_back();
    return fs::is_directory(out) ? fs::path(out) : fs::path();
}

fs::path NpmModules() {
    if (const char* env = std::getenv("GLINTWISE_NPM_DIR")) return env;
    return GLINTWISE_NPM_DIR;
}

fs::path SourceDir() { return GLINTWISE_SOURCE_DIR; }

std::string DecodedMovieFrames(const fs::path& movie) {
    std::string frames;
    Run("ffmpeg -v error -i " + ShellQuote(movie.string()) + " -f rawvideo -pix_fmt gray -", &frames);
    return frames;
}

}  // namespace testsupport
