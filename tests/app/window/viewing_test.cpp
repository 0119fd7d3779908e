// Looking at a file: the resizable window, the preview fitted both ways, the details panel
// with its privacy switch, the path field, the reasons for files that give no picture and the
// language restart keeping the file.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QImage>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QScreen>
#include <QSettings>
#include <filesystem>

#include "DicomFileBuilder.h"
#include "FakeServices.h"
#include "LfImage.h"
#include "Lumaframe.h"
#include "TestSupport.h"
#include "TinyDicom.h"

using namespace testsupport;

namespace {

class Viewing : public ::testing::Test {
protected:
    void SetUp() override {
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        window.setServices(std::move(fake));
        window.move(0, 0);
        window.show();
    }
    static void PressReturn(QWidget* field) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
        QApplication::sendEvent(field, &press);
    }
    QLabel* preview() { return window.findChild<QLabel*>("lbPic"); }
    // Presses the border and drags it by the offset, as a user's mouse would.
    void DragBorder(const char* name, QPoint offset) {
        auto* border = window.findChild<QWidget*>(name);
        const QPoint start = border->mapToGlobal(border->rect().center());
        const auto send = [&](QEvent::Type type, QPoint global, Qt::MouseButton button, Qt::MouseButtons held) {
            QMouseEvent event(type, QPointF(border->mapFromGlobal(global)), QPointF(global), button, held, Qt::NoModifier);
            QApplication::sendEvent(border, &event);
        };
        send(QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
        send(QEvent::MouseMove, start + offset, Qt::NoButton, Qt::LeftButton);
        send(QEvent::MouseButtonRelease, start + offset, Qt::LeftButton, Qt::NoButton);
        QApplication::processEvents();
    }
    // The preview fills the label's inside along one side and fits along the other.
    void ExpectFitted(const char* state) {
        SCOPED_TRACE(state);
        const QSize shown = preview()->pixmap().size();
        const QSize inside = preview()->size() - QSize(2, 2);
        EXPECT_TRUE(shown.width() == inside.width() || shown.height() == inside.height())
            << shown.width() << "x" << shown.height() << " in " << inside.width() << "x" << inside.height();
        EXPECT_LE(shown.width(), inside.width());
        EXPECT_LE(shown.height(), inside.height());
    }

    TempDir dir;
    Lumaframe window;
    FakeServices* services = nullptr;
};

}  // namespace

// Catches a window that cannot grow, a preview that stays at the picture's size (the 64 px
// MR shown 64 px wide in a maximised window) or is not refitted after a resize, and a 4x
// enlargement smoothed into blur.
TEST_F(Viewing, PreviewFitsSmallAndLargePicturesInEveryWindowSize) {
    WriteFile(dir / "small.dcm", tinydicom::MakeRamp(64, 64, 1));
    WriteFile(dir / "large.dcm", tinydicom::MakeRamp(2048, 2048, 2));
    for (const char* name : {"small.dcm", "large.dcm"}) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(window.OpenDicom(Q(dir / name)));
        ExpectFitted("start");
        const QSize before = window.size();
        DragBorder("label_BRight", QPoint(200, 150));
        EXPECT_EQ(window.size(), before + QSize(200, 150));
        ExpectFitted("resized");
        window.findChild<QPushButton*>("btnMax")->click();
        ExpectFitted("maximised");
        window.findChild<QPushButton*>("btnMax")->click();
        window.resize(before);
        QApplication::processEvents();
    }
    // The 64 px ramp enlarged over 4 times keeps square pixels: neighbours inside one
    // source pixel are equal.
    window.OpenDicom(Q(dir / "small.dcm"));
    const QImage shown = preview()->pixmap().toImage();
    ASSERT_GE(shown.width(), 4 * 64);
    EXPECT_EQ(shown.pixel(0, 0), shown.pixel(shown.width() / 64 - 1, 0));
}

// Catches borders that move the window instead of resizing it, and a window dragged smaller
// than its title bar and panel.
TEST_F(Viewing, BordersResizeTheWindowDownToItsMinimum) {
    const QRect before = window.geometry();
    DragBorder("label_Right", QPoint(120, 0));
    EXPECT_EQ(window.geometry(), before.adjusted(0, 0, 120, 0));
    DragBorder("label_Left", QPoint(-30, 40));
    EXPECT_EQ(window.geometry(), before.adjusted(-30, 0, 120, 0));
    DragBorder("label_Bottom", QPoint(0, -2000));
    EXPECT_EQ(window.height(), window.minimumHeight());
    DragBorder("label_BLeft", QPoint(2000, 0));
    EXPECT_EQ(window.width(), window.minimumWidth());
}

// Catches details missing or mixed up between files, names and IDs shown with the privacy
// switch on, a switch not kept in the settings, and character sets shown as mojibake.
TEST_F(Viewing, DetailsShowTheFilesAttributesAndHideNamesWhenAsked) {
    const fs::path data = PydicomTestFiles();
    GLINTWISE_NEED_PEER(fs::exists(data / "CT_small.dcm"), "pydicom's test files");
    const QString config = Q(dir / "config.lwf");
    window.setConfigPath(config);
    auto* details = window.findChild<QLabel*>("lbDetails");

    ASSERT_TRUE(window.OpenDicom(Q(data / "CT_small.dcm")));
    for (const char* shown : {"CompressedSamples CT1", "1CT1", "2004-01-19", "CT", "rows 128, columns 128"})
        EXPECT_TRUE(details->text().contains(shown)) << shown;
    ASSERT_TRUE(window.OpenDicom(Q(data / "rtdose.dcm")));
    EXPECT_FALSE(details->text().contains("CompressedSamples")) << "the last file's details stay";
    EXPECT_TRUE(details->text().contains("RTDOSE"));
    EXPECT_TRUE(details->text().contains("15 frames"));

    dicomtest::DicomFileBuilder named;
    named.text(0x0008, 0x0005, "CS", "GB18030")
        .text(0x0008, 0x1030, "LO", std::string(4000, 'x'))
        .text(0x0010, 0x0010, "PN", "Wang^XiaoDong=\xcd\xf5^\xd0\xa1\xb6\xab=")
        .text(0x0010, 0x0020, "LO", "")
        .picture(2, 2, 16, 15, 0, "MONOCHROME2")
        .pixels16({1, 2, 3, 4});
    WriteFile(dir / "named.dcm", named.bytes());
    ASSERT_TRUE(window.OpenDicom(Q(dir / "named.dcm")));
    EXPECT_TRUE(details->text().contains(QString::fromUtf8("Wang XiaoDong = 王 小东")));
    EXPECT_FALSE(details->text().contains("Patient ID")) << "an empty value is left out";
    EXPECT_FALSE(details->text().contains(QString(300, 'x'))) << "a long value is cut";

    window.findChild<QCheckBox*>("chkPrivacy")->setChecked(true);
    EXPECT_FALSE(details->text().contains("Wang"));
    EXPECT_TRUE(details->text().contains("hidden"));
    Lumaframe restarted;
    restarted.setConfigPath(config);
    EXPECT_TRUE(restarted.findChild<QCheckBox*>("chkPrivacy")->isChecked());
}

// Catches a typed path that changes the field but not the picture, a field left showing
// another file's name, and Save As proposing the typed name for the opened picture.
TEST_F(Viewing, ImagePathFieldOpensOnEnterAndElseShowsTheOpenedFile) {
    WriteFile(dir / "first.dcm", tinydicom::MakeRamp(30, 10, 1));
    WriteFile(dir / "second.dcm", tinydicom::MakeRamp(12, 24, 2));
    ASSERT_TRUE(window.OpenDicom(Q(dir / "first.dcm")));
    auto* field = window.findChild<QLineEdit*>("lineEdit");

    field->setFocus();
    field->setText(Q(dir / "second.dcm"));
    PressReturn(field);
    EXPECT_EQ(window.currentImage().Width(), 12u);
    EXPECT_EQ(window.openedPath(), Q(dir / "second.dcm"));

    field->setText(Q(dir / "first.dcm"));
    emit field->editingFinished();  // left without Enter
    EXPECT_EQ(field->text(), Q(dir / "second.dcm"));
    EXPECT_EQ(window.currentImage().Width(), 12u);
    EXPECT_EQ(window.ProposedSavePath("png"), Q(dir / "second.png"));

    field->setText(Q(dir / "nothing.dcm"));
    PressReturn(field);
    ASSERT_EQ(services->boxes.size(), 1u);
    EXPECT_EQ(services->boxes[0].text, "This file cannot be opened: no such file.");
    EXPECT_EQ(field->text(), Q(dir / "second.dcm"));
}

// Catches a picture format called a damaged image.
TEST_F(Viewing, PicturesThatAreNotDicomAreNamed) {
    LfImage png;
    png.Create(4, 4, 24, 1);
    ASSERT_TRUE(png.Save((dir / "photo.dcm").c_str(), 4));  // a PNG behind a DICOM name
    EXPECT_FALSE(window.OpenDicom(Q(dir / "photo.dcm")));
    ASSERT_EQ(services->boxes.size(), 1u);
    EXPECT_EQ(services->boxes[0].text, "This is a PNG picture, not a DICOM file.");
}

// Catches a language restart that forgets the opened file or the chosen target format.
TEST_F(Viewing, LanguageRestartKeepsTheFileAndTheFormat) {
    const QString config = Q(dir / "config.lwf");
    window.setConfigPath(config);
    WriteFile(dir / "scan.dcm", tinydicom::MakeRamp(8, 8, 1));
    ASSERT_TRUE(window.OpenDicom(Q(dir / "scan.dcm")));
    window.findChild<QComboBox*>("comboBoxType")->setCurrentText("tiff");
    window.findChild<QPushButton*>("btnLanguage")->click();
    ASSERT_EQ(services->starts.size(), 1u);
    EXPECT_EQ(services->starts[0].arguments, QStringList{Q(dir / "scan.dcm")});

    Lumaframe restarted;
    restarted.setConfigPath(config);
    EXPECT_EQ(restarted.findChild<QComboBox*>("comboBoxType")->currentText(), "tiff");
}
