// The window among the desktop's things: the Open dialog's listing, the command line, drops,
// keyboard shortcuts and the look wherever the program was started from.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QDropEvent>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTranslator>
#include <QUrl>
#include <filesystem>
#include <sstream>

#include "FakeServices.h"
#include "GreyChoices.h"
#include "Lumaframe.h"
#include "Startup.h"
#include "TestSupport.h"
#include "TinyDicom.h"

using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

struct Window {
    Window() {
        auto fake = std::make_unique<FakeServices>();
        services = fake.get();
        window.setServices(std::move(fake));
    }
    Lumaframe window;
    FakeServices* services;
};

// The names a real (non-native) open dialog lists in `folder` under the first filter.
QStringList ListedNames(const QString& folder, const QString& filter) {
    QFileDialog dialog(nullptr, QString(), folder, filter);
    dialog.setOption(QFileDialog::DontUseNativeDialog);
    auto* model = dialog.findChild<QFileSystemModel*>();
    if (model == nullptr) return {};
    QElapsedTimer timer;
    timer.start();
    const QModelIndex root = model->index(folder);
    while (timer.elapsed() < 5000) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (model->rowCount(root) >= 1) break;  // the .dcm file is listed under either pattern
    }
    for (int i = 0; i < 10; ++i) QApplication::processEvents(QEventLoop::AllEvents, 20);
    QStringList names;
    for (int row = 0; row < model->rowCount(root); ++row)
        names << model->index(row, 0, root).data().toString();
    return names;
}

void Drop(Lumaframe& window, const QString& path) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(path)});
    QDragEnterEvent enter(QPoint(300, 200), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    EXPECT_TRUE(enter.isAccepted()) << "a local file or folder is welcome";
    QDropEvent drop(QPointF(300, 200), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
}

QAction* ShortcutAction(Lumaframe& window, const QKeySequence& keys) {
    for (QAction* action : window.actions())
        if (action->shortcut() == keys) return action;
    return nullptr;
}

}  // namespace

TEST(OpenDialog, FilesWithoutAnExtensionAreListed) {
    TempDir dir;
    WriteFile(dir / "IM0001", tinydicom::MakeRamp(4, 4, 1));
    WriteFile(dir / "b.dcm", tinydicom::MakeRamp(4, 4, 2));
    Window w;
    w.services->answers = {""};
    w.window.on_btAddPic_clicked();
    ASSERT_EQ(w.services->dialogs.size(), 1u);
    const QStringList listed = ListedNames(Q(dir.path()), w.services->dialogs[0].filter);
    EXPECT_TRUE(listed.contains("IM0001")) << listed.join(", ").toStdString();
    EXPECT_TRUE(listed.contains("b.dcm"));
    // The pattern "*.*" would hide the scanner's usual names here.
    EXPECT_FALSE(ListedNames(Q(dir.path()), "All files(*.*)").contains("IM0001"));
}

TEST(CommandLine, FileArgumentOpensAndTheRestartsEmptyArgumentIsIgnored) {
    EXPECT_EQ(StartupFile({"glintwise"}), "");
    EXPECT_EQ(StartupFile({"glintwise", ""}), "") << "the language toggle restarts with \"\"";
    EXPECT_EQ(StartupFile({"glintwise", "", "/data/IM0001"}), "/data/IM0001");

    TempDir dir;
    WriteFile(dir / "IM0001", tinydicom::MakeRamp(12, 7, 1));
    Window w;
    OpenStartupFile(w.window, {"glintwise", Q(dir / "IM0001")});
    EXPECT_TRUE(w.services->boxes.empty());
    EXPECT_EQ(w.window.currentImage().Width(), 12u);
    EXPECT_EQ(w.window.findChild<QLineEdit*>("lineEdit")->text(), Q(dir / "IM0001"));

    Window restarted;
    OpenStartupFile(restarted.window, {"glintwise", ""});
    EXPECT_TRUE(restarted.services->boxes.empty()) << "no warning about an empty path";
    EXPECT_TRUE(restarted.services->dialogs.empty());
}

TEST(CommandLine, HelpAndVersionPrintWithoutAWindow) {
    for (const char* option : {"--help", "-h", "--version"}) {
        std::ostringstream out;
        EXPECT_EQ(HandleInfoOption({"glintwise", option}, out), 0) << option;
        EXPECT_FALSE(out.str().empty());
    }
    std::ostringstream version;
    HandleInfoOption({"glintwise", "--version"}, version);
    EXPECT_EQ(version.str().rfind("glintwise ", 0), 0u);
    std::ostringstream none;
    EXPECT_FALSE(HandleInfoOption({"glintwise", "scan.dcm"}, none).has_value());
    EXPECT_TRUE(none.str().empty());
}

TEST(Drops, FileOpensAndFolderFillsTheBatchSource) {
    TempDir dir;
    WriteFile(dir / "scan.dcm", tinydicom::MakeRamp(10, 6, 1));
    fs::create_directory(dir / "series");
    const QString cwd = QDir::currentPath();
    Window w;
    Drop(w.window, Q(dir / "scan.dcm"));
    EXPECT_EQ(w.window.currentImage().Width(), 10u);
    EXPECT_FALSE(w.window.findChild<QLabel*>("lbPic")->pixmap().isNull());

    Drop(w.window, Q(dir / "series"));
    EXPECT_EQ(w.window.findChild<QLineEdit*>("txtPicDir")->text(), Q(dir / "series") + "/");
    EXPECT_EQ(w.window.findChild<QTabWidget*>("tabWidget")->currentIndex(), 1);
    EXPECT_EQ(w.window.currentImage().Width(), 10u) << "a folder is not opened as a picture";
    QDir::setCurrent(cwd);
}

TEST(Shortcuts, OpenSaveQuitAndAbout) {
    Window w;
    w.window.show();
    ASSERT_NE(ShortcutAction(w.window, QKeySequence("Ctrl+O")), nullptr);
    ShortcutAction(w.window, QKeySequence("Ctrl+O"))->trigger();
    ShortcutAction(w.window, QKeySequence("Ctrl+S"))->trigger();
    ASSERT_EQ(w.services->dialogs.size(), 2u);
    EXPECT_EQ(w.services->dialogs[0].caption, "Load Dicom Picture");
    EXPECT_EQ(w.services->dialogs[1].caption, "Save Image");
    ShortcutAction(w.window, QKeySequence(Qt::Key_F1))->trigger();
    EXPECT_EQ(w.services->modalClasses, std::vector<QString>{"aboutClass"});
    ShortcutAction(w.window, QKeySequence("Ctrl+Q"))->trigger();
    EXPECT_FALSE(w.window.isVisible());
}

TEST(Look, FoundStyleFolderElseTheCompiledInStyle) {
    TempDir dir;
    fs::create_directory(dir / "empty");
    fs::create_directory(dir / "data");
    WriteFile(dir / "data" / "bg.bmp", {'/', '*', '*', '/'});
    EXPECT_EQ(FindStyleFolder({Q(dir / "empty"), Q(dir / "data")}), Q(dir / "data"));
    EXPECT_EQ(FindStyleFolder({Q(dir / "empty"), Q(dir / "missing")}), ":/style");

    // The compiled-in sheet names its pictures in the resources, and every one exists.
    QFile file(":/style/bg.bmp");
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const QString sheet = StyleSheetText(file.readAll(), ":/style");
    const QRegularExpression url(R"(url\(([^)]*)\))");
    int pictures = 0;
    for (auto match = url.globalMatch(sheet); match.hasNext(); ++pictures) {
        const QString name = match.next().captured(1);
        EXPECT_TRUE(name.startsWith(":/style/images/")) << name.toStdString();
        EXPECT_TRUE(QFile::exists(name)) << name.toStdString();
    }
    EXPECT_GT(pictures, 0);

    // No bg.bmp lies beside the test program: the window takes the compiled-in style.
    ASSERT_FALSE(QFile::exists(QCoreApplication::applicationDirPath() + "/bg.bmp"));
    Window w;
    EXPECT_TRUE(qApp->styleSheet().contains(":/style/images/close.png"));
    qApp->setStyleSheet(QString());
}

// Every text the window passes through tr(), and the refusal words it translates, must be in
// both catalogues; catches a new text that shows in English under the Chinese interface.
TEST(Catalogue, EveryWindowTextIsInBothCatalogues) {
    std::vector<std::pair<const char*, QString>> texts;  // context, source text
    const QRegularExpression call(QStringLiteral(R"re(\btr\("((?:[^"\\]|\\.)*)"\))re"));
    for (const auto& [source, context] : {std::pair{"app/Lumaframe.cpp", "Lumaframe"}, std::pair{"app/about.cpp", "about"}}) {
        QFile file(QString::fromStdString((testsupport::SourceDir() / source).string()));
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << source;
        const QString code = QString::fromUtf8(file.readAll());
        for (auto match = call.globalMatch(code); match.hasNext();)
            texts.emplace_back(context, match.next().captured(1).replace(QStringLiteral("\\\""), QStringLiteral("\"")));
    }
    EXPECT_GT(texts.size(), 30u);
    for (const char* refusal : {"This file's pixel data is compressed as %1, which cannot be read yet.",
                                "This file's data is encoded as %1, which cannot be read yet.",
                                "This file holds no picture (%1).", "This file holds no picture.",
                                "This file's picture is stored in a way that cannot be shown yet (%1).",
                                "This file cannot be opened (%1).",
                                "The grey levels asked for cannot be applied to this file (%1)."})
        texts.emplace_back("Lumaframe", refusal);
    for (const CtPreset& preset : CtPresets()) texts.emplace_back("Lumaframe", preset.name);
    for (bool chinese : {false, true}) {
        QTranslator catalogue;
        ASSERT_TRUE(LoadCatalogue(catalogue, chinese));
        for (const auto& [context, text] : texts) {
            const QByteArray source = text.toUtf8();
            const QString translated = catalogue.translate(context, source.constData());
            EXPECT_FALSE(translated.isEmpty()) << text.toStdString() << " is missing (chinese " << chinese << ")";
            EXPECT_EQ(translated.count("%"), text.count("%")) << text.toStdString();
        }
    }
}
