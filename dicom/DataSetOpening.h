#pragma once
// The start of a DICOM file: the preamble, "DICM" and the file meta group naming the
// transfer syntax, or a bare data set without them.

#include <string>

#include "DicomSource.h"
#include "TransferSyntax.h"

enum class Opening { Opened, NotDicom, UnknownSyntax, Damaged };

struct DataSetStart {
    std::string uid;                        // as the file names it, or as a bare data set implies
    const TransferSyntax* syntax = nullptr; // set when Opened
    std::string error;                      // why, when Damaged
    // The data set of an explicit VR little endian syntax is written with implicit VRs (some
    // writers do so): it is read as implicit VR little endian.
    bool implicitVrData = false;
};

// Leaves the source at the first element of the data set when Opened. A bare data set (it
// starts with a group 0008 element, explicit or implicit VR little endian) is taken only
// when acceptBare is set.
Opening OpenDataSet(DicomSource& source, bool acceptBare, DataSetStart& start);
