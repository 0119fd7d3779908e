// The main window: its own title bar and borders (the window is frameless), a control panel
// with a single-picture tab and a batch tab, and the preview. It owns the current image.
#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QString>
#include <memory>
#include <string>

#include "LfImage.h"
#include "WindowServices.h"

namespace Ui {
class LumaframeClass;
}
class DicomReader;
class QStringListModel;

class Lumaframe : public QMainWindow {
    Q_OBJECT
public:
    explicit Lumaframe(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~Lumaframe() override;

    // The resolved UI language ("zh_CN", "NULL" or what the settings held), read by the
    // language toggle.
    void setLanguageText(const QString& language) { language_ = language; }
    const QString& languageText() const { return language_; }
    // The settings file the language toggle writes.
    void setConfigPath(const QString& path) { configPath_ = path; }
    // Replaces the dialogs, message boxes and process start (tests answer them).
    void setServices(std::unique_ptr<WindowServices> services);

    // Opens a DICOM file as the current image and previews it; false (after the warning)
    // when the file gives no picture. The Browse button and the screenshot tool use it.
    bool OpenDicom(const QString& path);
    QString OpenFailureText(const DicomReader& reader, bool frameRead) const;

    LfImage& currentImage() { return current_; }
    bool isMaximisedByToggle() const { return maximised_; }
    Ui::LumaframeClass* ui() const { return ui_.get(); }

    // Save As of the current image; the "Save As" button reaches it.
    void on_btSave_clicked();

public slots:
    void on_btCov_clicked();
    void on_btnLanguage_clicked();
    void on_btnAbout_clicked();
    void on_pushButton_clicked();
    void on_btnMax_clicked();
    void on_btnMinimize_clicked();
    void on_btnClose_clicked();
    void on_btCovPics_clicked();
    void on_btPicResultDir_clicked();
    void on_btAddPicDir_clicked();
    void on_btAddPic_clicked();

    void ShowImage(LfImage& image);
    // The folder made absolute with a trailing '/', and made the working directory (the
    // save dialog starts there). Unchanged when it cannot be resolved.
    QString FormatDir(QString& dir);
    void SetWinStyle();
    void About();
    void SetLanguage();
    bool SaveResultImage(const std::string& path, LfImage& image);
    uint32_t FindType(const std::string& path);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;

private slots:
    void setupTypes();

private:
    std::unique_ptr<Ui::LumaframeClass> ui_;
    std::unique_ptr<WindowServices> services_;
    QStringListModel* typesModel_ = nullptr;
    LfImage current_;
    QString language_;
    QString configPath_;
    bool maximised_ = false;
    QPoint dragOffset_;
    QRect savedGeometry_;
};

// The application style sheet from the bytes of bg.bmp: looked up in the installed
// catalogue like any text, then every "%currentPath%" replaced by the program's folder.
QString StyleSheetText(const QByteArray& fileBytes, const QString& programDir);
