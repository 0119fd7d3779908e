// Settings and language: where config.lwf lives, which language it chooses, the toggle's
// next value and the compiled-in catalogues. Used by start-up and by the window's toggle.
#pragma once

#include <QString>

// True for a program folder under a system prefix (/usr, /opt, ...) or laid out as an
// installed prefix's bin folder (with share/glintwise beside it); false for a build folder
// or a portable copy.
bool IsInstalledProgramDir(const QString& programDir);

// The settings file config.lwf: in the program's folder when that folder is writable and not
// an installed one, else in the user's configuration folder, so an installed program never
// writes beside itself, not even when run as root. Fixed for the whole run, whatever the
// working directory becomes.
QString ConfigFilePath(const QString& programDir, const QString& userConfigDir);
// The same for this program (its folder, QStandardPaths' AppConfigLocation).
QString ConfigFilePath();

struct LanguageChoice {
    QString text;          // kept by the window for the toggle: "zh_CN", "NULL" or as stored
    bool chinese = false;  // install the Chinese catalogue
};

// "zh_CN" is Chinese; "NULL" follows the system locale (Chinese only for exactly "zh_CN");
// anything else, an absent key included, is English. Comparisons are case-sensitive.
LanguageChoice ResolveLanguage(const QString& stored, const QString& localeName);
// Reads the key `language` of the settings file and resolves it. The file is not written.
LanguageChoice ReadLanguage(const QString& configPath, const QString& localeName);

// The value the language toggle stores: English after Chinese, Chinese after anything else.
QString ToggledLanguage(const QString& current);

class QTranslator;
// Loads the compiled-in English or Chinese catalogue into the translator.
bool LoadCatalogue(QTranslator& translator, bool chinese);
