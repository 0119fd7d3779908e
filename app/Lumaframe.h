// The main window: its own title bar and borders (the window is frameless), a control panel
// with a single-picture tab and a batch tab, and the preview. It owns the current image.
#pragma once

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPoint>
#include <QRect>
#include <QString>
#include <QVariant>
#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>
#include <utility>

#include "DicomPictures.h"
#include "FileDetails.h"
#include "FolderBatch.h"
#include "GreyChoices.h"
#include "LfImage.h"
#include "WindowServices.h"

namespace Ui {
class LumaframeClass;
}
class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;
class QSpinBox;
class QTimer;
class QStringListModel;
struct PictureFailure;

class Lumaframe : public QMainWindow {
    Q_OBJECT
public:
    explicit Lumaframe(QWidget* parent = nullptr, Qt::WindowFlags flags = {});
    ~Lumaframe() override;

    // The resolved UI language ("zh_CN", "NULL" or what the settings held), read by the
    // language toggle.
    void setLanguageText(const QString& language) { language_ = language; }
    const QString& languageText() const { return language_; }
    // The settings file: the language toggle writes it; the window's choices (target format,
    // privacy switch) are restored from it here and written to it when changed.
    void setConfigPath(const QString& path);
    // Replaces the dialogs, message boxes and process start (tests answer them).
    void setServices(std::unique_ptr<WindowServices> services);

    // Opens a DICOM file as the current image and previews it; false (after the warning)
    // when the file gives no picture. The Browse button and the screenshot tool use it.
    bool OpenDicom(const QString& path);
    // Why the path gave no picture: no such file, not DICOM (naming a picture format it
    // holds), a picture the reader cannot show yet, or damaged.
    QString OpenFailureText(const QString& path, const PictureFailure& failure) const;
    // The file whose picture is shown; empty before the first open.
    const QString& openedPath() const { return openedPath_; }
    // The details panel's text (rich text) for the opened file.
    QString detailsText() const;
    // The picture shown: the frame and grey levels chosen, as the converter renders them.
    const DicomPicture& currentPicture() const { return picture_; }
    int frameShown() const { return frame_; }
    // Shows frame index (from 0) of the opened file, within its frames.
    void showFrame(int index);
    // Plays the frames as a loop at the file's rate, or stops; any key or click also stops.
    void togglePlay();
    bool playing() const;

    // Save As proposes the opened file's folder and base name with the target extension;
    // empty before any file was opened.
    QString ProposedSavePath(const QString& type) const;
    // The typed name, with ".<type of the chosen filter>" added when its last component has
    // no extension.
    static QString CompletedSavePath(const QString& path, const QString& selectedFilter,
                                     const QString& fallbackType);

    // True from the start of a batch until its end boxes were shown.
    bool batchRunning() const { return batchRunning_; }

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
    // Refits the preview when its label changes size; resizes the window from its borders.
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    // A dropped file opens; a dropped folder becomes the batch source.
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;

private slots:
    void setupTypes();

private:
    void addShortcuts();
    void setupResizeBorders();
    bool resizeFromBorder(QWidget* border, QEvent* event);
    void setupDetails();
    void showDetails();
    void openTypedPath();
    void rememberChoice(const QString& key, const QVariant& value);
    void keepChecked(QCheckBox* box, const QString& key);
    void setupGreyAndFrames();
    void setupSaveOptions();
    void setupBatchOptions();
    BatchChoices batchChoices() const;
    void updateSaveOptions();
    void fillGreyChoices();
    void chooseGrey(int index);
    void setCustomWindow(double centre, double width);
    bool renderView();
    void updatePreviewLabels();
    bool dragLevels(QEvent* event);
    bool previewKeyOrWheel(QEvent* event);
    void showBatchProgress(int value, int maximum);
    // Why the target cannot be written ("WMF and EMF files can be read but not written."),
    // empty when it can.
    QString unwritableTargetText(const QString& type) const;
    void finishBatch(const BatchSummary& summary);

    std::unique_ptr<Ui::LumaframeClass> ui_;
    std::unique_ptr<WindowServices> services_;
    QStringListModel* typesModel_ = nullptr;
    DicomPicture picture_;  // what Save As writes, as the converter would
    LfImage current_;       // the same picture as an image, for the preview
    QString language_;
    QString configPath_;
    bool choicesBound_ = false;  // setConfigPath was called: choices are read and written
    std::vector<std::pair<QCheckBox*, QString>> keptBoxes_;  // check boxes kept in the settings
    QString openedPath_;
    FileDetails details_;
    QLabel* detailsView_ = nullptr;
    QCheckBox* privacyBox_ = nullptr;
    // A resize by a border under way: the edges it moves, where it started.
    struct BorderDrag {
        Qt::Edges edges;
        QPoint pressed;
        QRect geometry;
    };
    std::optional<BorderDrag> borderDrag_;
    // Grey levels and frames of the opened file.
    std::vector<GreyChoice> greyChoices_;  // the entries of greyBox_, in order
    GreyChoice greyChoice_;
    int frame_ = 0;
    QString viewProblem_;  // why the last choice could not be shown
    QComboBox* greyBox_ = nullptr;
    QPushButton* resetGrey_ = nullptr;
    QSlider* frameSlider_ = nullptr;
    QLabel* frameLabel_ = nullptr;
    QLabel* levelsLabel_ = nullptr;  // centre, width and frame, over the preview
    QPushButton* playButton_ = nullptr;
    QTimer* playTimer_ = nullptr;
    int playFirst_ = 0, playCount_ = 0;  // the frames played (Start Trim to Stop Trim)
    // Save As beyond the name: quality, 16 bits, every frame.
    QSpinBox* qualityBox_ = nullptr;
    QCheckBox* deepBox_ = nullptr;
    QCheckBox* allFramesBox_ = nullptr;
    QLabel* deepNote_ = nullptr;
    // The batch beyond its folders and format.
    QCheckBox* subFoldersBox_ = nullptr;
    QCheckBox* seriesBox_ = nullptr;
    QCheckBox* batchAllFramesBox_ = nullptr;
    QComboBox* batchGreyBox_ = nullptr;
    QCheckBox* batchDeepBox_ = nullptr;
    QElapsedTimer batchClock_;  // for the time left
    // A right-button drag on the preview: where it started, the window it started from.
    struct LevelDrag {
        QPoint pressed;
        double centre;
        double width;
    };
    std::optional<LevelDrag> levelDrag_;
    bool maximised_ = false;
    QPoint dragOffset_;
    QRect savedGeometry_;
    // The batch runs on its own thread; the current picture stays the one the user opened.
    std::thread batchThread_;
    std::atomic<bool> batchStop_{false};
    bool batchRunning_ = false;
};

// The application style sheet from the bytes of bg.bmp: looked up in the installed
// catalogue like any text, then every "%currentPath%" replaced by the program's folder.
QString StyleSheetText(const QByteArray& fileBytes, const QString& programDir);

// The folders searched for bg.bmp and its pictures, in order: the program's folder, then the
// installed data folder (relative to the program, then the configured install prefix).
QStringList StyleFolders();
// The first of the folders holding a readable bg.bmp; else the style compiled into the
// program (":/style"), so the look never depends on where the program was started from.
QString FindStyleFolder(const QStringList& folders);
