#include "Startup.h"

#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QIcon>
#include <QLocale>
#include <QScreen>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>

#include "Lumaframe.h"

namespace {
const char kConfigName[] = "config.lwf";
}

QString ConfigFilePath(const QString& programDir, const QString& userConfigDir) {
    const QFileInfo program(programDir);
    if (program.isDir() && program.isWritable())
        return QDir(programDir).filePath(QLatin1String(kConfigName));
    QDir().mkpath(userConfigDir);
    return QDir(userConfigDir).filePath(QLatin1String(kConfigName));
}

QString ConfigFilePath() {
    return ConfigFilePath(QCoreApplication::applicationDirPath(),
                          QStandardPaths::writableLocation(QStandardPaths::AppConfigLocation));
}

LanguageChoice ResolveLanguage(const QString& stored, const QString& localeName) {
    if (stored == QLatin1String("NULL")) {
        if (localeName == QLatin1String("zh_CN")) return {QStringLiteral("zh_CN"), true};
        return {stored, false};
    }
    return {stored, stored == QLatin1String("zh_CN")};
}

LanguageChoice ReadLanguage(const QString& configPath, const QString& localeName) {
    const QSettings settings(configPath, QSettings::IniFormat);
    return ResolveLanguage(settings.value(QStringLiteral("language")).toString(), localeName);
}

QString ToggledLanguage(const QString& current) {
    return current == QLatin1String("zh_CN") ? QStringLiteral("zh_EN") : QStringLiteral("zh_CN");
}

QPoint CentredPosition(const QSize& desktop, const QSize& window) {
    return {(desktop.width() - window.width()) / 2, (desktop.height() - window.height()) / 2};
}

bool LoadCatalogue(QTranslator& translator, bool chinese) {
    return translator.load(chinese ? QStringLiteral("app_zh") : QStringLiteral("app_en"),
                           QStringLiteral(":/i18n"));
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
