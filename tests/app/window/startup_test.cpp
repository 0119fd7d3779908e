// Start-up: the settings file's place, the language table, the toggle and its restart, the
// catalogues, the style sheet text, and the about box.
#include <gtest/gtest.h>

#include <QAction>
#include <QCommandLinkButton>
#include <QCoreApplication>
#include <QFileInfo>
#include <QLabel>
#include <QPushButton>
#include <QSettings>
#include <QTabWidget>
#include <QTranslator>
#include <filesystem>

#include "FakeServices.h"
#include "Lumaframe.h"
#include "Startup.h"
#include "TestSupport.h"
#include "about.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

void WriteConfig(const fs::path& path, const std::string& body) {
    WriteFile(path, std::vector<uint8_t>(body.begin(), body.end()));
}

// Installs a catalogue for the lifetime of the object.
struct Catalogue {
    explicit Catalogue(bool chinese) {
        EXPECT_TRUE(LoadCatalogue(translator, chinese));
        QCoreApplication::installTranslator(&translator);
    }
    ~Catalogue() { QCoreApplication::removeTranslator(&translator); }
    QTranslator translator;
};

}  // namespace

TEST(StartupLanguage, StoredValueAndLocaleDecide) {
    TempDir dir;
    const struct { const char* file; const char* locale; const char* text; bool chinese; } rows[] = {
        {"[General]\nlanguage=zh_CN\n", "en_US", "zh_CN", true},
        {"[General]\nlanguage=zh_EN\n", "zh_CN", "zh_EN", false},
        {"[General]\nlanguage=NULL\n", "zh_CN", "zh_CN", true},
        {"[General]\nlanguage=NULL\n", "zh_TW", "NULL", false},
        {"[General]\nlanguage=NULL\n", "zh", "NULL", false},
        {"[General]\nlanguage=NULL\n", "en_US", "NULL", false},
        {"[General]\nlanguage=zh_cn\n", "zh_CN", "zh_cn", false},  // case matters
        {"[General]\nlanguage=null\n", "zh_CN", "null", false},
        {"[General]\nlanguage=\n", "zh_CN", "", false},
        {"[General]\nother=1\n", "zh_CN", "", false},
        {"not an ini file at all\x01\x02", "zh_CN", "", false},
    };
    int n = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string(row.file) + " / " + row.locale);
        // One file per row: the settings layer caches a file by name, size and time.
        const fs::path config = dir / ("config" + std::to_string(n++) + ".lwf");
        WriteConfig(config, row.file);
        const LanguageChoice choice = ReadLanguage(Q(config), row.locale);
        EXPECT_EQ(choice.text, row.text);
        EXPECT_EQ(choice.chinese, row.chinese);
        EXPECT_EQ(ReadFile(config), std::vector<uint8_t>(row.file, row.file + strlen(row.file)))
            << "reading never rewrites the file";
    }
    const LanguageChoice absent = ReadLanguage(Q(dir / "absent.lwf"), "zh_CN");
    EXPECT_FALSE(absent.chinese);
    EXPECT_FALSE(fs::exists(dir / "absent.lwf"));
}

TEST(StartupConfig, ProgramFolderWhenWritableElseUserFolder) {
    TempDir dir;
    fs::create_directory(dir / "program");
    EXPECT_EQ(ConfigFilePath(Q(dir / "program"), Q(dir / "user")), Q(dir / "program" / "config.lwf"));
    EXPECT_EQ(ConfigFilePath(Q(dir / "gone"), Q(dir / "user" / "glintwise")),
              Q(dir / "user" / "glintwise" / "config.lwf"));
    EXPECT_TRUE(fs::is_directory(dir / "user" / "glintwise")) << "the user folder is created";
    EXPECT_TRUE(QFileInfo(ConfigFilePath()).isAbsolute());
}

// Catches an installed program writing config.lwf into its own folder: as root /usr/bin is
// writable, and a prefix installed by `cmake --install` may be writable by its user.
TEST(StartupConfig, InstalledProgramKeepsItInTheUserFolder) {
    TempDir dir;
    fs::create_directories(dir / "prefix" / "bin");
    fs::create_directories(dir / "prefix" / "share" / "glintwise");
    fs::create_directories(dir / "usr" / "bin");     // a build folder that merely looks like one
    fs::create_directories(dir / "portable" / "bin");  // no share/glintwise beside it
    fs::create_directory_symlink(dir / "prefix" / "bin", dir / "link");
    const struct { fs::path program; bool installed; } rows[] = {
        {"/usr/bin", true},
        {"/usr/local/bin", true},
        {"/opt", true},
        {dir / "prefix" / "bin", true},
        {dir / "link", true},
        {dir / "usr" / "bin", false},
        {dir / "portable" / "bin", false},
        {dir / "prefix", false},
    };
    const QString user = Q(dir / "user");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.program.string());
        EXPECT_EQ(IsInstalledProgramDir(Q(row.program)), row.installed);
        const fs::path expected = (row.installed ? dir / "user" : row.program) / "config.lwf";
        EXPECT_EQ(ConfigFilePath(Q(row.program), user).toStdString(), expected.string());
    }
}

TEST(StartupToggle, WritesTheOtherLanguageRestartsAndCloses) {
    TempDir dir;
    const QString config = Q(dir / "config.lwf");
    // Stored (or resolved) language -> value the toggle writes.
    const std::pair<const char*, const char*> rows[] = {
        {"zh_CN", "zh_EN"}, {"NULL", "zh_CN"}, {"zh_EN", "zh_CN"}, {"", "zh_CN"}, {"zh_cn", "zh_CN"}};
    for (const auto& [current, written] : rows) {
        SCOPED_TRACE(current);
        Lumaframe window;
        auto fake = std::make_unique<FakeServices>();
        FakeServices* services = fake.get();
        window.setServices(std::move(fake));
        window.setConfigPath(config);
        window.setLanguageText(current);
        window.show();
        window.findChild<QPushButton*>("btnLanguage")->click();
        EXPECT_EQ(QSettings(config, QSettings::IniFormat).value("language").toString(), written);
        ASSERT_EQ(services->starts.size(), 1u);
        EXPECT_EQ(services->starts[0].program, QCoreApplication::applicationFilePath());
        EXPECT_EQ(services->starts[0].arguments, QStringList{QString()});
        EXPECT_EQ(services->starts[0].workingDirectory, QCoreApplication::applicationDirPath());
        EXPECT_FALSE(window.isVisible());
    }
}

TEST(StartupToggle, FirstToggleCreatesTheFileInItsGeneralSection) {
    TempDir dir;
    const QString config = Q(dir / "config.lwf");
    LanguageChoice choice = ReadLanguage(config, "en_US");
    {
        Lumaframe window;
        window.setServices(std::make_unique<FakeServices>());
        window.setConfigPath(config);
        window.setLanguageText(choice.text);
        window.findChild<QAction*>("actionEnglish")->trigger();
    }
    const std::vector<uint8_t> bytes = ReadFile(dir / "config.lwf");
    EXPECT_EQ(std::string(bytes.begin(), bytes.end()), "[General]\nlanguage=zh_CN\n");

    // The restarted instance speaks Chinese; its toggle goes back to English.
    choice = ReadLanguage(config, "en_US");
    EXPECT_TRUE(choice.chinese);
    Lumaframe window;
    window.setServices(std::make_unique<FakeServices>());
    window.setConfigPath(config);
    window.setLanguageText(choice.text);
    window.SetLanguage();
    EXPECT_EQ(ReadLanguage(config, "en_US").text, "zh_EN");
}

TEST(StartupCatalogue, ChineseCatalogueTranslatesWindowAndAbout) {
    Catalogue zh(true);
    Lumaframe window;
    EXPECT_EQ(window.findChild<QCommandLinkButton*>("btCov")->text(), QString::fromUtf8("另存为"));
    EXPECT_EQ(window.findChild<QTabWidget*>("tabWidget")->tabText(1), QString::fromUtf8("批量转换"));
    EXPECT_EQ(window.findChild<QPushButton*>("btnLanguage")->text(), "English");

    about box;
    EXPECT_EQ(box.windowTitle(), QString::fromUtf8("关于"));
    EXPECT_EQ(box.findChild<QPushButton*>("pushButton")->text(), QString::fromUtf8("确定"));
    EXPECT_TRUE(box.findChild<QLabel*>("lbUrl")->text().contains(QString::fromUtf8("版权所有")));
    EXPECT_TRUE(box.findChild<QLabel*>("lbEmail")->text().startsWith("Email: <a href=\"mailto:"))
        << "the mail line is never translated";
}

TEST(StartupCatalogue, EnglishCatalogueOffersChineseOnTheToggle) {
    Catalogue en(false);
    Lumaframe window;
    EXPECT_EQ(window.findChild<QPushButton*>("btnLanguage")->text(), QString::fromUtf8("中文"));
    EXPECT_EQ(window.findChild<QCommandLinkButton*>("btCov")->text(), "Save As");
}

TEST(StyleSheet, EveryCurrentPathIsReplaced) {
    const QByteArray file = "QLabel { image: url(%currentPath%/images/a.png); }\n"
                            "QFrame { image: url(%currentPath%/images/a.png); } /* %CurrentPath% */";
    EXPECT_EQ(StyleSheetText(file, "/opt/glintwise"),
              "QLabel { image: url(/opt/glintwise/images/a.png); }\n"
              "QFrame { image: url(/opt/glintwise/images/a.png); } /* %CurrentPath% */");
    EXPECT_EQ(StyleSheetText(QByteArray(), "/x"), "");
    EXPECT_EQ(StyleSheetText(QByteArray("/* \xe5\x9b\xbe */"), "/x"), QString::fromUtf8("/* 图 */"));
}

TEST(AboutBox, LayoutLinksAndClosing) {
    about box;
    EXPECT_EQ(box.objectName(), "aboutClass");
    EXPECT_EQ(box.size(), QSize(371, 104));
    EXPECT_EQ(box.windowFlags() & Qt::WindowType_Mask, Qt::Popup);
    const struct { const char* name; QRect geometry; } placed[] = {
        {"lbTitle", {10, 10, 201, 16}}, {"lbUrl", {10, 30, 181, 21}},
        {"lbUrl_2", {10, 50, 201, 21}}, {"lbEmail", {10, 70, 181, 16}},
        {"pushButton", {280, 70, 75, 23}}};
    for (const auto& p : placed) {
        QWidget* child = box.findChild<QWidget*>(p.name);
        ASSERT_NE(child, nullptr) << p.name;
        EXPECT_EQ(child->geometry(), p.geometry) << p.name;
    }
    EXPECT_EQ(box.findChild<QLabel*>("lbTitle")->text(), "Dimorvex Version");
    for (const char* link : {"lbUrl", "lbUrl_2", "lbEmail"}) {
        auto* label = box.findChild<QLabel*>(link);
        EXPECT_TRUE(label->openExternalLinks()) << link;
        EXPECT_TRUE(label->text().contains("<a href=")) << link;
    }
    EXPECT_TRUE(box.findChild<QLabel*>("lbEmail")->text().contains("mailto:"));

    box.show();
    ASSERT_TRUE(box.isVisible());
    box.findChild<QPushButton*>("pushButton")->click();
    EXPECT_FALSE(box.isVisible());
}
