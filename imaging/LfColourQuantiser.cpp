#include "LfColourQuantiser.h"

#include <algorithm>
#include <array>
#include <unordered_map>

namespace {

constexpr int kCellBits = 6;
constexpr int kCellLevels = 1 << kCellBits;
constexpr size_t kCellCount = size_t(1) << (3 * kCellBits);
constexpr int kMaxColours = 256;

uint32_t CellOf(int red, int green, int blue) {
    constexpr int shift = 8 - kCellBits;
    return uint32_t(red >> shift) << (2 * kCellBits) | uint32_t(green >> shift) << kCellBits | uint32_t(blue >> shift);
}

int Channel(uint32_t cell, int channel) { return int(cell >> (kCellBits * (2 - channel))) & (kCellLevels - 1); }

uint8_t Clamp(int value) { return uint8_t(std::clamp(value, 0, 255)); }

// A box of cells (a range of the occupied list) that the cut splits along its widest channel.
struct Box {
    size_t begin, end;
    uint64_t pixels;
    int widest;    // channel of the largest spread
    double error;  // the pixels' squared distance from their mean, in cells
};

}  // namespace

void LfColourQuantiser::Quantise(const uint8_t* rgb, int32_t width, int32_t height, size_t stride, bool dither,
                                 std::vector<uint8_t>& indices) {
    indices.resize(size_t(width) * size_t(height));
    exact_ = TakeExactColours(rgb, width, height, stride, indices);
    if (exact_) return;
    CountCells(rgb, width, height, stride);
    MedianCut();
    nearest_.assign(kCellCount, -1);
    if (dither) MapDithered(rgb, width, height, stride, indices);
    else Map(rgb, width, height, stride, indices);
}

// Fills the table with the picture's colours in the order met; false as soon as there are
// more than the table holds.
bool LfColourQuantiser::TakeExactColours(const uint8_t* rgb, int32_t width, int32_t height, size_t stride,
                                         std::vector<uint8_t>& indices) {
    std::unordered_map<uint32_t, uint8_t> seen;
    seen.reserve(2 * kMaxColours);
    size_ = 0;
    uint32_t last = 0xFFFFFFFF;
    uint8_t lastIndex = 0;
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + size_t(y) * stride;
        uint8_t* out = indices.data() + size_t(y) * size_t(width);
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = row + 3 * size_t(x);
            const uint32_t colour = uint32_t(p[0]) << 16 | uint32_t(p[1]) << 8 | p[2];
            if (colour != last) {
                const auto [it, added] = seen.try_emplace(colour, uint8_t(size_));
                if (added) {
                    if (size_ == kMaxColours) return false;
                    std::copy(p, p + 3, table_ + 3 * size_);
                    ++size_;
                }
                last = colour;
                lastIndex = it->second;
            }
            out[x] = lastIndex;
        }
    }
    return true;
}

void LfColourQuantiser::CountCells(const uint8_t* rgb, int32_t width, int32_t height, size_t stride) {
    cells_.assign(kCellCount, Cell{0, 0, 0, 0});
    occupied_.clear();
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + size_t(y) * stride;
        for (int32_t x = 0; x < width; ++x) {
            const uint8_t* p = row + 3 * size_t(x);
            const uint32_t index = CellOf(p[0], p[1], p[2]);
            Cell& cell = cells_[index];
            if (cell.count == 0) occupied_.push_back(index);
            ++cell.count;
            cell.red += p[0];
            cell.green += p[1];
            cell.blue += p[2];
        }
    }
}

// Splits the box of the largest squared error (its pixels' distance from their mean) at the
// pixel median of its channel of most spread, until there are 256 boxes or none can be split;
// each box's entry is the mean of its pixels.
void LfColourQuantiser::MedianCut() {
    const auto measure = [&](Box& box) {
        double sum[3] = {0, 0, 0}, squares[3] = {0, 0, 0};
        box.pixels = 0;
        for (size_t i = box.begin; i < box.end; ++i) {
            const double count = cells_[occupied_[i]].count;
            box.pixels += cells_[occupied_[i]].count;
            for (int c = 0; c < 3; ++c) {
                const double v = Channel(occupied_[i], c);
                sum[c] += count * v;
                squares[c] += count * v * v;
            }
        }
        box.widest = 0;
        box.error = 0;
        double widest = -1;
        for (int c = 0; c < 3; ++c) {
            const double spread = squares[c] - sum[c] * sum[c] / double(std::max<uint64_t>(box.pixels, 1));
            box.error += spread;
            if (spread > widest) {
                widest = spread;
                box.widest = c;
            }
        }
    };
    std::vector<Box> boxes{{0, occupied_.size(), 0, 0, 0.0}};
    measure(boxes[0]);
    while (boxes.size() < size_t(kMaxColours)) {
        size_t pick = boxes.size();
        double best = 0;
        for (size_t i = 0; i < boxes.size(); ++i) {
            if (boxes[i].end - boxes[i].begin > 1 && boxes[i].error > best) {
                best = boxes[i].error;
                pick = i;
            }
        }
        if (pick == boxes.size()) break;
        Box box = boxes[pick];
        const auto first = occupied_.begin() + std::ptrdiff_t(box.begin);
        const auto last = occupied_.begin() + std::ptrdiff_t(box.end);
        std::sort(first, last, [&](uint32_t a, uint32_t b) { return Channel(a, box.widest) < Channel(b, box.widest); });
        uint64_t below = 0;
        size_t split = box.begin;
        while (split + 1 < box.end && 2 * (below + cells_[occupied_[split]].count) <= box.pixels)
            below += cells_[occupied_[split++]].count;
        if (split == box.begin) split = box.begin + 1;
        Box upper{split, box.end, 0, 0, 0.0};
        box.end = split;
        measure(box);
        measure(upper);
        boxes[pick] = box;
        boxes.push_back(upper);
    }
    size_ = int(boxes.size());
    for (size_t i = 0; i < boxes.size(); ++i) {
        uint64_t sum[3] = {0, 0, 0}, count = 0;
        for (size_t k = boxes[i].begin; k < boxes[i].end; ++k) {
            const Cell& cell = cells_[occupied_[k]];
            sum[0] += cell.red;
            sum[1] += cell.green;
            sum[2] += cell.blue;
            count += cell.count;
        }
        for (int c = 0; c < 3; ++c) table_[3 * i + size_t(c)] = uint8_t((sum[c] + count / 2) / std::max<uint64_t>(count, 1));
    }
}

// The entry nearest the colour, remembered for the colour's cell: colours of one cell differ
// by less than the cells' width, far below the distance between entries of a full table.
uint8_t LfColourQuantiser::Nearest(int red, int green, int blue) {
    int16_t& known = nearest_[CellOf(red, green, blue)];
    if (known >= 0) return uint8_t(known);
    int best = 0;
    int bestDistance = 1 << 30;
    for (int i = 0; i < size_; ++i) {
        const int dr = table_[3 * i] - red, dg = table_[3 * i + 1] - green, db = table_[3 * i + 2] - blue;
        const int distance = 2 * dr * dr + 4 * dg * dg + db * db;
        if (distance < bestDistance) {
            bestDistance = distance;
            best = i;
        }
    }
    known = int16_t(best);
    return uint8_t(best);
}

void LfColourQuantiser::Map(const uint8_t* rgb, int32_t width, int32_t height, size_t stride,
                            std::vector<uint8_t>& indices) {
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + size_t(y) * stride;
        uint8_t* out = indices.data() + size_t(y) * size_t(width);
        for (int32_t x = 0; x < width; ++x) out[x] = Nearest(row[3 * x], row[3 * x + 1], row[3 * x + 2]);
    }
}

// Floyd-Steinberg: each pixel's error goes 7/16 right, 3/16 below left, 5/16 below, 1/16
// below right; two rows of carried error, one pixel of margin on each side.
void LfColourQuantiser::MapDithered(const uint8_t* rgb, int32_t width, int32_t height, size_t stride,
                                    std::vector<uint8_t>& indices) {
    const size_t span = 3 * (size_t(width) + 2);
    std::vector<int> current(span, 0), next(span, 0);
    for (int32_t y = 0; y < height; ++y) {
        const uint8_t* row = rgb + size_t(y) * stride;
        uint8_t* out = indices.data() + size_t(y) * size_t(width);
        std::fill(next.begin(), next.end(), 0);
        for (int32_t x = 0; x < width; ++x) {
            const size_t at = 3 * (size_t(x) + 1);
            int wanted[3];
            for (int c = 0; c < 3; ++c) wanted[c] = Clamp(row[3 * x + c] + current[at + size_t(c)] / 16);
            const uint8_t entry = Nearest(wanted[0], wanted[1], wanted[2]);
            out[x] = entry;
            for (size_t c = 0; c < 3; ++c) {
                const int error = wanted[c] - table_[3 * entry + c];
                current[at + 3 + c] += 7 * error;
                next[at - 3 + c] += 3 * error;
                next[at + c] += 5 * error;
                next[at + 3 + c] += error;
            }
        }
        std::swap(current, next);
    }
}
