#include "DicomDir.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <unordered_map>

#include "DataSetOpening.h"
#include "DicomSource.h"
#include "ElementReader.h"

namespace {

// DICOMDIRs of the largest archives are tens of megabytes; beyond these the file is refused
// instead of costing memory in proportion to its record count.
constexpr uint64_t kMaxDicomDirBytes = uint64_t{256} << 20;
constexpr size_t kMaxRecords = 1000000;
constexpr size_t kMaxFileIdBytes = 1024;
constexpr size_t kMaxTypeBytes = 64;

constexpr uint32_t kFirstRootRecord = Tag(0x0004, 0x1200);
constexpr uint32_t kRecordSequence = Tag(0x0004, 0x1220);
constexpr uint32_t kNextRecord = Tag(0x0004, 0x1400);
constexpr uint32_t kLowerRecord = Tag(0x0004, 0x1420);
constexpr uint32_t kRecordType = Tag(0x0004, 0x1430);
constexpr uint32_t kFileId = Tag(0x0004, 0x1500);
constexpr uint32_t kFileSopInstance = Tag(0x0004, 0x1511);

// A record as read, with its links still byte offsets.
struct RawRecord {
    uint64_t offset = 0;  // of its item tag, from the file's first byte
    uint32_t next = 0;
    uint32_t lower = 0;
    DicomDirRecord record;
};

uint32_t TagOf(const ElementHeader& h) { return Tag(h.group, h.element); }

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \0", 0, 2);
    if (first == std::string::npos) return "";
    const size_t last = text.find_last_not_of(" \0", std::string::npos, 2);
    return text.substr(first, last - first + 1);
}

bool ReadText(ElementReader& reader, const ElementHeader& h, size_t limit, std::string& text) {
    std::vector<uint8_t> value;
    if (!reader.readValue(h, value, limit)) return false;
    text.assign(value.begin(), value.end());
    return true;
}

bool ReadOffset(ElementReader& reader, const ElementHeader& h, uint32_t& offset) {
    std::vector<uint8_t> value;
    if (!reader.readValue(h, value, 4)) return false;
    if (value.size() != 4) return reader.fail("a record offset that is not 4 bytes long");
    offset = reader.u32(value.data());
    return true;
}

// The components of a Referenced File ID. Every component must name an entry inside the
// folder it is looked up in: ".", "..", separators and control characters would let a
// DICOMDIR reach outside its folder or make names that mean other things on other systems.
bool SplitFileId(const std::string& value, std::vector<std::string>& components, std::string& error) {
    components.clear();
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i) {
        if (i < value.size() && value[i] != '\\') continue;
        const std::string part = Trim(value.substr(start, i - start));
        start = i + 1;
        const bool unsafe = part.empty() || part == "." || part == ".." ||
                            std::any_of(part.begin(), part.end(), [](char c) {
                                return c == '/' || c == ':' || static_cast<unsigned char>(c) < 0x20;
                            });
        if (unsafe) {
            error = "a directory record names a file outside the DICOMDIR's folder or with an unusable name (\"" +
                    Trim(value) + "\")";
            return false;
        }
        components.push_back(part);
    }
    return true;
}

// One element of a record: the links, the type and file ID, and the identifying attributes
// names are made from; everything else is skipped.
bool ReadRecordElement(ElementReader& reader, const ElementHeader& h, RawRecord& raw, std::string& error) {
    const uint32_t tag = TagOf(h);
    if (tag == kNextRecord) return ReadOffset(reader, h, raw.next);
    if (tag == kLowerRecord) return ReadOffset(reader, h, raw.lower);
    if (tag == kRecordType) {
        std::string type;
        if (!ReadText(reader, h, kMaxTypeBytes, type)) return false;
        raw.record.type = Trim(type);
        return true;
    }
    if (tag == kFileId) {
        std::string id;
        if (!ReadText(reader, h, kMaxFileIdBytes, id)) return false;
        if (!SplitFileId(id, raw.record.fileId, error)) return reader.fail(error);
        return true;
    }
    const uint32_t keptAs = tag == kFileSopInstance ? tags::SopInstanceUid : tag;
    const size_t limit = TextAttributes::keptLength(keptAs);
    if (limit == 0 || h.undefinedLength() || h.length > limit || (tag == kFileSopInstance && raw.record.text.has(keptAs)))
        return reader.skipValue(h);
    std::string value;
    if (!ReadText(reader, h, limit, value)) return false;
    raw.record.text.keep(keptAs, std::move(value));
    return true;
}

// The elements of one item up to its end (defined length) or its delimiter.
bool ReadRecordItem(ElementReader& reader, uint32_t length, RawRecord& raw, std::string& error) {
    DicomSource& source = reader.source();
    const bool defined = length != 0xFFFFFFFFu;
    if (defined && length > source.remaining()) return reader.fail("a directory record runs past the end of the file");
    const uint64_t end = source.position() + (defined ? length : 0);
    for (;;) {
        if (defined && source.position() >= end)
            return source.position() == end || reader.fail("an element runs past the end of its directory record");
        ElementHeader h;
        if (!reader.read16(h.group) || !reader.read16(h.element)) return reader.fail("a directory record without its end");
        if (h.group == 0xFFFE && h.element == 0xE00D && !defined)
            return source.skip(4) || reader.fail("truncated delimiter");
        if (h.group == 0xFFFE) return reader.fail("a damaged directory record");
        if (!reader.readHeaderAfterTag(h) || !ReadRecordElement(reader, h, raw, error)) return false;
    }
}

// The items of the Directory Record Sequence, each with the offset of its item tag.
bool ReadRecords(ElementReader& reader, const ElementHeader& sequence, const std::string& characterSet,
                 std::vector<RawRecord>& records, std::string& error) {
    DicomSource& source = reader.source();
    const bool defined = !sequence.undefinedLength();
    if (defined && sequence.length > source.remaining()) return reader.fail("the record sequence runs past the end of the file");
    const uint64_t end = source.position() + (defined ? sequence.length : 0);
    for (;;) {
        if (defined && source.position() >= end)
            return source.position() == end || reader.fail("a directory record runs past the end of its sequence");
        RawRecord raw;
        raw.offset = source.position();
        uint16_t element = 0;
        uint32_t length = 0;
        if (!reader.readItemHeader(element, length)) return reader.fail("the record sequence without its end");
        if (element == 0xE0DD && !defined) return true;
        if (element != 0xE000) return reader.fail("a damaged item in the record sequence");
        if (records.size() >= kMaxRecords) return reader.fail("more than " + std::to_string(kMaxRecords) + " directory records");
        if (!characterSet.empty()) raw.record.text.keep(tags::SpecificCharacterSet, characterSet);
        if (!ReadRecordItem(reader, length, raw, error)) return false;
        records.push_back(std::move(raw));
    }
}

// Links records into entities from an offset, checking that each link lands on a record's
// first byte and that no record is reached twice (which is what a loop does).
class Linker {
public:
    explicit Linker(std::vector<RawRecord>& raw) : raw_(raw), reached_(raw.size(), false) {
        for (size_t i = 0; i < raw.size(); ++i) byOffset_[raw[i].offset] = i;
    }

    bool chain(uint64_t offset, int depth, std::vector<size_t>& out, std::string& error) {
        if (depth > kMaxDicomDirDepth) return fail(error, "directory entities nested more than " + std::to_string(kMaxDicomDirDepth) + " deep");
        while (offset != 0) {
            const auto found = byOffset_.find(offset);
            if (found == byOffset_.end())
                return fail(error, "a record offset (" + std::to_string(offset) + ") points at no directory record");
            const size_t index = found->second;
            if (reached_[index])
                return fail(error, "directory records loop (the record at offset " + std::to_string(offset) + " is reached twice)");
            reached_[index] = true;
            out.push_back(index);
            offset = raw_[index].next;
        }
        for (size_t index : out)
            if (raw_[index].lower != 0 && !chain(raw_[index].lower, depth + 1, raw_[index].record.children, error))
                return false;
        return true;
    }

private:
    static bool fail(std::string& error, std::string text) {
        error = std::move(text);
        return false;
    }
    std::vector<RawRecord>& raw_;
    std::vector<bool> reached_;
    std::unordered_map<uint64_t, size_t> byOffset_;
};

bool Refuse(std::string& error, const std::string& text) {
    error = "not a usable DICOMDIR: " + text;
    return false;
}

}  // namespace

bool ReadDicomDir(DicomSource& source, DicomDir& dir, std::string& error) {
    dir = DicomDir{};
    if (source.remaining() > kMaxDicomDirBytes) return Refuse(error, "larger than 256 MB");
    DataSetStart start;
    const Opening opening = OpenDataSet(source, false, start);
    if (opening == Opening::NotDicom) return Refuse(error, "not a DICOM file");
    if (opening == Opening::UnknownSyntax) return Refuse(error, "unknown transfer syntax " + start.uid);
    if (opening != Opening::Opened) return Refuse(error, start.error);
    // Record offsets count bytes of the file as stored; a deflated data set has none to count.
    if (start.syntax->deflated) return Refuse(error, "a deflated DICOMDIR");
    ElementReader reader(source, DataSetEncoding{start.syntax->explicitVr && !start.implicitVrData, start.syntax->bigEndian});

    std::vector<RawRecord> raw;
    uint32_t firstRoot = 0;
    bool haveSequence = false;
    std::string characterSet;
    for (;;) {
        ElementHeader h;
        const ElementReader::Next next = reader.next(h);
        if (next == ElementReader::Next::End) break;
        if (next == ElementReader::Next::Error) return Refuse(error, reader.error());
        bool ok = true;
        const uint32_t tag = TagOf(h);
        if (tag == kFirstRootRecord) {
            ok = ReadOffset(reader, h, firstRoot);
        } else if (tag == tags::SpecificCharacterSet) {
            ok = ReadText(reader, h, TextAttributes::keptLength(tag) + 64, characterSet);
        } else if (tag == kRecordSequence && !haveSequence) {
            haveSequence = true;
            ok = ReadRecords(reader, h, characterSet, raw, error);
        } else {
            ok = reader.skipValue(h);
        }
        if (!ok) return Refuse(error, reader.error());
    }
    if (!haveSequence) return Refuse(error, "no directory record sequence (0004,1220)");

    // A root offset of 0 with records present is read as "the first record": some writers
    // leave the offsets of the root entity out.
    const uint64_t root = firstRoot != 0 ? firstRoot : raw.empty() ? 0 : raw.front().offset;
    Linker linker(raw);
    if (!linker.chain(root, 0, dir.roots, error)) return Refuse(error, error);
    dir.records.reserve(raw.size());
    for (RawRecord& r : raw) dir.records.push_back(std::move(r.record));
    return true;
}

bool ReadDicomDirFile(const std::string& path, DicomDir& dir, std::string& error) {
    FileSource source(path.c_str());
    if (!source.isOpen()) {
        error = "cannot open the DICOMDIR: " + source.error();
        return false;
    }
    return ReadDicomDir(source, dir, error);
}

bool LooksLikeDicomDir(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return false;
    char head[1024];
    const size_t n = std::fread(head, 1, sizeof head, file);
    std::fclose(file);
    if (n < 132 || std::memcmp(head + 128, "DICM", 4) != 0) return false;
    // The Media Storage Directory SOP class UID, as a whole value (not a prefix of another).
    static const char kUid[] = "1.2.840.10008.1.3.10";
    const std::string_view bytes(head + 132, n - 132);
    for (size_t at = bytes.find(kUid); at != std::string_view::npos; at = bytes.find(kUid, at + 1)) {
        const size_t after = at + sizeof kUid - 1;
        if (after == bytes.size() || (bytes[after] != '.' && (bytes[after] < '0' || bytes[after] > '9'))) return true;
    }
    return false;
}

std::string FileIdText(const std::vector<std::string>& fileId) {
    std::string text;
    for (const std::string& part : fileId) text += (text.empty() ? "" : "/") + part;
    return text;
}
