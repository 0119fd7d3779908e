// The DICOMDIR reader: the tree its links describe (not the order of its items), the encodings
// pydicom's variants use, and the refusal of links that loop, lie or leave the folder.
#include <gtest/gtest.h>

#include "DicomDir.h"
#include "DicomDirBuilder.h"
#include "DicomSource.h"
#include "TestSupport.h"

using dicomtest::DirRecord;
using namespace testsupport;

namespace {

bool Read(const std::vector<uint8_t>& bytes, DicomDir& dir, std::string& error) {
    MemorySource source(bytes.data(), bytes.size());
    return ReadDicomDir(source, dir, error);
}

// "PATIENT(STUDY(SERIES(IMAGE a/b,IMAGE c)))": the tree as text, to compare whole shapes.
std::string Shape(const DicomDir& dir, const std::vector<size_t>& records) {
    std::string text;
    for (size_t index : records) {
        const DicomDirRecord& r = dir.records[index];
        text += (text.empty() ? "" : ",") + r.type;
        if (!r.fileId.empty()) text += " " + FileIdText(r.fileId);
        if (!r.children.empty()) text += "(" + Shape(dir, r.children) + ")";
    }
    return text;
}

// One patient, study and series holding two images; the items stored leaves first, so only
// a reader that follows the offsets gets the tree right.
std::vector<DirRecord> LeavesFirst() {
    std::vector<DirRecord> r(5);
    r[0] = {"IMAGE", "DIR1\\IM1", 1, -1, -1, -1, {{tags::InstanceNumber, "1"}}};
    r[1] = {"IMAGE", "DIR1\\IM2", -1, -1, -1, -1, {{tags::InstanceNumber, "2"}}};
    r[2] = {"SERIES", "", -1, 0, -1, -1, {{tags::SeriesNumber, "3"}}};
    r[3] = {"STUDY", "", -1, 2, -1, -1, {{tags::StudyDescription, "HEAD"}}};
    r[4] = {"PATIENT", "", -1, 3, -1, -1, {{tags::PatientId, "P1"}}};
    return r;
}

}  // namespace

TEST(DicomDirTree, LinksNotItemOrderMakeTheTree) {
    DicomDir dir;
    std::string error;
    ASSERT_TRUE(Read(dicomtest::DicomDirBuilder().build(LeavesFirst(), 4), dir, error)) << error;
    EXPECT_EQ(Shape(dir, dir.roots), "PATIENT(STUDY(SERIES(IMAGE DIR1/IM1,IMAGE DIR1/IM2)))");
    EXPECT_EQ(dir.records[dir.roots[0]].text.value(tags::PatientId), "P1");
}

// pydicom's variants of one DICOMDIR (explicit little and big endian, implicit VR, records
// reordered with their offsets) give the same tree; a fault in the byte order or VR handling
// of offsets would lose or misplace records.
TEST(DicomDirTree, PydicomVariantsGiveOneTree) {
    const fs::path dir = PydicomTestFiles() / "dicomdirtests";
    GLINTWISE_NEED_PEER(fs::exists(dir / "DICOMDIR"), "pydicom's dicomdirtests");
    DicomDir reference;
    std::string error;
    ASSERT_TRUE(ReadDicomDirFile((dir / "DICOMDIR").string(), reference, error)) << error;
    size_t files = 0;
    for (const DicomDirRecord& r : reference.records) files += !r.fileId.empty();
    EXPECT_EQ(files, 31u);
    EXPECT_EQ(reference.roots.size(), 2u);
    for (const char* variant : {"DICOMDIR-bigEnd", "DICOMDIR-implicit", "DICOMDIR-reordered"}) {
        SCOPED_TRACE(variant);
        DicomDir other;
        ASSERT_TRUE(ReadDicomDirFile((dir / variant).string(), other, error)) << error;
        EXPECT_EQ(Shape(other, other.roots), Shape(reference, reference.roots));
    }
    // Its last record claims 24 bytes more than the file holds.
    DicomDir lying;
    EXPECT_FALSE(ReadDicomDirFile((dir / "DICOMDIR-nooffset").string(), lying, error));
    EXPECT_NE(error.find("past the end"), std::string::npos) << error;
}

// Each row is a DICOMDIR that must be refused, with words of the reason; following any of
// them would loop forever, read records that are not there, or leave the CD's folder.
TEST(DicomDirMalformed, LiesAreRefusedWithTheirReason) {
    struct Case {
        const char* name;
        std::vector<DirRecord> records;
        int root;
        long long rootRaw;
        const char* reason;
    };
    std::vector<DirRecord> loop = LeavesFirst();
    loop[1].next = 0;  // the second image links back to the first
    std::vector<DirRecord> cycleUp = LeavesFirst();
    cycleUp[0].lower = 4;  // an image's lower level is the patient above it
    std::vector<DirRecord> intoRecord = LeavesFirst();
    intoRecord[0].nextRaw = 1000;  // offset of no record
    std::vector<DirRecord> parent = LeavesFirst();
    parent[1].fileId = "..\\..\\ETC\\PASSWD";
    std::vector<DirRecord> dot = LeavesFirst();
    dot[1].fileId = "DIR1\\.\\IM2";
    std::vector<DirRecord> slash = LeavesFirst();
    slash[1].fileId = "/etc/passwd";
    std::vector<DirRecord> empty = LeavesFirst();
    empty[1].fileId = "DIR1\\\\IM2";
    std::vector<DirRecord> deep;
    for (int i = 0; i < kMaxDicomDirDepth + 3; ++i) deep.push_back({"PRIVATE", "", -1, i + 1, -1, -1, {}});
    deep.back().lower = -1;
    const std::vector<Case> cases = {
        {"a record links back to an earlier one", loop, 4, -1, "loop"},
        {"a lower level links to an ancestor", cycleUp, 4, -1, "loop"},
        {"the root offset points into the meta group", LeavesFirst(), 4, 140, "points at no directory record"},
        {"a next offset points at no record", intoRecord, 4, -1, "points at no directory record"},
        {"a file ID climbs out of the folder", parent, 4, -1, "outside"},
        {"a file ID has a '.' component", dot, 4, -1, "outside"},
        {"a file ID holds a separator", slash, 4, -1, "outside"},
        {"a file ID has an empty component", empty, 4, -1, "outside"},
        {"entities nest deeper than any real file", deep, 0, -1, "nested"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DicomDir dir;
        std::string error;
        EXPECT_FALSE(Read(dicomtest::DicomDirBuilder().build(c.records, c.root, c.rootRaw), dir, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}

// A file cut anywhere is refused or read as what it holds, never read past its end (the
// sanitizer build shows an overrun).
TEST(DicomDirMalformed, EveryTruncationEndsCleanly) {
    const std::vector<uint8_t> good = dicomtest::DicomDirBuilder().build(LeavesFirst(), 4);
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + static_cast<long>(n));
        DicomDir dir;
        std::string error;
        EXPECT_FALSE(Read(cut, dir, error)) << n;
    }
}

TEST(DicomDirDetection, MetaGroupNamesTheDirectoryClass) {
    const fs::path dir = PydicomTestFiles() / "dicomdirtests";
    GLINTWISE_NEED_PEER(fs::exists(dir / "DICOMDIR"), "pydicom's dicomdirtests");
    EXPECT_TRUE(LooksLikeDicomDir((dir / "DICOMDIR-bigEnd").string()));
    EXPECT_FALSE(LooksLikeDicomDir((dir / "77654033" / "CR1" / "6154").string()));
}
