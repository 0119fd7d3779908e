#include "DataSetOpening.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "ElementReader.h"

namespace {

constexpr size_t kMaxUid = 64;

bool IsUpper(uint8_t c) { return c >= 'A' && c <= 'Z'; }

Opening Damaged(DataSetStart& start, std::string text) {
    start.error = std::move(text);
    return Opening::Damaged;
}

// The transfer syntax UID of a (0002,0010) value: a zero byte pads or ends it.
std::string SyntaxUid(std::string uid) {
    uid.resize(std::strlen(uid.c_str()));
    const size_t end = uid.find_last_not_of(" \t");
    uid.erase(end == std::string::npos ? 0 : end + 1);
    return uid;
}

// A meta group whose writer left out the group length: its elements are read one by one
// while their group is 0002, and the data set starts after the last of them.
Opening ReadUnmeasuredMetaGroup(DicomSource& source, DataSetStart& start) {
    ElementReader reader(source, DataSetEncoding{});
    for (;;) {
        const uint64_t at = source.position();
        ElementHeader h;
        if (reader.next(h) != ElementReader::Next::Element || h.group != 0x0002) {
            if (!source.seek(at)) return Damaged(start, "truncated file meta group");
            break;
        }
        if (!h.is(0x0002, 0x0010)) {
            if (!reader.skipValue(h)) return Damaged(start, "truncated file meta group");
            continue;
        }
        std::vector<uint8_t> value;
        if (!reader.readValue(h, value, kMaxUid)) return Damaged(start, "file meta group with a damaged transfer syntax");
        start.uid = SyntaxUid(std::string(value.begin(), value.end()));
    }
    return start.uid.empty() ? Damaged(start, "file meta group without a transfer syntax") : Opening::Opened;
}

// The file meta group, walked element by element within its group length, up to the
// transfer syntax.
Opening ReadMetaGroup(DicomSource& source, DataSetStart& start) {
    // The first meta element holds the byte length of the rest of the meta group.
    uint8_t head[12];
    const uint64_t metaStart = source.position();
    if (!source.read(head, 8)) return Damaged(start, "truncated file meta group");
    const bool groupLength0 = head[0] == 0x02 && head[1] == 0 && head[2] == 0 && head[3] == 0;
    if (!groupLength0 && head[0] == 0x02 && head[1] == 0)
        return source.seek(metaStart) ? ReadUnmeasuredMetaGroup(source, start) : Damaged(start, "truncated file meta group");
    if ((head[6] | (head[7] << 8)) != 4 || !source.read(head + 8, 4))
        return Damaged(start, "file meta group without a usable group length");
    const uint32_t groupLength = head[8] | (uint32_t{head[9]} << 8) | (uint32_t{head[10]} << 16) |
                                 (uint32_t{head[11]} << 24);

    // Read what the file holds of the group; a short group is walked as far as it goes.
    const size_t length = static_cast<size_t>(std::min<uint64_t>(groupLength, source.remaining()));
    std::vector<uint8_t> meta(length);
    if (!source.read(meta.data(), length)) return Damaged(start, "truncated file meta group");
    MemorySource metaSource(meta.data(), meta.size());
    ElementReader reader(metaSource, DataSetEncoding{});
    ElementHeader h;
    while (reader.next(h) == ElementReader::Next::Element) {
        if (!h.is(0x0002, 0x0010)) {
            if (!reader.skipValue(h)) break;
            continue;
        }
        if (h.length > kMaxUid || h.length > metaSource.remaining())
            return Damaged(start, "file meta group with a damaged transfer syntax");
        std::string uid(h.length, '\0');
        metaSource.read(uid.data(), uid.size());
        start.uid = SyntaxUid(uid);
        return Opening::Opened;
    }
    return Damaged(start, "file meta group without a transfer syntax");
}

// A data set written with explicit VRs under an implicit VR syntax cannot be read as the
// file says: it counts as an unsupported syntax rather than as damaged.
bool MatchesItsSyntax(DicomSource& source, const TransferSyntax& syntax) {
    if (syntax.explicitVr || source.remaining() < 6) return true;
    uint8_t head[6];
    const uint64_t at = source.position();
    if (!source.read(head, 6) || !source.seek(at)) return true;
    return !(IsUpper(head[4]) && IsUpper(head[5]));
}

// A data set written with implicit VRs under an explicit VR little endian syntax: its first
// element (group 0008, as every data set starts) has no VR letters after its tag.
bool ImplicitUnderExplicit(DicomSource& source, const TransferSyntax& syntax) {
    if (!syntax.explicitVr || syntax.bigEndian || syntax.deflated || source.remaining() < 6) return false;
    uint8_t head[6];
    const uint64_t at = source.position();
    if (!source.read(head, 6) || !source.seek(at)) return false;
    return head[0] == 0x08 && head[1] == 0x00 && !(IsUpper(head[4]) && IsUpper(head[5]));
}

// A data set without preamble and meta group is recognised by its first element, of group
// 0008; the two bytes after the tag tell an explicit VR from an implicit length.
bool DetectBareDataSet(DicomSource& source, DataSetStart& start) {
    uint8_t head[8];
    if (!source.seek(0) || !source.read(head, sizeof head) || !source.seek(0)) return false;
    if (head[0] != 0x08 || head[1] != 0x00) return false;
    start.syntax = IsUpper(head[4]) && IsUpper(head[5]) ? &kExplicitVrLittleEndianSyntax : &kImplicitVrLittleEndian;
    start.uid = start.syntax->uid;
    return true;
}

}  // namespace

Opening OpenDataSet(DicomSource& source, bool acceptBare, DataSetStart& start) {
    start = DataSetStart{};
    char magic[4];
    if (!(source.skip(128) && source.read(magic, 4) && std::memcmp(magic, "DICM", 4) == 0))
        return acceptBare && DetectBareDataSet(source, start) ? Opening::Opened : Opening::NotDicom;
    const Opening meta = ReadMetaGroup(source, start);
    if (meta != Opening::Opened) return meta;
    start.syntax = FindTransferSyntax(start.uid);
    if (!start.syntax || !MatchesItsSyntax(source, *start.syntax)) {
        start.syntax = nullptr;
        return Opening::UnknownSyntax;
    }
    start.implicitVrData = ImplicitUnderExplicit(source, *start.syntax);
    return Opening::Opened;
}
