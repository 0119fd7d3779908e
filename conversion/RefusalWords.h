// Why a DICOM file gives no picture, in the user's words. The window, its batch and the
// converter all say it this way; the window passes the message through its catalogue.
#pragma once

#include <string>

#include "DicomReader.h"

struct RefusalWords {
    const char* message = "";  // English, with %1 standing for the argument when it has one
    std::string argument;
};

// The words for the reader's last refusal (kind, its own text and the file's syntax).
RefusalWords WordsForRefusal(const DicomReader& reader);

// The message with its argument in place.
std::string EnglishWords(const RefusalWords& words);

// Whether the refusal means the file is unreadable as a DICOM picture at all (not DICOM,
// damaged, not opened), rather than a picture this program cannot show yet.
bool IsUnreadable(DicomRefusal refusal);
