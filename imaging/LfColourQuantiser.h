// Colour pictures to at most 256 colours, one table a picture: the exact colours when the
// picture has no more than 256 of them, else a median cut of its colours, with Floyd-Steinberg
// dithering on request. Buffers are kept from one picture to the next, so that a loop of any
// length is quantised in the memory of one frame. No Qt.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class LfColourQuantiser {
public:
    // Quantises top-down rows of red, green, blue samples into one table index a pixel
    // (width * height, rows packed). Dithering applies only when the table is not exact.
    void Quantise(const uint8_t* rgb, int32_t width, int32_t height, size_t stride, bool dither,
                  std::vector<uint8_t>& indices);

    // The table of the last picture: red, green, blue for each of Size() entries (1 to 256).
    const uint8_t* Table() const { return table_; }
    int Size() const { return size_; }
    // Whether the table holds every colour of the last picture.
    bool Exact() const { return exact_; }

private:
    struct Cell {
        uint32_t count, red, green, blue;
    };
    bool TakeExactColours(const uint8_t* rgb, int32_t width, int32_t height, size_t stride,
                          std::vector<uint8_t>& indices);
    void CountCells(const uint8_t* rgb, int32_t width, int32_t height, size_t stride);
    void MedianCut();
    uint8_t Nearest(int red, int green, int blue);
    void Map(const uint8_t* rgb, int32_t width, int32_t height, size_t stride, std::vector<uint8_t>& indices);
    void MapDithered(const uint8_t* rgb, int32_t width, int32_t height, size_t stride,
                     std::vector<uint8_t>& indices);

    uint8_t table_[256 * 3] = {};
    int size_ = 0;
    bool exact_ = false;
    std::vector<Cell> cells_;         // colours counted in cells of 6 bits a channel
    std::vector<uint32_t> occupied_;  // the cells with a count, for the cut
    std::vector<int16_t> nearest_;    // each cell's table entry, -1 until first asked
};
