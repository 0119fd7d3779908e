// --name and DICOMDIR inputs through the converter: the tree a CD gives, the files it lists
// but lacks, names in any letter case, collisions settled alike by every shard, and patterns
// refused before any input is read.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "FolderBatch.h"
#include "OutputNames.h"

namespace fs = std::filesystem;
using clitest::ListTree;
using clitest::RunConvert;
using namespace testsupport;

namespace {

// A picture with a patient and an instance number; the seed varies its pixels.
std::vector<uint8_t> Instance(const std::string& patient, const std::string& instance, uint16_t seed,
                              const std::string& frames = "") {
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    b.text(0x0010, 0x0020, "LO", patient);
    b.text(0x0020, 0x0013, "IS", instance);
    const int count = frames.empty() ? 1 : std::stoi(frames);
    if (!frames.empty()) b.text(0x0028, 0x0008, "IS", frames);
    std::vector<uint16_t> samples;
    for (int i = 0; i < 6 * count; ++i) samples.push_back(static_cast<uint16_t>((i * 37 + seed * 101) % 4096));
    b.picture(2, 3).pixels16(samples);
    return b.bytes();
}

void Put(const fs::path& path, const std::vector<uint8_t>& bytes) {
    fs::create_directories(path.parent_path());
    WriteFile(path, bytes);
}

fs::path DicomDirTests() { return PydicomTestFiles() / "dicomdirtests"; }

// Files with upper-case 8.3 names as a CD holds them, made by pydicom, and their DICOMDIR made
// by DCMTK: patient P1 with one series of 3, patient P2 with two series of 2 whose instance
// numbers repeat.
void MakeCd(const fs::path& cd) {
    const std::string script = R"(
import sys, os
import numpy as np
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, generate_uid
root = sys.argv[1]
layout = [("P1", "Doe^Ann", "20240101", "CHEST", 1, "AX", 3),
          ("P2", "Roe^Bo", "20240202", "HEAD", 1, "SAG", 2),
          ("P2", "Roe^Bo", "20240202", "HEAD", 2, "COR", 2)]
studies = {}
n = 0
for pid, name, date, sdesc, snum, serdesc, count in layout:
    studies.setdefault(pid, generate_uid())
    series = generate_uid()
    for i in range(count):
        meta = FileMetaDataset()
        meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7"
        meta.MediaStorageSOPInstanceUID = generate_uid()
        meta.TransferSyntaxUID = ExplicitVRLittleEndian
        ds = Dataset()
        ds.file_meta = meta
        ds.SOPClassUID = meta.MediaStorageSOPClassUID
        ds.SOPInstanceUID = meta.MediaStorageSOPInstanceUID
        ds.PatientID = pid; ds.PatientName = name; ds.PatientBirthDate = ""; ds.PatientSex = ""
        ds.StudyDate = date; ds.StudyTime = "120000"; ds.StudyDescription = sdesc; ds.StudyID = "1"
        ds.AccessionNumber = "A" + pid; ds.StudyInstanceUID = studies[pid]
        ds.SeriesInstanceUID = series; ds.SeriesNumber = snum; ds.SeriesDescription = serdesc
        ds.Modality = "OT"; ds.InstanceNumber = i + 1; ds.ConversionType = "WSD"
        ds.Rows = 8; ds.Columns = 8; ds.SamplesPerPixel = 1; ds.PhotometricInterpretation = "MONOCHROME2"
        ds.BitsAllocated = 8; ds.BitsStored = 8; ds.HighBit = 7; ds.PixelRepresentation = 0
        ds.PixelData = (np.arange(64, dtype=np.uint8) * (n + 1)).tobytes()
        folder = os.path.join(root, "DIR%03d" % (n // 4))
        os.makedirs(folder, exist_ok=True)
        ds.save_as(os.path.join(folder, "IM%06d" % n), write_like_original=False)
        n += 1
)";
    const fs::path file = cd.parent_path() / "make_cd.py";
    WriteFile(file, std::vector<uint8_t>(script.begin(), script.end()));
    ASSERT_EQ(Run(Python() + " " + ShellQuote(file.string()) + " " + ShellQuote(cd.string())), 0);
    ASSERT_EQ(Run("cd " + ShellQuote(cd.string()) + " && dcmmkdir -q +r +I DIR000 DIR001"), 0);
    ASSERT_TRUE(fs::exists(cd / "DICOMDIR"));
}

const std::vector<std::string> kCdTree = {
    "P1/20240101_CHEST/1_AX/1.png",  "P1/20240101_CHEST/1_AX/2.png",  "P1/20240101_CHEST/1_AX/3.png",
    "P2/20240202_HEAD/1_SAG/1.png",  "P2/20240202_HEAD/1_SAG/2.png",  "P2/20240202_HEAD/2_COR/1.png",
    "P2/20240202_HEAD/2_COR/2.png",
};

// Renames every entry below the folder as a mount of a CD may show it: lower case, or with
// ISO 9660's ";1" version.
void Respell(const fs::path& folder, bool lower) {
    std::vector<fs::path> entries;
    for (const auto& e : fs::recursive_directory_iterator(folder)) entries.push_back(e.path());
    std::sort(entries.rbegin(), entries.rend());  // deepest first, so parents rename last
    for (const fs::path& p : entries) {
        std::string name = p.filename().string();
        if (lower) {
            for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else if (fs::is_regular_file(p) && name != "DICOMDIR") {
            name += ";1";
        }
        if (name != p.filename().string()) fs::rename(p, p.parent_path() / name);
    }
}

}  // namespace

// pydicom's CD: its 31 referenced pictures into the patient / study / series tree, each the
// same picture the file gives alone; a fault in following the records loses or misnames them.
TEST(DicomDirInput, PydicomCdGivesEveryPictureInItsTree) {
    GLINTWISE_NEED_PEER(fs::exists(DicomDirTests() / "DICOMDIR"), "pydicom's dicomdirtests");
    TempDir dir;
    const auto run = RunConvert({"-o", (dir / "out").string(), DicomDirTests().string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.err.find("31 converted, 0 failed"), std::string::npos) << run.err;
    const std::vector<std::string> tree = ListTree(dir / "out");
    EXPECT_EQ(tree.size(), 31u);
    for (const char* name : {"77654033/20010101_XR C Spine Comp Min 4 Views/1_Cervical LAT/1.png",
                             "77654033/19950903_CT, HEAD_BRAIN WO CONTRAST/2_Routine Brain/180.png",
                             "98890234/20010101_unknown/5_SmartScore - Gated 0.5 sec/10.png",
                             "98890234/20030505_Brain-MRA/700_ANGIO Projected from   C/7.png"})
        EXPECT_NE(std::find(tree.begin(), tree.end(), name), tree.end()) << name;
    const auto alone = RunConvert({"-o", (dir / "alone.png").string(), (DicomDirTests() / "77654033/CR1/6154").string()});
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(ReadFile(dir / "alone.png"),
              ReadFile(dir / "out/77654033/20010101_XR C Spine Comp Min 4 Views/1_Cervical LAT/1.png"));
}

// TINY_ALPHA's 50 files are data sets without pixel data: each is a failure saying so, not a
// success with nothing written.
TEST(DicomDirInput, FilesWithoutPicturesFailAsSuch) {
    GLINTWISE_NEED_PEER(fs::exists(DicomDirTests() / "TINY_ALPHA"), "pydicom's dicomdirtests");
    TempDir dir;
    const auto run = RunConvert({"-o", (dir / "out").string(), (DicomDirTests() / "TINY_ALPHA/DICOMDIR").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("0 converted, 50 failed"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("TINY_ALPHA/PT000000/ST000000/SE000000/IM00001D: This file holds no picture."),
              std::string::npos) << run.err;
    EXPECT_TRUE(ListTree(dir / "out").empty());
}

TEST(DicomDirInput, InfoPrintsTheTreeWithCounts) {
    GLINTWISE_NEED_PEER(fs::exists(DicomDirTests() / "DICOMDIR"), "pydicom's dicomdirtests");
    const auto run = RunConvert({"--info", DicomDirTests().string()});
    EXPECT_EQ(run.status, 0) << run.err;
    for (const char* line : {"DICOMDIR: DICOMDIR, 2 patients, 6 studies, 13 series, 31 images\n",
                             "\n  patient 77654033 Doe^Archibald: 2 studies, 4 series, 7 images\n",
                             "\n    study 20030505 Brain-MRA: 3 series, 11 images\n",
                             "\n      series 700 MR: 7 images\n"})
        EXPECT_NE(run.out.find(line), std::string::npos) << line << run.out;
}

// A CD made by DCMTK: every picture into the tree whether the mount shows the names as
// written, in lower case or with ";1"; a file the DICOMDIR lists but the CD lacks, or a link
// out of the CD, fails with its reason while the others convert.
TEST(DicomDirInput, DcmtkCdInAnySpellingAndWithAMissingFile) {
    GLINTWISE_NEED_PEER(HaveTool("dcmmkdir"), "dcmmkdir (dcmtk)");
    GLINTWISE_NEED_PEER(HavePythonModules("pydicom numpy"), "python3-pydicom");
    TempDir dir;
    MakeCd(dir / "CD");
    if (HasFatalFailure()) return;
    for (const char* spelling : {"as written", "lower", "versions"}) {
        SCOPED_TRACE(spelling);
        const fs::path cd = dir / (std::string("cd-") + spelling);
        fs::copy(dir / "CD", cd, fs::copy_options::recursive);
        if (std::string(spelling) != "as written") Respell(cd, std::string(spelling) == "lower");
        const fs::path out = dir / (std::string("out-") + spelling);
        const auto run = RunConvert({"-o", out.string(), cd.string()});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(ListTree(out), kCdTree);
    }
    fs::remove(dir / "CD/DIR001/IM000005");
    // A link on the CD that leads out of it is not followed.
    fs::rename(dir / "CD/DIR001/IM000006", dir / "outside");
    fs::create_symlink(dir / "outside", dir / "CD/DIR001/IM000006");
    const auto run = RunConvert({"-o", (dir / "out-missing").string(), (dir / "CD/DICOMDIR").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("DIR001/IM000005: missing: the DICOMDIR lists it, but the folder holds no such file"),
              std::string::npos) << run.err;
    EXPECT_NE(run.err.find("DIR001/IM000006: refused: a link leads out of the DICOMDIR's folder"), std::string::npos)
        << run.err;
    EXPECT_NE(run.err.find("5 converted, 2 failed"), std::string::npos) << run.err;
}

// A DICOMDIR that would lead out of its folder is refused whole, and nothing outside is read.
TEST(DicomDirInput, FileIdsLeavingTheFolderRefuseTheDicomDir) {
    GLINTWISE_NEED_PEER(HaveTool("dcmmkdir"), "dcmmkdir (dcmtk)");
    GLINTWISE_NEED_PEER(HavePythonModules("pydicom numpy"), "python3-pydicom");
    TempDir dir;
    MakeCd(dir / "CD");
    if (HasFatalFailure()) return;
    // Same length as "DIR000\IM000000", so every offset stays right.
    std::vector<uint8_t> bytes = ReadFile(dir / "CD/DICOMDIR");
    const std::string from = "DIR000\\IM000000", to = "..\\..\\IM000000";
    auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
    ASSERT_NE(at, bytes.end());
    std::copy(to.begin(), to.end(), at);
    WriteFile(dir / "CD/DICOMDIR", bytes);
    const auto run = RunConvert({"-o", (dir / "out").string(), (dir / "CD").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("outside the DICOMDIR's folder"), std::string::npos) << run.err;
    EXPECT_TRUE(ListTree(dir / "out").empty());
}

// Inputs sharing a name get _2, _3 in input order; run as two shards into one folder they
// write exactly what one run writes, byte for byte, because both shards name the whole list.
TEST(NameOption, CollisionsInInputOrderAndAcrossShards) {
    TempDir dir;
    const struct {
        const char* file;
        const char* patient;
        const char* instance;
    } inputs[] = {{"a.dcm", "P1", "1"}, {"b.dcm", "P1", "1"}, {"c.dcm", "P1", "2"}, {"d.dcm", "p1", "1"},
                  {"e.dcm", "P2", "1"}};
    uint16_t seed = 0;
    for (const auto& in : inputs) Put(dir / "in" / in.file, Instance(in.patient, in.instance, ++seed));
    const std::string pattern = "{PatientID}/{InstanceNumber:03}";
    const auto whole = RunConvert({"--name", pattern, "-o", (dir / "whole").string(), (dir / "in").string()});
    ASSERT_EQ(whole.status, 0) << whole.err;
    // d.dcm's "p1" would be the same folder as "P1" where letter case does not count.
    EXPECT_EQ(ListTree(dir / "whole"), (std::vector<std::string>{"P1/001.png", "P1/001_2.png", "P1/002.png",
                                                                 "P2/001.png", "p1/001_3.png"}));
    for (const char* shard : {"1/2", "2/2"})
        ASSERT_EQ(RunConvert({"--shard", shard, "--name", pattern, "-o", (dir / "sharded").string(), (dir / "in").string()})
                      .status, 0);
    EXPECT_EQ(ListTree(dir / "sharded"), ListTree(dir / "whole"));
    for (const std::string& name : ListTree(dir / "whole"))
        EXPECT_EQ(ReadFile(dir / "sharded" / name), ReadFile(dir / "whole" / name)) << name;
}

// {frame} names each frame with --all-frames; {stem} and {rel} keep the input's own name and
// sub-folder.
TEST(NameOption, FramesStemAndSubFolders) {
    TempDir dir;
    Put(dir / "in/sub/three.dcm", Instance("P1", "5", 1, "3"));
    Put(dir / "in/one.dcm", Instance("P1", "6", 2));
    const auto run = RunConvert({"-r", "--all-frames", "--name", "{rel}/{stem}-{InstanceNumber}-f{frame:02}", "-o",
                                 (dir / "out").string(), (dir / "in").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(ListTree(dir / "out"), (std::vector<std::string>{"one-6-f00.png", "sub/three-5-f00.png",
                                                               "sub/three-5-f01.png", "sub/three-5-f02.png"}));
}

// Bad patterns are usage errors found before any input is looked at (the input here does not
// exist, and its absence is not reported).
TEST(NameOption, BadPatternsAreUsageErrorsBeforeAnyInput) {
    TempDir dir;
    for (const char* pattern : {"{PatientId}", "{PatientID", "PatientID}", "{InstanceNumber:4}", "../{stem}"}) {
        const auto run = RunConvert({"--name", pattern, (dir / "nothing-here").string()});
        EXPECT_EQ(run.status, 2) << pattern;
        EXPECT_NE(run.err.find("--name"), std::string::npos) << run.err;
        EXPECT_EQ(run.err.find("no such file"), std::string::npos) << run.err;
    }
    Put(dir / "a.dcm", Instance("P1", "1", 1));
    const auto run = RunConvert({"--name", "{stem}", "-o", (dir / "x.png").string(), (dir / "a.dcm").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--output must name a folder"), std::string::npos) << run.err;
}

// The window's batch with its tree choice writes what the converter's --name writes, and a
// source folder with a DICOMDIR at its top converts the DICOMDIR's files.
TEST(NameOption, WindowBatchSharesTheNaming) {
    TempDir dir;
    Put(dir / "in/x.dcm", Instance("P7", "3", 1));
    const BatchSummary summary =
        RunFolderBatch((dir / "in").string(), (dir / "out").string(), "png", 1, nullptr, nullptr,
                       BatchChoices{.namePattern = convert::kPatientStudySeriesPattern});
    EXPECT_EQ(summary.written, 1);
    EXPECT_EQ(ListTree(dir / "out"), (std::vector<std::string>{"P7/unknown_unknown/unknown_unknown/3.png"}));
    if (!fs::exists(DicomDirTests() / "DICOMDIR")) return;
    const BatchSummary cd = RunFolderBatch(DicomDirTests().string(), (dir / "cd").string(), "png", 2);
    EXPECT_EQ(cd.written, 31);
    EXPECT_EQ(ListTree(dir / "cd").size(), 31u);
}
