// Renders the main window with a DICOM picture open into a PNG file, in English or Chinese:
//   glintwise-screenshot en|zh <dicom file> <output.png>
// Used by scripts/screenshot.sh for the pictures in docs/.
#include <QApplication>
#include <QPixmap>
#include <QTranslator>
#include <cstdio>

#include "Lumaframe.h"
#include "Startup.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s en|zh <dicom file> <output.png>\n", argv[0]);
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

    // Only the part inside the window's mask is ever on screen.
    const QRect visible = window.mask().boundingRect();
    const QPixmap shot = window.grab(visible);
    if (!shot.save(QString::fromLocal8Bit(argv[3]))) return 1;
    return 0;
}
