// Every frame of a file as the reader renders it, for comparing encodings of one picture.
#pragma once
#include <string>
#include <vector>

#include "DicomReader.h"
#include "TestSupport.h"

namespace dicomtest {

// Every frame as RGB bytes, top row first; empty with why set when the reader refuses the file.
inline std::vector<std::vector<uint8_t>> ReaderFrames(const testsupport::fs::path& file, std::string& why) {
    std::vector<std::vector<uint8_t>> frames;
    DicomReader reader;
    if (reader.parse(file.c_str(), 2) != 0) {
        why = reader.refusalText();
        return frames;
    }
    for (int i = 0; i < reader.frameCount(); ++i) {
        const GreyFrame* f = reader.renderFrame(i);
        if (!f) {
            why = reader.refusalText();
            return {};
        }
        std::vector<uint8_t> rgb;
        for (int y = 0; y < f->height; ++y)
            for (int x = 0; x < f->width; ++x) {
                const uint8_t* p = f->pixels + size_t(y) * f->stride + 3 * x;
                rgb.insert(rgb.end(), {p[2], p[1], p[0]});
            }
        frames.push_back(std::move(rgb));
    }
    return frames;
}

}  // namespace dicomtest
