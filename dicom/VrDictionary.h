#pragma once
// Value representations of the attributes the reader acts on, for data sets written with
// implicit VR, where the file does not say them.

#include <cstdint>

// The VR of a tag as two characters; "UN" for tags the dictionary does not hold (their
// values are skipped by length, and an undefined length is walked as a sequence).
const char* ImplicitVr(uint16_t group, uint16_t element);
