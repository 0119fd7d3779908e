#include "TransferSyntax.h"

#include <iterator>

const TransferSyntax kImplicitVrLittleEndian{"1.2.840.10008.1.2", "Implicit VR Little Endian",
                                             false, false, false, false};
const TransferSyntax kExplicitVrLittleEndianSyntax{"1.2.840.10008.1.2.1", "Explicit VR Little Endian",
                                                   true, false, false, false};

namespace {

// Encapsulated syntaxes are explicit VR little endian; they differ in the frame decoder.
constexpr TransferSyntax Encapsulated(const char* uid, const char* name) {
    return {uid, name, true, false, false, true};
}

const TransferSyntax kOthers[] = {
    {"1.2.840.10008.1.2.2", "Explicit VR Big Endian", true, true, false, false},
    {"1.2.840.10008.1.2.1.99", "Deflated Explicit VR Little Endian", true, false, true, false},
    Encapsulated("1.2.840.10008.1.2.5", "RLE Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.50", "JPEG Baseline"),
    Encapsulated("1.2.840.10008.1.2.4.51", "JPEG Extended"),
    Encapsulated("1.2.840.10008.1.2.4.57", "JPEG Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.70", "JPEG Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.80", "JPEG-LS Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.81", "JPEG-LS Near-Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.90", "JPEG 2000 Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.91", "JPEG 2000"),
    Encapsulated("1.2.840.10008.1.2.4.201", "HTJ2K Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.202", "HTJ2K Lossless RPCL"),
    Encapsulated("1.2.840.10008.1.2.4.203", "HTJ2K"),
    Encapsulated("1.2.840.10008.1.2.4.100", "MPEG-2"),
    Encapsulated("1.2.840.10008.1.2.4.102", "MPEG-4"),
    Encapsulated("1.2.840.10008.1.2.4.103", "MPEG-4 BD"),
    Encapsulated("1.2.840.10008.1.2.4.110", "JPEG XL Lossless"),
    Encapsulated("1.2.840.10008.1.2.4.112", "JPEG XL"),
};

}  // namespace

const TransferSyntax* FindTransferSyntax(const std::string& uid) {
    if (uid == kImplicitVrLittleEndian.uid) return &kImplicitVrLittleEndian;
    if (uid == kExplicitVrLittleEndianSyntax.uid) return &kExplicitVrLittleEndianSyntax;
    for (const TransferSyntax& syntax : kOthers)
        if (uid == syntax.uid) return &syntax;
    return nullptr;
}
