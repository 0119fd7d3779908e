// The main window's widget tree, its chrome (mask, maximise toggle, dragging, double clicks)
// and the preview.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCommandLinkButton>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QTabWidget>

#include "FakeServices.h"
#include "Lumaframe.h"
#include "QFrameEx.h"
#include "QLabelEx.h"
#include "Startup.h"

namespace {

template <class T = QWidget>
T* Child(const QObject& parent, const char* name) {
    T* child = parent.findChild<T*>(QLatin1String(name));
    EXPECT_NE(child, nullptr) << name;
    return child;
}

struct Window {
    Window() {
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        window.setServices(std::move(fake));
    }
    Lumaframe window;
    FakeServices* services;
};

void SendMouse(QWidget* target, QEvent::Type type, QPoint global, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent event(type, QPointF(target->mapFromGlobal(global)), QPointF(global), button,
                      buttons, Qt::NoModifier);
    QApplication::sendEvent(target, &event);
}

// A black 24-bit picture with a red 4 x 4 block in its top-left corner (the image object
// stores the top row last).
void MakeMarkedPicture(LfImage& image, uint32_t width, uint32_t height) {
    image.Create(width, height, 24, 1);
    image.Clear(0);
    for (int32_t y = 0; y < 4; ++y)
        for (int32_t x = 0; x < 4; ++x)
            image.SetPixelColor(x, static_cast<int32_t>(height) - 1 - y, LfRgbQuad{0, 0, 255, 0});
}

}  // namespace

TEST(WindowTree, NamesClassesAndHandPlacedGeometry) {
    Window w;
    const Lumaframe& win = w.window;
    EXPECT_EQ(win.objectName(), "LumaframeClass");
    EXPECT_EQ(win.size(), QSize(760, 600));
    EXPECT_TRUE(win.windowFlags() & Qt::FramelessWindowHint);

    const struct { const char* name; const char* cls; QRect geometry; } placed[] = {
        {"lb_Tb", "QLabel", {10, 8, 24, 24}},
        {"lbTitle", "QLabelEx", {40, 10, 241, 16}},
        {"btnAbout", "QPushButton", {180, 8, 51, 20}},
        {"btnLanguage", "QPushButton", {110, 8, 61, 20}},
        {"btnMinimize", "QPushButton", {10, 0, 21, 20}},
        {"btnMax", "QPushButton", {30, 0, 21, 20}},
        {"btnClose", "QPushButton", {50, 0, 21, 20}},
        {"btCov", "QCommandLinkButton", {40, 140, 141, 41}},
        {"groupBox_6", "QGroupBox", {10, 10, 201, 51}},
        {"lineEdit", "QLineEdit", {10, 20, 121, 20}},
        {"btAddPic", "QPushButton", {140, 20, 51, 22}},
        {"groupBox", "QGroupBox", {10, 70, 201, 51}},
        {"comboBoxType", "QComboBox", {10, 20, 181, 22}},
        {"txtPicDir", "QLineEdit", {10, 40, 141, 20}},
        {"label_18", "QLabel", {10, 20, 71, 21}},
        {"btAddPicDir", "QPushButton", {160, 40, 51, 23}},
        {"label_19", "QLabel", {10, 60, 71, 21}},
        {"txtResultDir", "QLineEdit", {10, 80, 141, 20}},
        {"btPicResultDir", "QPushButton", {160, 80, 51, 23}},
        {"btCovPics", "QCommandLinkButton", {30, 120, 161, 41}},
        {"comboBoxNaming", "QComboBox", {10, 175, 201, 22}},
        {"progressBar", "QProgressBar", {10, 240, 201, 23}},
        {"lbProcess", "QLabel", {10, 210, 201, 16}},
    };
    for (const auto& p : placed) {
        SCOPED_TRACE(p.name);
        QWidget* widget = Child(win, p.name);
        if (!widget) continue;
        EXPECT_STREQ(widget->metaObject()->className(), p.cls);
        EXPECT_EQ(widget->geometry(), p.geometry);
    }
    // Parents of the hand-placed title-bar widgets.
    EXPECT_EQ(Child(win, "lbTitle")->parent(), Child(win, "frame_Title"));
    EXPECT_EQ(Child(win, "btnAbout")->parent(), Child(win, "frame_TopButton"));
    EXPECT_EQ(Child(win, "btnClose")->parent(), Child(win, "frame_Button"));
    EXPECT_EQ(Child(win, "btCov")->parent(), Child(win, "tab_5"));
    EXPECT_EQ(Child(win, "progressBar")->parent(), Child(win, "tab_6"));

    for (const char* name : {"frame_Title", "frame_TopButton", "frame_Button"})
        EXPECT_STREQ(Child(win, name)->metaObject()->className(), "QFrameEx") << name;
    EXPECT_STREQ(Child(win, "label_Top")->metaObject()->className(), "QLabelEx");
    EXPECT_EQ(Child(win, "frame_Title")->minimumSize(), QSize(300, 34));
    EXPECT_EQ(Child(win, "frame_Title")->maximumSize(), QSize(300, 100));
    EXPECT_EQ(Child(win, "frame_TopButton")->minimumSize(), QSize(240, 0));
    EXPECT_EQ(Child(win, "frame_Button")->maximumSize(), QSize(72, 100));
    EXPECT_EQ(Child(win, "label_TR")->minimumSize(), QSize(14, 20));
    EXPECT_EQ(Child(win, "label_BRight")->maximumSize(), QSize(14, 14));
    EXPECT_EQ(Child(win, "label_Bottom")->maximumSize(), QSize(16777215, 14));
    EXPECT_EQ(Child(win, "btnMax")->maximumSize(), QSize(21, 20));

    auto* tabs = Child<QTabWidget>(win, "tabWidget");
    EXPECT_EQ(tabs->currentIndex(), 0);
    EXPECT_EQ(tabs->sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    EXPECT_EQ(tabs->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
    EXPECT_EQ(tabs->minimumSize(), QSize(230, 0));
    EXPECT_EQ(tabs->sizeIncrement(), QSize(300, 0));

    auto* pic = Child<QLabel>(win, "lbPic");
    EXPECT_EQ(static_cast<int>(pic->alignment()), 133);
    EXPECT_EQ(pic->frameShape(), QFrame::StyledPanel);
    EXPECT_EQ(pic->styleSheet(), "border-color: rgb(0, 0, 0);");
    EXPECT_EQ(Child(win, "lbTitle")->styleSheet(), QString::fromUtf8("font: 75 9pt \"宋体\";"));
    EXPECT_TRUE(Child<QPushButton>(win, "btnAbout")->isFlat());

    const QPalette palette = win.palette();
    EXPECT_EQ(palette.color(QPalette::Active, QPalette::Base), QColor(Qt::white));
    EXPECT_EQ(palette.color(QPalette::Active, QPalette::Window), QColor(236, 233, 216));
    EXPECT_EQ(palette.color(QPalette::Disabled, QPalette::Base), QColor(236, 233, 216));
    EXPECT_EQ(palette.color(QPalette::Inactive, QPalette::Shadow), QColor(Qt::white));
}

TEST(WindowTree, TextsHiddenWidgetsAndTargetFormats) {
    Window w;
    const Lumaframe& win = w.window;
    EXPECT_EQ(win.windowTitle(), "Glintwise");
    EXPECT_EQ(Child<QLabel>(win, "lbTitle")->text(), "Dimorvex Version");
    EXPECT_EQ(Child<QLabel>(win, "lb_Tb")->text(), "");
    EXPECT_EQ(Child<QPushButton>(win, "btnAbout")->text(), "About");
    EXPECT_EQ(Child<QPushButton>(win, "btnLanguage")->text(), "English");
    EXPECT_EQ(Child<QCommandLinkButton>(win, "btCov")->text(), "Save As");
    EXPECT_EQ(Child<QGroupBox>(win, "groupBox_6")->title(), "Image Path");
    EXPECT_EQ(Child<QGroupBox>(win, "groupBox")->title(), "Target format");
    EXPECT_EQ(Child<QPushButton>(win, "btAddPic")->text(), "Browse");
    EXPECT_EQ(Child<QLabel>(win, "label_18")->text(), "Image Dir:");
    EXPECT_EQ(Child<QLabel>(win, "label_19")->text(), "Result Dir:");
    EXPECT_EQ(Child<QCommandLinkButton>(win, "btCovPics")->text(), "Batch Generate");
    auto* tabs = Child<QTabWidget>(win, "tabWidget");
    EXPECT_EQ(tabs->tabText(0), "Once one");
    EXPECT_EQ(tabs->tabText(1), "Batch");
    EXPECT_EQ(Child<QAction>(win, "menuAbout")->text(), "About us");
    EXPECT_EQ(Child<QAction>(win, "menuAbout")->iconText(), "About us");
    EXPECT_EQ(Child<QAction>(win, "actionEnglish")->text(), "English");

    EXPECT_TRUE(Child(win, "pushButton")->isHidden());
    EXPECT_TRUE(Child(win, "lbProcess")->isHidden());
    EXPECT_TRUE(Child(win, "progressBar")->isHidden());
    EXPECT_EQ(Child<QProgressBar>(win, "progressBar")->value(), 0);

    auto* types = Child<QComboBox>(win, "comboBoxType");
    QStringList entries;
    for (int i = 0; i < types->count(); ++i) entries << types->itemText(i);
    EXPECT_EQ(entries, QStringList({"bmp", "jpg", "jpeg", "jpe", "png", "tiff", "tif", "tga",
                                    "pcx", "wbmp", "wmf", "emf", "jp2", "j2c", "jpc", "pgx",
                                    "pnm", "pgm", "ppm", "ras", "mng", "jng", "ska", "raw", "gif", "ico", "mp4", "webm"}));
    EXPECT_EQ(types->currentIndex(), 0);
}

TEST(WindowChrome, MaskFollowsTheSizeAndCentringUsesTheWholeDesktop) {
    Window w;
    w.window.show();
    EXPECT_EQ(w.window.mask().boundingRect(), QRect(11, 11, 738, 578));
    EXPECT_EQ(w.window.mask().rectCount(), 1);
    w.window.resize(800, 600);
    EXPECT_EQ(w.window.mask().boundingRect(), QRect(11, 11, 778, 578));

    EXPECT_EQ(CentredPosition(QSize(1920, 1080), QSize(746, 528)), QPoint(587, 276));
    EXPECT_EQ(CentredPosition(QSize(3840, 1080), QSize(746, 528)), QPoint(1547, 276));
    EXPECT_EQ(CentredPosition(QSize(745, 527), QSize(746, 528)), QPoint(0, 0));  // -1/2 is 0
}

TEST(WindowChrome, MaximiseToggleCoversTheAvailableAreaAndRestores) {
    Window w;
    w.window.move(40, 30);
    w.window.show();
    const QRect before = w.window.geometry();
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();

    Child<QPushButton>(w.window, "btnMax")->click();
    EXPECT_TRUE(w.window.isMaximisedByToggle());
    EXPECT_EQ(w.window.pos(), available.topLeft() - QPoint(11, 11));
    EXPECT_EQ(w.window.size(), available.size() + QSize(22, 22));
    EXPECT_EQ(w.window.mask().boundingRect(), QRect(QPoint(11, 11), available.size()));

    // Double clicks on the title bar's frames and labels toggle the same way.
    QMouseEvent click(QEvent::MouseButtonDblClick, QPointF(5, 5), QPointF(5, 5), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(Child(w.window, "label_Top"), &click);
    EXPECT_FALSE(w.window.isMaximisedByToggle());
    EXPECT_EQ(w.window.geometry(), before);
    EXPECT_NE(w.window.minimumSize(), w.window.maximumSize()) << "the window stays resizable";

    for (const char* name : {"frame_Title", "lbTitle", "frame_Button", "frame_TopButton"}) {
        SCOPED_TRACE(name);
        const bool was = w.window.isMaximisedByToggle();
        QApplication::sendEvent(Child(w.window, name), &click);
        EXPECT_NE(w.window.isMaximisedByToggle(), was);
    }
}

TEST(WindowChrome, TitleBarDragsOnlyWhileNotMaximised) {
    Window w;
    w.window.move(100, 100);
    w.window.show();
    const QPoint start = w.window.frameGeometry().topLeft() + QPoint(60, 20);
    SendMouse(&w.window, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    SendMouse(&w.window, QEvent::MouseMove, start + QPoint(30, 15), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(w.window.frameGeometry().topLeft(), QPoint(130, 115));

    // Moves without the left button held do nothing.
    SendMouse(&w.window, QEvent::MouseMove, start + QPoint(90, 90), Qt::NoButton, Qt::NoButton);
    EXPECT_EQ(w.window.frameGeometry().topLeft(), QPoint(130, 115));

    Child<QPushButton>(w.window, "btnMax")->click();
    const QPoint maximised = w.window.pos();
    const QPoint grab = w.window.frameGeometry().topLeft() + QPoint(60, 20);
    SendMouse(&w.window, QEvent::MouseButtonPress, grab, Qt::LeftButton, Qt::LeftButton);
    SendMouse(&w.window, QEvent::MouseMove, grab + QPoint(50, 50), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(w.window.pos(), maximised);

    Child<QPushButton>(w.window, "btnMax")->click();
    const QPoint restored = w.window.frameGeometry().topLeft();
    SendMouse(&w.window, QEvent::MouseButtonPress, restored + QPoint(5, 5), Qt::LeftButton, Qt::LeftButton);
    SendMouse(&w.window, QEvent::MouseMove, restored + QPoint(25, 5), Qt::NoButton, Qt::LeftButton);
    EXPECT_EQ(w.window.frameGeometry().topLeft(), restored + QPoint(20, 0));
}

TEST(WindowChrome, CloseAndMinimiseButtons) {
    Window w;
    w.window.show();
    Child<QPushButton>(w.window, "btnMinimize")->click();
    EXPECT_TRUE(w.window.isMinimized());
    w.window.showNormal();
    Child<QPushButton>(w.window, "btnClose")->click();
    EXPECT_FALSE(w.window.isVisible());
}

TEST(WindowPreview, FitsTheLabelAndShowsTopRowFirstInRgb) {
    Window w;
    w.window.show();
    auto* pic = Child<QLabel>(w.window, "lbPic");
    pic->setFixedSize(402, 302);
    QApplication::processEvents();
    ASSERT_EQ(pic->size(), QSize(402, 302));

    LfImage square;
    MakeMarkedPicture(square, 512, 512);
    w.window.ShowImage(square);
    QImage shown = pic->pixmap().toImage();
    EXPECT_EQ(shown.size(), QSize(300, 300));
    EXPECT_EQ(QColor(shown.pixel(0, 0)), QColor(255, 0, 0)) << "flipped and red/blue swapped";
    EXPECT_EQ(QColor(shown.pixel(0, 299)), QColor(0, 0, 0));
    EXPECT_EQ(square.Width(), 512u) << "the preview never changes the picture";

    LfImage wide;
    MakeMarkedPicture(wide, 1024, 256);
    w.window.ShowImage(wide);
    EXPECT_EQ(pic->pixmap().size(), QSize(400, 100));

    LfImage small;
    MakeMarkedPicture(small, 201, 100);  // an odd width has padded rows; enlarged to fit
    w.window.ShowImage(small);
    shown = pic->pixmap().toImage();
    EXPECT_EQ(shown.size(), QSize(400, 199));
    EXPECT_EQ(QColor(shown.pixel(0, 0)), QColor(255, 0, 0));
    EXPECT_EQ(QColor(shown.pixel(399, 198)), QColor(0, 0, 0));

    LfImage empty;
    w.window.ShowImage(empty);
    EXPECT_TRUE(pic->pixmap().isNull());
}

TEST(WindowPreview, MaximiseBeforeAnyPictureKeepsThePreviewEmpty) {
    Window w;
    w.window.show();
    Child<QPushButton>(w.window, "btnMax")->click();
    EXPECT_TRUE(Child<QLabel>(w.window, "lbPic")->pixmap().isNull());
    Child<QPushButton>(w.window, "btnMax")->click();
    EXPECT_TRUE(Child<QLabel>(w.window, "lbPic")->pixmap().isNull());
}

TEST(WindowAbout, ButtonAndActionRunTheAboutBoxModally) {
    Window w;
    Child<QPushButton>(w.window, "btnAbout")->click();
    Child<QAction>(w.window, "menuAbout")->trigger();
    ASSERT_EQ(w.services->modalClasses.size(), 2u);
    EXPECT_EQ(w.services->modalClasses[0], "aboutClass");
    EXPECT_EQ(w.services->modalTitles[1], "About");
    // The hidden pushButton does nothing at all.
    Child<QPushButton>(w.window, "pushButton")->click();
    EXPECT_TRUE(w.services->boxes.empty());
    EXPECT_TRUE(w.services->dialogs.empty());
}
