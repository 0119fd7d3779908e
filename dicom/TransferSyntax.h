#pragma once
// The transfer syntaxes the reader knows: how the data set is encoded (VR explicit or
// implicit, byte order, deflated) and whether the pixel data is native or encapsulated.

#include <string>

struct TransferSyntax {
    const char* uid;
    const char* name;        // "Implicit VR Little Endian", "JPEG 2000", ...
    bool explicitVr;
    bool bigEndian;
    bool deflated;           // the data set after the meta group is raw deflate
    bool encapsulated;       // pixel data as fragments of compressed frames
};

// The description of a UID (trailing blanks and zero bytes already cut); nullptr when unknown.
const TransferSyntax* FindTransferSyntax(const std::string& uid);

extern const TransferSyntax kImplicitVrLittleEndian;
extern const TransferSyntax kExplicitVrLittleEndianSyntax;
