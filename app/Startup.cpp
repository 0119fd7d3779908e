#include "Startup.h"

#include <QApplication>
#include <QIcon>
#include <QLocale>
#include <QScreen>
#include <QTranslator>

#include <iostream>

#include "Lumaframe.h"

QPoint CentredPosition(const QSize& desktop, const QSize& window) {
    return {(desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2};
}

std::optional<int> HandleInfoOption(const QStringList& arguments, std::ostream& out) {
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments[i];
        if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            out << "Usage: glintwise [FILE]\n"
                   "Opens FILE, a DICOM picture, in the Glintwise window; converts it or a whole\n"
                   "folder of them into common image formats.\n\n"
                   "  -h, --help     show this help and exit\n"
                   "      --version  show the version and exit\n";
            return 0;
        }
        if (argument == QLatin1String("--version")) {
            out << "glintwise " << GLINTWISE_VERSION << "\n";
            return 0;
        }
    }
    return std::nullopt;
}

QString StartupFile(const QStringList& arguments) {
    for (qsizetype i = 1; i < arguments.size(); ++i)
        if (!arguments[i].isEmpty() && !arguments[i].startsWith(QLatin1Char('-')))
            return arguments[i];
    return QString();
}

void OpenStartupFile(Lumaframe& window, const QStringList& arguments) {
    const QString file = StartupFile(arguments);
    if (!file.isEmpty()) window.OpenDicom(file);
}

int RunGlintwise(int argc, char** argv) {
    QStringList arguments;
    for (int i = 0; i < argc; ++i) arguments << QString::fromLocal8Bit(argv[i]);
    if (const std::optional<int> code = HandleInfoOption(arguments, std::cout)) return *code;

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
    OpenStartupFile(window, arguments);
    return app.exec();
}
