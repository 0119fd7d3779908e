// Open, Save As, the folder choosers and the batch run, driven through the window's buttons
// with the dialogs answered by the test.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QColor>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <algorithm>
#include <filesystem>

#include "FolderBatch.h"
#include "ConvertJob.h"
#include "ConvertRun.h"
#include "LfFormatRegistry.h"
#include "DicomFileBuilder.h"
#include "FakeServices.h"
#include "Lumaframe.h"
#include "TestSupport.h"
#include "TinyDicom.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

const char kSaveFilters[] =
    "bmp(*.bmp)\njpg(*.jpg)\njpeg(*.jpeg)\njpe(*.jpe)\npng(*.png)\ntiff(*.tiff)\ntif(*.tif)\n"
    "tga(*.tga)\npcx(*.pcx)\nwbmp(*.wbmp)\nwmf(*.wmf)\nemf(*.emf)\njp2(*.jp2)\nj2c(*.j2c)\n"
    "jpc(*.jpc)\npgx(*.pgx)\npnm(*.pnm)\npgm(*.pgm)\nppm(*.ppm)\nras(*.ras)\nmng(*.mng)\n"
    "jng(*.jng)\nska(*.ska)\nraw(*.raw)\ngif(*.gif)\nico(*.ico)\nmp4(*.mp4)\nwebm(*.webm)";

template <class T = QWidget>
T* Child(const QObject& parent, const char* name) {
    return parent.findChild<T*>(QLatin1String(name));
}

// Restores the working directory that the folder slots move.
struct KeepWorkingDirectory {
    QString saved = QDir::currentPath();
    ~KeepWorkingDirectory() { QDir::setCurrent(saved); }
};

class Workflow : public ::testing::Test {
protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        window.setServices(std::move(fake));
        window.show();
    }
    void Click(const char* button) { Child<QAbstractButton>(window, button)->click(); }
    // The batch runs on its own thread; its end arrives through the event loop.
    void WaitForBatch() {
        while (window.batchRunning()) QApplication::processEvents(QEventLoop::AllEvents, 20);
    }
    // The window's batch from in/ into batch/, with the choices made before.
    void RunBatchFromIn() {
        Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "in"));
        Child<QLineEdit>(window, "txtResultDir")->setText(Q(dir / "batch"));
        Click("btCovPics");
        WaitForBatch();
    }
    // The converter's run of in/ into run/ with the options; expects batch/ to hold the same
    // files byte for byte, and returns their paths relative to run/, sorted.
    std::vector<std::string> ExpectTheConvertersFiles(convert::Options options) {
        options.inputs = {(dir / "in").string()};
        options.output = (dir / "run").string();
        convert::RunPlan(convert::MakePlan(options), options, 2);
        std::vector<std::string> written;
        for (const auto& entry : fs::recursive_directory_iterator(dir / "run")) {
            if (!entry.is_regular_file()) continue;
            const fs::path relative = fs::relative(entry.path(), dir / "run");
            written.push_back(relative.string());
            EXPECT_FALSE(ReadFile(entry.path()).empty()) << relative;
            EXPECT_EQ(ReadFile(dir / "batch" / relative), ReadFile(entry.path())) << relative;
        }
        std::sort(written.begin(), written.end());
        return written;
    }
    void ExpectOneBox(bool warning, const char* title, const char* text) {
        ASSERT_EQ(services->boxes.size(), 1u);
        EXPECT_EQ(services->boxes[0].warning, warning);
        EXPECT_EQ(services->boxes[0].title, title);
        EXPECT_EQ(services->boxes[0].text, text);
        services->boxes.clear();
    }

    KeepWorkingDirectory keepCwd;
    TempDir dir;
    Lumaframe window;
    FakeServices* services = nullptr;
};

}  // namespace

TEST_F(Workflow, OpenShowsThePictureAndRemembersThePath) {
    WriteFile(dir / "scan.dcm", tinydicom::MakeRamp(40, 20, 1));
    services->answers = {Q(dir / "scan.dcm")};
    Child<QLineEdit>(window, "lineEdit")->setText("/start/here");
    Click("btAddPic");
    ASSERT_EQ(services->dialogs.size(), 1u);
    EXPECT_EQ(services->dialogs[0].caption, "Load Dicom Picture");
    EXPECT_EQ(services->dialogs[0].dir, "/start/here");
    // "*" and not "*.*": files without an extension (IM0001) must be listed.
    EXPECT_EQ(services->dialogs[0].filter, "All files(*)\nDicom(*.dicom *.dcm)");
    EXPECT_TRUE(services->boxes.empty());
    EXPECT_EQ(Child<QLineEdit>(window, "lineEdit")->text(), Q(dir / "scan.dcm"));
    EXPECT_EQ(window.currentImage().Width(), 40u);
    EXPECT_EQ(window.currentImage().Height(), 20u);
    // Enlarged until its width fills the label (inside its frame).
    const QLabel* preview = Child<QLabel>(window, "lbPic");
    EXPECT_EQ(preview->pixmap().width(), preview->width() - 2);
    EXPECT_EQ(preview->pixmap().height(), preview->pixmap().width() / 2);
}

TEST_F(Workflow, ColourPicturesShowInColourAndValidFilesTheyCannotShowAreNamed) {
    dicomtest::DicomFileBuilder rgb;
    rgb.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "RGB").us(0x0028, 0x0006, 0);
    rgb.us(0x0028, 0x0010, 1).us(0x0028, 0x0011, 2).us(0x0028, 0x0100, 8).us(0x0028, 0x0101, 8);
    rgb.us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0).pixels8({255, 0, 0, 0, 0, 255});
    WriteFile(dir / "rgb.dcm", rgb.bytes());
    services->answers = {Q(dir / "rgb.dcm")};
    Click("btAddPic");
    ASSERT_TRUE(services->boxes.empty());
    const QImage shown = Child<QLabel>(window, "lbPic")->pixmap().toImage();
    EXPECT_EQ(shown.pixelColor(0, 0), QColor(255, 0, 0));
    EXPECT_EQ(shown.pixelColor(shown.width() - 1, 0), QColor(0, 0, 255));

    dicomtest::DicomFileBuilder plan;
    plan.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.481.5");
    WriteFile(dir / "plan.dcm", plan.bytes());
    services->answers = {Q(dir / "plan.dcm")};
    Click("btAddPic");
    ExpectOneBox(true, "Failure", "This file holds no picture (RT Plan Storage).");
    EXPECT_EQ(Child<QLineEdit>(window, "lineEdit")->text(), Q(dir / "rgb.dcm"));
}

TEST_F(Workflow, FailedOpenKeepsTheOldPictureAndPath) {
    WriteFile(dir / "good.dcm", tinydicom::MakeRamp(30, 10, 1));
    WriteFile(dir / "damaged.dcm", std::vector<uint8_t>(200, 0x41));
    std::vector<uint8_t> truncated = tinydicom::MakeRamp(30, 10, 2);
    truncated.resize(truncated.size() - 100);
    WriteFile(dir / "truncated.dcm", truncated);

    services->answers = {Q(dir / "good.dcm")};
    Click("btAddPic");
    ASSERT_TRUE(services->boxes.empty());
    const QImage before = Child<QLabel>(window, "lbPic")->pixmap().toImage();

    // Each failure names its reason; only a damaged DICOM file asks the user to check it.
    const std::pair<const char*, const char*> bad[] = {
        {"damaged.dcm", "This is not a DICOM file."},
        {"truncated.dcm", "Please check whether the image is damaged."},
        {"missing.dcm", "This file cannot be opened: no such file."},
    };
    for (const auto& [name, reason] : bad) {
        SCOPED_TRACE(name);
        services->answers = {Q(dir / name)};
        Click("btAddPic");
        ExpectOneBox(true, "Failure", reason);
        EXPECT_EQ(Child<QLineEdit>(window, "lineEdit")->text(), Q(dir / "good.dcm"));
        EXPECT_EQ(window.currentImage().Width(), 30u);
        EXPECT_EQ(Child<QLabel>(window, "lbPic")->pixmap().toImage(), before);
    }

    // Save As still writes the old picture.
    services->answers = {Q(dir / "again.bmp")};
    Click("btCov");
    ExpectOneBox(false, "Success", "Image has been saved.");
    LfImage saved;
    ASSERT_TRUE(saved.Load((dir / "again.bmp").c_str(), 1));
    EXPECT_EQ(saved.Width(), 30u);
}

TEST_F(Workflow, CancelledDialogsChangeNothing) {
    WriteFile(dir / "good.dcm", tinydicom::MakeRamp(8, 8, 1));
    services->answers = {Q(dir / "good.dcm")};
    Click("btAddPic");
    Child<QLineEdit>(window, "txtPicDir")->setText("typed/source");
    Child<QLineEdit>(window, "txtResultDir")->setText("typed/result");
    const QString cwd = QDir::currentPath();

    for (const char* button : {"btAddPic", "btCov", "btAddPicDir", "btPicResultDir"}) {
        SCOPED_TRACE(button);
        services->answers.clear();  // every dialog is cancelled
        Click(button);
    }
    EXPECT_TRUE(services->boxes.empty());
    EXPECT_EQ(Child<QLineEdit>(window, "lineEdit")->text(), Q(dir / "good.dcm"));
    EXPECT_EQ(Child<QLineEdit>(window, "txtPicDir")->text(), "typed/source");
    EXPECT_EQ(Child<QLineEdit>(window, "txtResultDir")->text(), "typed/result");
    EXPECT_EQ(window.currentImage().Width(), 8u);
    EXPECT_EQ(QDir::currentPath(), cwd);
}

TEST_F(Workflow, SaveAsBeforeAnyOpenFails) {
    services->answers = {Q(dir / "nothing.png")};
    Click("btCov");
    ExpectOneBox(true, "Failure", "Failed to save image.");
    EXPECT_FALSE(fs::exists(dir / "nothing.png"));
}

TEST_F(Workflow, SaveAsOffersTheFixedFiltersAndTheExtensionDecides) {
    WriteFile(dir / "scan.dcm", tinydicom::MakeRamp(16, 16, 3));
    services->answers = {Q(dir / "scan.dcm")};
    Click("btAddPic");
    services->dialogs.clear();

    Child<QComboBox>(window, "comboBoxType")->setCurrentText("jpg");
    services->answers = {Q(dir / "chosen.tif")};
    Click("btCov");
    ASSERT_EQ(services->dialogs.size(), 1u);
    EXPECT_EQ(services->dialogs[0].caption, "Save Image");
    // Starts in the opened file's folder with its base name and the target's extension.
    EXPECT_EQ(services->dialogs[0].dir, Q(dir / "scan.jpg"));
    EXPECT_EQ(services->dialogs[0].filter, kSaveFilters);
    EXPECT_EQ(services->dialogs[0].selectedFilter, "jpg(*.jpg)");
    ExpectOneBox(false, "Success", "Image has been saved.");
    const std::vector<uint8_t> tif = ReadFile(dir / "chosen.tif");
    ASSERT_GE(tif.size(), 4u);
    EXPECT_EQ(std::string(tif.begin(), tif.begin() + 2), "II") << "TIFF, whatever the filter";

    services->answers = {Q(dir / "UPPER.PNG")};
    Click("btCov");
    ExpectOneBox(false, "Success", "Image has been saved.");
    EXPECT_EQ(ReadFile(dir / "UPPER.PNG").at(1), 'P');

    // A typed name without an extension gets the chosen filter's extension.
    services->answers = {Q(dir / "noextension")};
    Click("btCov");
    ExpectOneBox(false, "Success", "Image has been saved.");
    EXPECT_FALSE(fs::exists(dir / "noextension"));
    EXPECT_EQ(ReadFile(dir / "noextension.jpg").at(0), 0xFF);

    services->answers = {Q(dir / "picture.raw")};
    Click("btCov");
    ExpectOneBox(true, "Failure", "Failed to save image.");
    EXPECT_FALSE(fs::exists(dir / "picture.raw"));
}

TEST(SaveNames, ProposedAndCompletedNames) {
    // The filter the user ends on decides a missing extension; a dot only in a folder name
    // is no extension; a name with any extension stays as typed.
    const struct { const char* typed; const char* filter; const char* expected; } cases[] = {
        {"/d/scan", "png(*.png)", "/d/scan.png"},
        {"/d/data.old/scan", "tif(*.tif)", "/d/data.old/scan.tif"},
        {"/d/scan.v2", "png(*.png)", "/d/scan.v2"},
        {"/d/scan", "", "/d/scan.bmp"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Lumaframe::CompletedSavePath(c.typed, c.filter, "bmp"), c.expected) << c.typed;
}

TEST_F(Workflow, SaveAsProposesTheOpenedNameInItsFolder) {
    services->answers = {Q(dir / "x.png")};
    Click("btCov");  // nothing opened: no proposal
    ASSERT_EQ(services->dialogs.size(), 1u);
    EXPECT_EQ(services->dialogs[0].dir, "");
    services->boxes.clear();

    fs::create_directory(dir / "IM.series");
    WriteFile(dir / "IM.series" / "a.b.dcm", tinydicom::MakeRamp(8, 8, 1));
    WriteFile(dir / "IM.series" / "IM0001", tinydicom::MakeRamp(8, 8, 2));
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    for (const auto& [file, proposed] : {std::pair{"a.b.dcm", "a.b.png"}, {"IM0001", "IM0001.png"}}) {
        services->dialogs.clear();
        services->answers = {Q(dir / "IM.series" / file), ""};
        Click("btAddPic");
        Click("btCov");
        ASSERT_EQ(services->dialogs.size(), 2u);
        EXPECT_EQ(services->dialogs[1].dir, Q(dir / "IM.series" / proposed));
    }
}

TEST_F(Workflow, ValidFilesWithoutAPictureAreNamedNotCalledDamaged) {
    // An MPEG-2 file: a valid file whose compression the reader lacks.
    dicomtest::DicomFileBuilder mpeg2("1.2.840.10008.1.2.4.100");
    mpeg2.picture(2, 2, 8, 7);
    std::vector<uint8_t> fragments = dicomtest::DicomFileBuilder::itemTag(0xE000, 0);
    for (uint8_t b : dicomtest::DicomFileBuilder::itemTag(0xE000, 4)) fragments.push_back(b);
    fragments.insert(fragments.end(), 4, 0xAB);
    for (uint8_t b : dicomtest::DicomFileBuilder::itemTag(0xE0DD, 0)) fragments.push_back(b);
    mpeg2.longElement(0x7FE0, 0x0010, "OB", fragments, true);
    WriteFile(dir / "mpeg2.dcm", mpeg2.bytes());
    // An RT plan: a valid file with no picture at all.
    dicomtest::DicomFileBuilder plan;
    plan.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.481.5");
    WriteFile(dir / "plan.dcm", plan.bytes());
    dicomtest::DicomFileBuilder bare;
    bare.picture(2, 3);
    WriteFile(dir / "bare.dcm", bare.bytes());

    dicomtest::DicomFileBuilder twelve;
    twelve.picture(2, 3, 12, 11).pixels16({0, 1, 2, 3, 4, 5});
    WriteFile(dir / "twelve.dcm", twelve.bytes());

    // One table of words, said alike by the window, its batch and the converter.
    const std::pair<const char*, const char*> cases[] = {
        {"bare.dcm", "This file holds no picture."},
        {"mpeg2.dcm", "This file's pixel data is compressed as MPEG-2, which cannot be read yet."},
        {"plan.dcm", "This file holds no picture (RT Plan Storage)."},
        {"twelve.dcm", "This file's picture is stored in a way that cannot be shown yet (12 bits allocated)."},
    };
    const BatchSummary batch = RunFolderBatch(dir.path().string(), (dir / "out").string(), "png", 1);
    ASSERT_EQ(batch.failures.size(), std::size(cases));
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto& [file, message] = cases[i];
        SCOPED_TRACE(file);
        services->answers = {Q(dir / file)};
        Click("btAddPic");
        ExpectOneBox(true, "Failure", message);
        EXPECT_FALSE(window.currentImage().IsValid());
        EXPECT_EQ(batch.failures[i].reason, message);
        convert::Job job{(dir / file).string(), file, (dir / "out" / "x.png").string(), ""};
        EXPECT_EQ(convert::ConvertOne(job, convert::Options{}).text, message);
    }
}

TEST_F(Workflow, TiffOfADicomPictureIsLosslessAndEqualsThePng) {
    // Many grey levels: a lossy TIFF would move some of them.
    std::vector<uint16_t> samples(64 * 48);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>((i * 2654435761u) >> 20);
    WriteFile(dir / "noisy.dcm", tinydicom::Make(64, 48, samples));
    services->answers = {Q(dir / "noisy.dcm"), Q(dir / "out.tif"), Q(dir / "out.png")};
    Click("btAddPic");
    Click("btCov");
    Click("btCov");
    ASSERT_EQ(services->boxes.size(), 2u);
    LfImage tif, png;
    ASSERT_TRUE(tif.Load((dir / "out.tif").c_str(), 6));
    ASSERT_TRUE(png.Load((dir / "out.png").c_str(), 4));
    ASSERT_EQ(tif.Width(), 64u);
    ASSERT_EQ(png.Height(), 48u);
    int differing = 0;
    for (int32_t y = 0; y < 48; ++y)
        for (int32_t x = 0; x < 64; ++x)
            differing += !(tif.PixelColor(x, y, false) == png.PixelColor(x, y, false));
    EXPECT_EQ(differing, 0) << "the TIFF must hold the PNG's pixels exactly";
}

TEST_F(Workflow, FolderChoosersFormatTheChosenFolder) {
    fs::create_directories(dir / "in" / "sub");
    Child<QLineEdit>(window, "txtPicDir")->setText("/start");
    services->answers = {Q(dir / "in" / "sub" / "..")};
    Click("btAddPicDir");
    EXPECT_EQ(Child<QLineEdit>(window, "txtPicDir")->text(), Q(dir / "in") + "/");
    services->answers = {Q(dir / "in" / "sub")};
    Click("btPicResultDir");
    EXPECT_EQ(Child<QLineEdit>(window, "txtResultDir")->text(), Q(dir / "in" / "sub") + "/");
    ASSERT_EQ(services->dialogs.size(), 2u);
    EXPECT_EQ(services->dialogs[0].caption, "Select a picture where the folder");
    EXPECT_EQ(services->dialogs[0].dir, "/start");
    EXPECT_EQ(services->dialogs[1].caption, "Select a folder to save processing results.");
    EXPECT_EQ(services->dialogs[1].dir, Q(dir / "in") + "/") << "starts in the source folder";
    // The save dialog starts in the working directory: the folder chosen last.
    EXPECT_EQ(QDir::currentPath(), Q(dir / "in" / "sub"));
}

TEST_F(Workflow, BatchRefusesFoldersThatCannotBeEntered) {
    fs::create_directory(dir / "in");
    const std::pair<QString, QString> cases[] = {
        {"", Q(dir / "in")},
        {Q(dir / "in"), ""},
        {Q(dir / "missing"), Q(dir / "in")},
    };
    for (const auto& [source, result] : cases) {
        SCOPED_TRACE((source + " -> " + result).toStdString());
        Child<QLineEdit>(window, "txtPicDir")->setText(source);
        Child<QLineEdit>(window, "txtResultDir")->setText(result);
        Click("btCovPics");
        ExpectOneBox(true, "Failure", "Selected directory errors.");
        EXPECT_TRUE(Child(window, "progressBar")->isHidden());
    }
}

// The naming choice reaches the run: the second entry writes the patient / study / series
// tree from each file's attributes, the first the file's own name.
TEST_F(Workflow, BatchNamingChoiceWritesThePatientTree) {
    fs::create_directory(dir / "in");
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0020, "DA", "20240131");
    b.text(0x0010, 0x0020, "LO", "P9");
    b.text(0x0020, 0x0013, "IS", "4");
    b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    WriteFile(dir / "in" / "IM0001", b.bytes());
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "in"));
    for (int choice : {1, 0}) {
        const fs::path out = dir / ("out" + std::to_string(choice));
        Child<QLineEdit>(window, "txtResultDir")->setText(Q(out));
        Child<QComboBox>(window, "comboBoxNaming")->setCurrentIndex(choice);
        Click("btCovPics");
        WaitForBatch();
        services->boxes.clear();
        EXPECT_TRUE(fs::exists(choice == 1 ? out / "P9/20240131_unknown/unknown_unknown/4.png" : out / "IM0001.png"))
            << choice;
    }
}

TEST_F(Workflow, BatchConvertsTheFolderAndAdvancesTheProgressBar) {
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "out");
    WriteFile(dir / "in" / "a.dcm", tinydicom::MakeRamp(12, 6, 1));
    WriteFile(dir / "in" / "b.txt", {1, 2, 3});
    WriteFile(dir / "in" / "c.dcm", tinydicom::MakeRamp(9, 5, 2));
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "in"));
    Child<QLineEdit>(window, "txtResultDir")->setText(Q(dir / "out"));

    // The preview keeps what it showed before the run.
    WriteFile(dir / "shown.dcm", tinydicom::MakeRamp(20, 20, 3));
    services->answers = {Q(dir / "shown.dcm")};
    Click("btAddPic");
    const QImage preview = Child<QLabel>(window, "lbPic")->pixmap().toImage();

    Click("btCovPics");
    WaitForBatch();
    // The end of a run is reported: the count, then each failed file with its reason.
    ASSERT_EQ(services->boxes.size(), 2u);
    EXPECT_EQ(services->boxes[0].warning, false);
    EXPECT_EQ(services->boxes[0].title, "Success");
    EXPECT_EQ(services->boxes[0].text, "Converted 2 of 3 files.");
    EXPECT_EQ(services->boxes[1].warning, true);
    EXPECT_EQ(services->boxes[1].title, "Failure");
    EXPECT_EQ(services->boxes[1].text, "1 files could not be converted.");
    EXPECT_EQ(services->boxes[1].details, "b.txt: not a DICOM file");
    services->boxes.clear();
    auto* bar = Child<QProgressBar>(window, "progressBar");
    EXPECT_FALSE(bar->isHidden());
    EXPECT_EQ(bar->maximum(), 3);
    EXPECT_EQ(bar->value(), 3);
    EXPECT_TRUE(Child(window, "lbProcess")->isHidden());
    EXPECT_TRUE(fs::exists(dir / "out" / "a.png"));
    EXPECT_TRUE(fs::exists(dir / "out" / "c.png"));
    EXPECT_FALSE(fs::exists(dir / "out" / "b.png"));
    EXPECT_EQ(Child<QLabel>(window, "lbPic")->pixmap().toImage(), preview);

    // Save As still writes the picture the user opened, not the batch's last one.
    services->answers = {Q(dir / "after.bmp")};
    Click("btCov");
    ExpectOneBox(false, "Success", "Image has been saved.");
    LfImage saved;
    ASSERT_TRUE(saved.Load((dir / "after.bmp").c_str(), 1));
    EXPECT_EQ(saved.Width(), 20u);
    EXPECT_EQ(saved.Height(), 20u);

    // An empty source folder: range 0..0, nothing written, and the run still says so.
    fs::create_directory(dir / "empty");
    Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "empty"));
    Click("btCovPics");
    WaitForBatch();
    ExpectOneBox(false, "Success", "Converted 0 of 0 files.");
    EXPECT_EQ(bar->maximum(), 0);
}

TEST_F(Workflow, CancelledBatchLeavesOnlyCompleteFilesAndCountsThem) {
    fs::create_directory(dir / "in");
    fs::create_directory(dir / "out");
    constexpr int kFiles = 30;
    for (int i = 0; i < kFiles; ++i)
        WriteFile(dir / "in" / ("f" + std::to_string(100 + i) + ".dcm"), tinydicom::MakeRamp(400, 400, i));
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "in"));
    Child<QLineEdit>(window, "txtResultDir")->setText(Q(dir / "out"));
    auto* button = Child<QAbstractButton>(window, "btCovPics");

    Click("btCovPics");
    EXPECT_TRUE(window.batchRunning()) << "the run goes on while the window answers";
    EXPECT_EQ(button->text(), "Cancel");
    Click("btCovPics");
    WaitForBatch();
    EXPECT_EQ(button->text(), "Batch Generate");
    EXPECT_TRUE(button->isEnabled());

    ASSERT_EQ(services->boxes.size(), 1u) << "a stopped run has no failures";
    int written = 0;
    for (const auto& entry : fs::directory_iterator(dir / "out")) {
        SCOPED_TRACE(entry.path().string());
        EXPECT_EQ(entry.path().extension(), ".png") << "no temporary or partial file";
        LfImage image;
        EXPECT_TRUE(image.Load(entry.path().c_str(), 4));
        EXPECT_EQ(image.Width(), 400u);
        ++written;
    }
    EXPECT_LT(written, kFiles);
    // Never "Success" for a run that did not finish.
    EXPECT_EQ(services->boxes[0].title, "Cancelled");
    EXPECT_EQ(services->boxes[0].text, QStringLiteral("Cancelled after %1 of %2 files.").arg(written).arg(kFiles));
}

// Catches the window and the converter drifting apart: for every target the registry writes,
// the window's Save As of a grey, a colour and a multi-frame file gives the bytes the
// converter gives for `-o NAME.EXT` of the same file (or both refuse), and the window's batch
// writes the converter's files for a folder.
TEST_F(Workflow, SaveAsAndBatchWriteTheConvertersBytes) {
    dicomtest::DicomFileBuilder rgb;
    rgb.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "RGB").us(0x0028, 0x0006, 0);
    rgb.us(0x0028, 0x0010, 2).us(0x0028, 0x0011, 3).us(0x0028, 0x0100, 8).us(0x0028, 0x0101, 8);
    rgb.us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0);
    rgb.pixels8({255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 99, 199, 40, 40, 40, 250, 128, 3});
    dicomtest::DicomFileBuilder frames;
    frames.picture(4, 5, 8, 7).text(0x0028, 0x0008, "IS", "3");
    std::vector<uint8_t> samples(60);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint8_t>(i * 4);
    frames.pixels8(samples);
    fs::create_directories(dir / "in");
    WriteFile(dir / "in" / "grey.dcm", tinydicom::MakeRamp(40, 20, 1));
    WriteFile(dir / "in" / "colour.dcm", rgb.bytes());
    WriteFile(dir / "in" / "frames.dcm", frames.bytes());

    for (const LfFormatInfo& row : LfFormats()) {
        if (!row.writes) continue;
        for (const LfSaveName& name : row.saveExtensions) {
            for (const char* file : {"grey", "colour", "frames"}) {
                SCOPED_TRACE(std::string(file) + "." + name.ext);
                const fs::path input = dir / "in" / (std::string(file) + ".dcm");
                const fs::path fromWindow = dir / "window" / (std::string(file) + "." + name.ext);
                const fs::path fromConverter = dir / "converter" / (std::string(file) + "." + name.ext);
                fs::create_directories(fromWindow.parent_path());
                services->answers = {Q(input), Q(fromWindow)};
                Click("btAddPic");
                Click("btCov");
                ASSERT_EQ(services->boxes.size(), 1u) << services->boxes[0].text.toStdString();
                const bool saved = !services->boxes[0].warning;
                services->boxes.clear();
                const convert::JobResult converted =
                    convert::ConvertOne({input.string(), file, fromConverter.string(), ""}, convert::Options{});
                ASSERT_EQ(saved, converted.ok) << converted.text;
                // Movie containers carry a random segment identifier: their frames must agree.
                if (saved && row.sequenceWriter) {
                    const std::string frames = testsupport::DecodedMovieFrames(fromWindow);
                    EXPECT_FALSE(frames.empty());
                    EXPECT_EQ(frames, testsupport::DecodedMovieFrames(fromConverter));
                } else if (saved) {
                    EXPECT_EQ(ReadFile(fromWindow), ReadFile(fromConverter));
                }
            }
        }
    }

    Child<QComboBox>(window, "comboBoxType")->setCurrentText("tif");
    RunBatchFromIn();
    ExpectOneBox(false, "Success", "Converted 3 of 3 files.");
    convert::Options options;
    options.format = "tif";
    EXPECT_EQ(ExpectTheConvertersFiles(options), (std::vector<std::string>{"colour.tif", "frames.tif", "grey.tif"}));
}

// Catches a batch that runs a whole folder only to fail every file in a format that cannot be
// written: the reason comes when the target is chosen, and the batch does not start.
TEST_F(Workflow, UnwritableTargetsAreRefusedBeforeAnyFileIsRead) {
    fs::create_directory(dir / "in");
    WriteFile(dir / "in" / "scan.dcm", tinydicom::MakeRamp(8, 8, 1));
    auto* types = Child<QComboBox>(window, "comboBoxType");
    const std::pair<const char*, const char*> targets[] = {
        {"wmf", "WMF and EMF files can be read but not written."},
        {"emf", "WMF and EMF files can be read but not written."},
        {"raw", "RAW names no format that can be written."},
    };
    for (const auto& [type, reason] : targets) {
        SCOPED_TRACE(type);
        types->setCurrentText(type);
        emit types->activated(types->currentIndex());
        ExpectOneBox(true, "Failure", reason);
        Child<QLineEdit>(window, "txtPicDir")->setText(Q(dir / "in"));
        Child<QLineEdit>(window, "txtResultDir")->setText(Q(dir / "out"));
        Click("btCovPics");
        EXPECT_FALSE(window.batchRunning());
        ExpectOneBox(true, "Failure", reason);
        EXPECT_FALSE(fs::exists(dir / "out")) << "nothing was started";
    }
    types->setCurrentText("gif");
    emit types->activated(types->currentIndex());
    EXPECT_TRUE(services->boxes.empty()) << "gif is written";
}

// Catches a batch that skips sub-folders, drops frames or grey levels the converter's options
// would keep, and choices forgotten by the next start: the window's batch with every option
// writes the tree `glintwise-convert -r --all-frames --voi minmax --depth 16` writes.
TEST_F(Workflow, BatchOptionsWriteTheConvertersTreeAndAreKept) {
    fs::create_directories(dir / "in" / "sub" / "deeper");
    WriteFile(dir / "in" / "a.dcm", tinydicom::MakeRamp(12, 8, 1));
    WriteFile(dir / "in" / "sub" / "b.dcm", tinydicom::MakeRamp(9, 9, 2));
    dicomtest::DicomFileBuilder frames;
    frames.picture(4, 5, 8, 7).text(0x0028, 0x0008, "IS", "2");
    frames.pixels8(std::vector<uint8_t>(40, 7));
    WriteFile(dir / "in" / "sub" / "deeper" / "c.dcm", frames.bytes());
    window.setConfigPath(Q(dir / "config.lwf"));

    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    Child<QCheckBox>(window, "chkSubFolders")->setChecked(true);
    Child<QCheckBox>(window, "chkBatchAllFrames")->setChecked(true);
    Child<QComboBox>(window, "comboBatchGrey")->setCurrentText("Min-max");
    Child<QCheckBox>(window, "chkBatch16Bit")->setChecked(true);
    RunBatchFromIn();
    ExpectOneBox(false, "Success", "Converted 3 of 3 files.");

    convert::Options options;
    options.recursive = options.allFrames = true;
    options.rendering.mode = VoiMode::MinMax;
    options.rendering.depth = 16;
    options.rendering.overlays = kAllOverlays;
    EXPECT_EQ(ExpectTheConvertersFiles(options),
              (std::vector<std::string>{"a.png", "sub/b.png", "sub/deeper/c_0000.png", "sub/deeper/c_0001.png"}));

    Lumaframe restarted;
    restarted.setConfigPath(Q(dir / "config.lwf"));
    EXPECT_TRUE(Child<QCheckBox>(restarted, "chkSubFolders")->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(restarted, "chkBatchAllFrames")->isChecked());
    EXPECT_TRUE(Child<QCheckBox>(restarted, "chkBatch16Bit")->isChecked());
    EXPECT_EQ(Child<QComboBox>(restarted, "comboBatchGrey")->currentText(), "Min-max");
    EXPECT_EQ(Child<QComboBox>(restarted, "comboBoxType")->currentText(), "png");
}

// Catches the batch's series choice lost on its way to the converter (one GIF a slice instead
// of one loop), and "All frames" left on for movies, where the converter refuses it.
TEST_F(Workflow, BatchSeriesChoiceWritesTheConvertersLoops) {
    fs::create_directories(dir / "in" / "sub");
    for (int i = 1; i <= 3; ++i) {
        dicomtest::DicomFileBuilder slice;
        slice.text(0x0020, 0x000E, "UI", "1.2.826.0.1.7").text(0x0020, 0x0011, "IS", "7");
        slice.text(0x0020, 0x0013, "IS", std::to_string(4 - i).c_str()).picture(6, 5, 8, 7);
        slice.pixels8(std::vector<uint8_t>(30, static_cast<uint8_t>(60 * i)));
        WriteFile(dir / "in" / (i == 3 ? "sub" : "") / ("s" + std::to_string(i) + ".dcm"), slice.bytes());
    }
    auto* series = Child<QCheckBox>(window, "chkBatchSeries");
    auto* allFrames = Child<QCheckBox>(window, "chkBatchAllFrames");
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("png");
    EXPECT_FALSE(series->isEnabled());
    Child<QComboBox>(window, "comboBoxType")->setCurrentText("mp4");
    EXPECT_TRUE(series->isEnabled());
    EXPECT_FALSE(allFrames->isEnabled());
    EXPECT_FALSE(Child<QCheckBox>(window, "chkAllFrames")->isEnabled());

    Child<QComboBox>(window, "comboBoxType")->setCurrentText("gif");
    allFrames->setChecked(true);
    series->setChecked(true);
    EXPECT_FALSE(allFrames->isEnabled()) << "a series' loop has no frames to pick";
    Child<QCheckBox>(window, "chkSubFolders")->setChecked(true);
    RunBatchFromIn();
    ASSERT_EQ(services->boxes.size(), 1u);
    EXPECT_FALSE(services->boxes[0].warning) << services->boxes[0].text.toStdString();

    convert::Options options;
    options.format = "gif";
    options.recursive = options.series = true;
    options.rendering.overlays = kAllOverlays;
    EXPECT_EQ(ExpectTheConvertersFiles(options).size(), 2u)
        << "one loop for the folder's two slices, one for the sub-folder's";
}
