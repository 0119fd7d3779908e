#pragma once
// PALETTE COLOR lookup tables: the three descriptors and the normal or segmented table data,
// turned into 8-bit red, green and blue tables.

#include <cstdint>
#include <string>
#include <vector>

struct PaletteSource {
    // Per channel (red, green, blue): the descriptor's three values as read, and the table
    // data as little-endian 16-bit words.
    bool hasDescriptor[3] = {false, false, false};
    uint16_t descriptor[3][3] = {};
    std::vector<uint8_t> data[3];
    std::vector<uint8_t> segmented[3];
};

struct PaletteTables {
    int32_t firstMapped = 0;
    std::vector<uint8_t> channel[3];  // same length, at least 1

    // The 8-bit levels of a stored index: below the first mapped value the first entry,
    // past the end the last.
    const uint8_t* entry(int32_t index, uint8_t out[3]) const;
};

// False with the reason when the descriptors or tables are missing or contradict each other.
bool BuildPalette(const PaletteSource& source, uint16_t pixelRepresentation, PaletteTables& tables,
                  std::string& error);
