#pragma once
// Names of the storage classes whose files commonly hold no pixel data, for refusals.

#include <string>

// The class's name, or an empty text for a UID the table does not hold.
std::string SopClassName(const std::string& uid);
