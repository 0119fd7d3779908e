// Grey levels and frames on the preview: every choice, a right-button drag and every way of
// moving through frames show the picture glintwise-convert writes for the same options.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPushButton>
#include <QRegularExpression>
#include <QSlider>
#include <QSpinBox>
#include <QWheelEvent>
#include <set>
#include <sstream>

#include "DicomFileBuilder.h"
#include "FakeServices.h"
#include "Lumaframe.h"
#include "TestSupport.h"
#include "TinyDicom.h"

using namespace testsupport;

namespace {

// A CT-like file: rescale to Hounsfield units, two windows with explanations, three frames.
std::vector<uint8_t> MakeCt(const char* centres = "40\\500", const char* widths = "400\\2000",
                            const char* intercept = "-1024") {
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0060, "CS", "CT");
    b.picture(12, 16, 16, 11, 0, "MONOCHROME2").text(0x0028, 0x0008, "IS", "3");
    b.text(0x0028, 0x1050, "DS", centres).text(0x0028, 0x1051, "DS", widths);
    b.text(0x0028, 0x1052, "DS", intercept).text(0x0028, 0x1053, "DS", "1");
    b.text(0x0028, 0x1055, "LO", "WINDOW1\\BONE");
    std::vector<uint16_t> samples(3 * 12 * 16);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>((i * 37 + (i / 192) * 500) % 2600);
    b.pixels16(samples);
    return b.bytes();
}

// Runs glintwise-convert with the options, writing to the output path.
void RunConverter(const fs::path& input, const std::string& options, const fs::path& output) {
    const std::string command = ShellQuote(std::string(GLINTWISE_BINARY_DIR) + "/cli/glintwise-convert") + " " +
                                options + " -o " + ShellQuote(output.string()) + " " + ShellQuote(input.string()) +
                                " > /dev/null 2>&1";
    EXPECT_EQ(Run(command), 0) << command;
}

// The 8-bit grey picture glintwise-convert writes for the options, as PGM samples.
std::vector<uint8_t> Converted(const fs::path& input, const std::string& options, const fs::path& folder) {
    const fs::path out = folder / "converted.pgm";
    fs::remove(out);
    RunConverter(input, options, out);
    const std::vector<uint8_t> pgm = ReadFile(out);
    // P5, width, height, maximum, one whitespace byte, then the samples.
    std::istringstream header(std::string(pgm.begin(), pgm.begin() + std::min<size_t>(pgm.size(), 40)));
    std::string magic;
    int width = 0, height = 0, top = 0;
    header >> magic >> width >> height >> top;
    const size_t start = static_cast<size_t>(header.tellg()) + 1;
    if (magic != "P5" || pgm.size() < start) return {};
    return std::vector<uint8_t>(pgm.begin() + static_cast<std::ptrdiff_t>(start), pgm.end());
}

class Levels : public ::testing::Test {
protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        window.setServices(std::move(fake));
        window.show();
        WriteFile(dir / "ct.dcm", MakeCt());
        ASSERT_TRUE(window.OpenDicom(Q(dir / "ct.dcm")));
    }
    QComboBox* list() { return window.findChild<QComboBox*>("comboGrey"); }
    QLabel* preview() { return window.findChild<QLabel*>("lbPic"); }
    void Choose(const QString& label) {
        const int index = list()->findText(label);
        ASSERT_GE(index, 0) << label.toStdString();
        emit list()->activated(index);
    }
    void Send(QEvent&& event) { QApplication::sendEvent(preview(), &event); }
    void ExpectConverted(const std::string& options) {
        EXPECT_EQ(window.currentPicture().bytes, Converted(dir / "ct.dcm", options, dir.path())) << options;
    }

    TempDir dir;
    Lumaframe window;
    FakeServices* services = nullptr;
};

}  // namespace

// Catches a choice rendered otherwise than its converter option (a preset applied before the
// rescale, a file window taken by the wrong index, overlays drawn differently), and a frame
// shown with the first frame's levels.
TEST_F(Levels, EveryChoiceShowsTheConvertersPicture) {
    const std::pair<const char*, const char*> choices[] = {
        {"File", ""},
        {"WINDOW1 (40/400)", "--voi standard --window-index 1"},
        {"BONE (500/2000)", "--voi standard --window-index 2"},
        {"Standard", "--voi standard"},
        {"Min-max", "--voi minmax"},
        {"Full range", "--voi none"},
        {"Brain (40/80)", "--voi=40,80"},
        {"Subdural (75/215)", "--voi=75,215"},
        {"Stroke (40/40)", "--voi=40,40"},
        {"Lung (-600/1500)", "--voi=-600,1500"},
        {"Mediastinum (50/350)", "--voi=50,350"},
        {"Abdomen (40/400)", "--voi=40,400"},
        {"Liver (60/160)", "--voi=60,160"},
        {"Bone (400/1800)", "--voi=400,1800"},
    };
    EXPECT_EQ(list()->count(), static_cast<int>(std::size(choices)));
    window.showFrame(2);
    for (const auto& [label, options] : choices) {
        SCOPED_TRACE(label);
        Choose(label);
        ExpectConverted(std::string(options) + " --frame 2");
    }
    window.findChild<QPushButton*>("btResetGrey")->click();
    EXPECT_EQ(list()->currentText(), "File");
    ExpectConverted("--frame 2");
}

// Catches a drag that changes nothing, a preview that disagrees with the values it shows, and
// a width driven below 1.
TEST_F(Levels, RightDragSetsTheWindowShownOverThePreview) {
    Choose("WINDOW1 (40/400)");
    const QPoint start = preview()->mapToGlobal(QPoint(50, 50));
    const auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
        Send(QMouseEvent(type, QPointF(preview()->mapFromGlobal(at)), QPointF(at), button, held, Qt::NoModifier));
    };
    mouse(QEvent::MouseButtonPress, start, Qt::RightButton, Qt::RightButton);
    mouse(QEvent::MouseMove, start + QPoint(64, -30), Qt::NoButton, Qt::RightButton);
    mouse(QEvent::MouseButtonRelease, start + QPoint(64, -30), Qt::RightButton, Qt::NoButton);
    const QString shown = window.findChild<QLabel*>("lbLevels")->text();
    const QRegularExpressionMatch values = QRegularExpression("C (-?[0-9.]+)  W ([0-9.]+)").match(shown);
    ASSERT_TRUE(values.hasMatch()) << shown.toStdString();
    EXPECT_NE(values.captured(1), "40");
    EXPECT_NE(values.captured(2), "400");
    ExpectConverted("--voi=" + values.captured(1).toStdString() + "," + values.captured(2).toStdString());

    mouse(QEvent::MouseButtonPress, start, Qt::RightButton, Qt::RightButton);
    mouse(QEvent::MouseMove, start + QPoint(-5000, 0), Qt::NoButton, Qt::RightButton);
    EXPECT_TRUE(window.findChild<QLabel*>("lbLevels")->text().contains("W 1\n")) << "the narrowest window is 1";
}

// Catches frame controls that move nothing, run past the last frame, or show another frame
// than the converter's --frame k.
TEST_F(Levels, KeysWheelAndSliderMoveThroughFrames) {
    const auto key = [&](int code) { Send(QKeyEvent(QEvent::KeyPress, code, Qt::NoModifier)); };
    const auto wheel = [&](int delta) {
        Send(QWheelEvent(QPointF(5, 5), QPointF(5, 5), QPoint(), QPoint(0, delta), Qt::NoButton, Qt::NoModifier,
                         Qt::NoScrollPhase, false));
    };
    const std::pair<std::function<void()>, int> moves[] = {
        {[&] { key(Qt::Key_End); }, 2},
        {[&] { key(Qt::Key_Right); }, 2},  // stays on the last frame
        {[&] { wheel(120); }, 1},
        {[&] { key(Qt::Key_Home); }, 0},
        {[&] { wheel(-120); }, 1},
        {[&] { window.findChild<QSlider*>("sliderFrame")->setValue(2); }, 2},
    };
    for (const auto& [move, frame] : moves) {
        move();
        EXPECT_EQ(window.frameShown(), frame);
        EXPECT_TRUE(window.findChild<QLabel*>("lbFrame")->text().startsWith(QString("Frame %1 of 3").arg(frame + 1)));
        ExpectConverted("--frame " + std::to_string(frame));
    }
}

// Catches controls offered where they cannot apply and failures that end in a crash or a blank
// preview: colour pictures, single frames, no usable window, a rescale that is no number.
TEST_F(Levels, ControlsThatDoNotApplyAreDisabled) {
    EXPECT_TRUE(list()->isEnabled());
    EXPECT_TRUE(window.findChild<QSlider*>("sliderFrame")->isEnabled());

    WriteFile(dir / "plain.dcm", tinydicom::MakeRamp(8, 8, 1));  // one frame, no window
    ASSERT_TRUE(window.OpenDicom(Q(dir / "plain.dcm")));
    EXPECT_FALSE(window.findChild<QSlider*>("sliderFrame")->isEnabled());
    EXPECT_EQ(list()->findText("WINDOW1", Qt::MatchStartsWith), -1);

    WriteFile(dir / "zero.dcm", MakeCt("40\\500", "0\\2000"));
    ASSERT_TRUE(window.OpenDicom(Q(dir / "zero.dcm")));
    EXPECT_EQ(list()->findText("WINDOW1", Qt::MatchStartsWith), -1) << "a window of width 0 is not offered";
    EXPECT_GE(list()->findText("BONE", Qt::MatchStartsWith), 0);

    WriteFile(dir / "nan.dcm", MakeCt("40", "400", "NaN"));
    ASSERT_TRUE(window.OpenDicom(Q(dir / "nan.dcm")));
    const std::vector<uint8_t> before = window.currentPicture().bytes;
    Choose("Lung (-600/1500)");
    EXPECT_EQ(window.currentPicture().bytes, before) << "the last picture stays";
    EXPECT_TRUE(window.findChild<QLabel*>("lbLevels")->text().contains("grey levels")) << "the reason is shown";

    dicomtest::DicomFileBuilder rgb;
    rgb.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "RGB").us(0x0028, 0x0006, 0);
    rgb.us(0x0028, 0x0010, 1).us(0x0028, 0x0011, 2).us(0x0028, 0x0100, 8).us(0x0028, 0x0101, 8);
    rgb.us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0).pixels8({255, 0, 0, 0, 0, 255});
    WriteFile(dir / "rgb.dcm", rgb.bytes());
    ASSERT_TRUE(window.OpenDicom(Q(dir / "rgb.dcm")));
    EXPECT_FALSE(list()->isEnabled());
    EXPECT_FALSE(window.findChild<QPushButton*>("btResetGrey")->isEnabled());
}

// Catches a Save As that writes the file's first frame with its own window whatever is shown,
// options that do not reach the file (16 bits, every frame, quality), and names that differ
// from the converter's --all-frames names.
TEST_F(Levels, SaveAsWritesWhatIsShownAsTheConverterDoes) {
    window.showFrame(1);
    const struct {
        const char* grey;  // list entry chosen before saving
        bool deep, allFrames;
        int quality;
        const char* name;
        std::string options;
        std::vector<std::pair<const char*, const char*>> files;  // the window's, the converter's
    } cases[] = {
        {"Lung (-600/1500)", false, false, 90, "lung.png", "--voi=-600,1500 --frame 1", {{"lung.png", "lung.png"}}},
        {"WINDOW1 (40/400)", true, false, 90, "deep.png", "--voi standard --window-index 1 --depth 16 --frame 1", {{"deep.png", "deep.png"}}},
        {"File", true, false, 90, "file16.tif", "--depth 16 --frame 1", {{"file16.tif", "file16.tif"}}},
        // The converter names frames after the input; the window after the name typed.
        {"Min-max", false, true, 90, "all.png", "--voi minmax --all-frames -f png", 
         {{"all_0000.png", "ct_0000.png"}, {"all_0001.png", "ct_0001.png"}, {"all_0002.png", "ct_0002.png"}}},
        {"BONE (500/2000)", false, false, 40, "bone.jpg", "--voi standard --window-index 2 --quality 40 --frame 1", {{"bone.jpg", "bone.jpg"}}},
        // A movie target gives the loop of every frame in the levels shown.
        {"Lung (-600/1500)", false, false, 90, "loop.mp4", "--voi=-600,1500", {{"loop.mp4", "loop.mp4"}}},
        // A GIF too, though frame 1 is shown: the still of one frame is the converter's --frame.
        {"Lung (-600/1500)", false, false, 90, "loop.gif", "--voi=-600,1500", {{"loop.gif", "loop.gif"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Choose(c.grey);
        window.findChild<QComboBox*>("comboBoxType")->setCurrentText(fs::path(c.name).extension().string().substr(1).c_str());
        window.findChild<QCheckBox*>("chk16Bit")->setChecked(c.deep);
        window.findChild<QCheckBox*>("chkAllFrames")->setChecked(c.allFrames);
        window.findChild<QSpinBox*>("spinQuality")->setValue(c.quality);
        services->answers = {Q(dir / "window" / c.name)};
        window.findChild<QAbstractButton*>("btCov")->click();
        ASSERT_EQ(services->boxes.size(), 1u);
        EXPECT_FALSE(services->boxes[0].warning) << services->boxes[0].text.toStdString();
        services->boxes.clear();
        RunConverter(dir / "ct.dcm", c.options, c.allFrames ? dir / "converter" : dir / "converter" / c.name);
        for (const auto& [ours, theirs] : c.files) {
            const std::vector<uint8_t> saved = ReadFile(dir / "window" / ours);
            EXPECT_FALSE(saved.empty()) << ours;
            if (fs::path(ours).extension() == ".mp4") {  // the container differs run to run; the frames must not
                const std::string frames = DecodedMovieFrames(dir / "window" / ours);
                EXPECT_FALSE(frames.empty());
                EXPECT_EQ(frames, DecodedMovieFrames(dir / "converter" / theirs));
            } else {
                EXPECT_EQ(saved, ReadFile(dir / "converter" / theirs)) << ours;
            }
        }
    }
    // The 16-bit PNG holds 16-bit samples (the bit depth byte of its header).
    EXPECT_EQ(ReadFile(dir / "window" / "deep.png").at(24), 16);
}

// Catches the drag's window lost on saving.
TEST_F(Levels, SaveAsAfterADragWritesTheWindowShown) {
    const QPoint start = preview()->mapToGlobal(QPoint(40, 40));
    const auto mouse = [&](QEvent::Type type, QPoint at, Qt::MouseButton button, Qt::MouseButtons held) {
        Send(QMouseEvent(type, QPointF(preview()->mapFromGlobal(at)), QPointF(at), button, held, Qt::NoModifier));
    };
    mouse(QEvent::MouseButtonPress, start, Qt::RightButton, Qt::RightButton);
    mouse(QEvent::MouseMove, start + QPoint(-20, 15), Qt::NoButton, Qt::RightButton);
    mouse(QEvent::MouseButtonRelease, start + QPoint(-20, 15), Qt::RightButton, Qt::NoButton);
    window.showFrame(2);
    const QRegularExpressionMatch values =
        QRegularExpression("C (-?[0-9.]+)  W ([0-9.]+)").match(window.findChild<QLabel*>("lbLevels")->text());
    ASSERT_TRUE(values.hasMatch());
    services->answers = {Q(dir / "dragged.png")};
    window.findChild<QAbstractButton*>("btCov")->click();
    RunConverter(dir / "ct.dcm", "--voi=" + values.captured(1).toStdString() + "," + values.captured(2).toStdString() + " --frame 2",
                 dir / "converted.png");
    EXPECT_EQ(ReadFile(dir / "dragged.png"), ReadFile(dir / "converted.png"));
}

// Catches a play button that shows nothing, runs past the last frame, or cannot be stopped by
// a key or a click elsewhere.
TEST_F(Levels, PlayLoopsTheFramesUntilAKeyOrAClick) {
    auto* play = window.findChild<QPushButton*>("btPlay");
    ASSERT_TRUE(play->isEnabled());
    const auto runFor = [](int ms) {
        QElapsedTimer timer;
        timer.start();
        while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
    };
    std::set<int> seen;
    play->click();  // 10 frames a second: the file names no rate
    EXPECT_TRUE(window.playing());
    EXPECT_EQ(play->text(), "Stop");
    for (int i = 0; i < 12; ++i) {
        runFor(60);
        seen.insert(window.frameShown());
    }
    EXPECT_EQ(seen, (std::set<int>{0, 1, 2})) << "every frame, and round again";
    Send(QKeyEvent(QEvent::KeyPress, Qt::Key_Shift, Qt::NoModifier));
    EXPECT_FALSE(window.playing());
    EXPECT_EQ(play->text(), "Play");

    play->click();
    QMouseEvent click(QEvent::MouseButtonPress, QPointF(3, 3), QPointF(3, 3), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(window.findChild<QWidget*>("comboGrey"), &click);
    EXPECT_FALSE(window.playing()) << "a click elsewhere stops it";

    WriteFile(dir / "one.dcm", tinydicom::MakeRamp(4, 4, 1));
    ASSERT_TRUE(window.OpenDicom(Q(dir / "one.dcm")));
    EXPECT_FALSE(play->isEnabled()) << "one frame: nothing to play";
}
