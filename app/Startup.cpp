#include "Startup.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QScreen>
#include <QTranslator>

#include "Lumaframe.h"

QPoint CentredPosition(const QSize& desktop, const QSize& window) {
    return {(desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2};
}

int RunGlintwise(int argc, char** argv) {
    QApplication app(argc, argv);
    app.setWindowIcon(QIcon(QStringLiteral(":/icons/glintwise.png")));

    // One translator: the Chinese catalogue replaces the English one when it loads.
    QTranslator translator;
    LoadCatalogue(translator, false);
    const QString configPath = ConfigFilePath();
    const LanguageChoice language = ReadLanguage(configPath, QLocale::system().name());
    if (language.chinese) LoadCatalogue(translator, true);
    app.installTranslator(&translator);

    Lumaframe window;
    window.setLanguageText(language.text);
    window.setConfigPath(configPath);
    const QRect desktop = QGuiApplication::primaryScreen()->virtualGeometry();
    window.move(CentredPosition(desktop.size(), window.geometry().size()));
    window.show();
    return app.exec();
}
