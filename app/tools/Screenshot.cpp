// Renders the main window into a PNG file, in English or Chinese, for the pictures in docs/
// (scripts/screenshot.sh):
//   glintwise-screenshot en|zh <dicom file> <output.png>
//       the window with the picture open
//   glintwise-screenshot en|zh <dicom file> <output.png> <source folder> <result folder>
//       the same window after a batch over the source folder, with its end box on top
//   glintwise-screenshot en|zh <dicom file> <output.png> --size WxH [--details]
//       [--grey LABEL] [--frame N]
//       the window resized to W x H, with the Details tab shown, a grey-level entry chosen
//       or frame N (from 0) shown when asked
// A batch (the form with two folders) takes sub-folders when SHOT_SUBFOLDERS is set.
#include <QApplication>
#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QScreen>
#include <QTabWidget>
#include <QTranslator>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Lumaframe.h"
#include "Startup.h"

namespace {

// Shows the end-of-batch box without blocking and photographs the screen under the window.
struct BoxShooter : WindowServices {
    Lumaframe* window = nullptr;
    QString output;
    bool saved = false;

    void information(QWidget* parent, const QString& title, const QString& text) override {
        QMessageBox box(QMessageBox::Information, title, text, QMessageBox::Ok, parent);
        box.show();
        QApplication::processEvents();
        // No window manager places it under the virtual server: centre it on the window.
        box.move(window->geometry().center() - QPoint(box.width() / 2, box.height() / 2));
        for (int i = 0; i < 20; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
        const QRect visible = window->mask().boundingRect().translated(window->pos());
        const QPixmap shot = QGuiApplication::primaryScreen()->grabWindow(
            0, visible.x(), visible.y(), visible.width(), visible.height());
        saved = shot.save(output);
    }
    void warningWithDetails(QWidget*, const QString&, const QString&, const QString&) override {}
};

}  // namespace

int main(int argc, char** argv) {
    const bool sized = argc >= 6 && std::strcmp(argv[4], "--size") == 0;
    if (argc != 4 && argc != 6 && !sized) {
        std::fprintf(stderr,
                     "usage: %s en|zh <dicom file> <output.png> [<source folder> <result folder> | --size WxH [--details]]\n",
                     argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    const bool chinese = QString::fromLocal8Bit(argv[1]) == QLatin1String("zh");
    QTranslator translator;
    LoadCatalogue(translator, chinese);
    app.installTranslator(&translator);

    Lumaframe window;
    window.setLanguageText(chinese ? QStringLiteral("zh_CN") : QStringLiteral("zh_EN"));
    window.move(0, 0);
    window.show();
    QApplication::processEvents();
    if (!window.OpenDicom(QString::fromLocal8Bit(argv[2]))) return 1;
    QApplication::processEvents();
    const QString output = QString::fromLocal8Bit(argv[3]);

    if (sized) {
        int width = 0, height = 0;
        if (std::sscanf(argv[5], "%dx%d", &width, &height) != 2) return 2;
        window.resize(width, height);
        for (int i = 6; i < argc; ++i) {
            if (std::strcmp(argv[i], "--details") == 0) {
                window.findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(2);
            } else if (std::strcmp(argv[i], "--grey") == 0 && i + 1 < argc) {
                auto* grey = window.findChild<QComboBox*>(QStringLiteral("comboGrey"));
                const int index = grey->findText(QString::fromLocal8Bit(argv[++i]));
                if (index < 0) return 2;
                emit grey->activated(index);
            } else if (std::strcmp(argv[i], "--frame") == 0 && i + 1 < argc) {
                window.showFrame(std::atoi(argv[++i]));
            }
        }
        for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    } else if (argc == 6) {
        auto shooter = std::make_unique<BoxShooter>();
        BoxShooter* box = shooter.get();
        box->window = &window;
        box->output = output;
        window.setServices(std::move(shooter));
        window.findChild<QTabWidget*>(QStringLiteral("tabWidget"))->setCurrentIndex(1);
        window.findChild<QComboBox*>(QStringLiteral("comboBoxType"))->setCurrentText(QStringLiteral("png"));
        window.findChild<QLineEdit*>(QStringLiteral("txtPicDir"))->setText(QString::fromLocal8Bit(argv[4]));
        window.findChild<QLineEdit*>(QStringLiteral("txtResultDir"))->setText(QString::fromLocal8Bit(argv[5]));
        if (qEnvironmentVariableIsSet("SHOT_SUBFOLDERS"))
            window.findChild<QCheckBox*>(QStringLiteral("chkSubFolders"))->setChecked(true);
        window.findChild<QAbstractButton*>(QStringLiteral("btCovPics"))->click();
        while (window.batchRunning()) QApplication::processEvents(QEventLoop::AllEvents, 20);
        return box->saved ? 0 : 1;
    }

    // Only the part inside the window's mask is ever on screen.
    const QRect visible = window.mask().boundingRect();
    const QPixmap shot = window.grab(visible);
    if (!shot.save(output)) return 1;
    return 0;
}
