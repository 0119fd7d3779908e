// Writing a file from a sequence of frames (a movie, an animation): opened with the size and
// rate, fed one frame at a time, then finished or abandoned. The caller never holds more than
// the frame it hands over, whatever the number of frames. No Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// One frame: top-down rows of 8-bit samples, one grey or three red, green, blue a pixel.
struct LfSequenceFrame {
    int32_t width = 0;
    int32_t height = 0;
    int samples = 1;
    const uint8_t* pixels = nullptr;
    size_t stride = 0;  // bytes from one row to the next, at least width * samples
};

struct LfSequenceSettings {
    int32_t width = 0;  // every frame has this size
    int32_t height = 0;
    double framesPerSecond = 10.0;
    int quality = 90;  // 1 to 100, the scale of JPEG's quality; each writer maps it
    bool dither = false;  // writers of few colours (GIF) dither colour frames
};

class LfSequenceWriter {
public:
    virtual ~LfSequenceWriter() = default;

    // Starts the file at the path (created or truncated). False with LastError() set.
    virtual bool Open(const std::string& path, const LfSequenceSettings& settings) = 0;
    // Adds the next frame; it must have the size given to Open.
    virtual bool AddFrame(const LfSequenceFrame& frame) = 0;
    // Writes what is still buffered and closes the file; false when any of it failed.
    virtual bool Finish() = 0;
    // Stops without finishing: the file is closed as it stands, for the caller to remove.
    virtual void Abort() = 0;

    const std::string& LastError() const { return error_; }

protected:
    bool Fail(std::string error) {
        error_ = std::move(error);
        return false;
    }

private:
    std::string error_;
};
