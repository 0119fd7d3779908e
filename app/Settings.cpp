#include "Settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QTranslator>

namespace {
const char kConfigName[] = "config.lwf";

bool UnderFolder(const QString& path, const QString& folder) {
    return path == folder || path.startsWith(folder + QLatin1Char('/'));
}
}  // namespace

bool IsInstalledProgramDir(const QString& programDir) {
    // Symbolic links resolved, so /bin (a link to /usr/bin) counts as the system folder it is.
    const QString path = QFileInfo(programDir).canonicalFilePath();
    if (path.isEmpty()) return false;
    for (const char* prefix : {"/usr", "/opt", "/bin", "/sbin"})
        if (UnderFolder(path, QLatin1String(prefix))) return true;
    // `cmake --install` into any prefix: PREFIX/bin beside PREFIX/share/glintwise.
    const QDir dir(path);
    return dir.dirName() == QLatin1String("bin") &&
           QFileInfo(dir.filePath(QStringLiteral("../share/glintwise"))).isDir();
}

QString ConfigFilePath(const QString& programDir, const QString& userConfigDir) {
    const QFileInfo program(programDir);
    if (program.isDir() && program.isWritable() && !IsInstalledProgramDir(programDir))
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

bool LoadCatalogue(QTranslator& translator, bool chinese) {
    return translator.load(chinese ? QStringLiteral("app_zh") : QStringLiteral("app_en"),
                           QStringLiteral(":/i18n"));
}
