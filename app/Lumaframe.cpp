#include "Lumaframe.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QMimeData>
#include <QMouseEvent>
#include <QPixmap>
#include <QProgressBar>
#include <QRegion>
#include <QScreen>
#include <QGroupBox>
#include <QPushButton>
#include <QScrollArea>
#include <QSlider>
#include <QSpinBox>
#include <QTimer>
#include <QWheelEvent>
#include <QSettings>
#include <QStringListModel>
#include <QVBoxLayout>
#include <QWindow>

#include <cmath>

#include "CineTiming.h"
#include "ConvertJob.h"
#include "Conversion.h"
#include "DicomPictures.h"
#include "FileDetails.h"
#include "FolderBatch.h"
#include "GreyChoices.h"
#include "LfFormatRegistry.h"
#include "MovieSaving.h"
#include "OutputNames.h"
#include "PreviewFit.h"
#include "RefusalWords.h"
#include "Settings.h"
#include "about.h"
#include "ui_Lumaframe.h"

namespace {

// Width of the band around the window that the mask cuts away; the same as the outer
// layout's margins, so the mask ends exactly where the drawn borders begin.
constexpr int kMaskBand = 11;

// The least size the window can be resized to: the title bar's frames and the panel fit.
constexpr QSize kMinimumWindowSize(680, 600);

// Longer values (a hostile or broken file) are cut so the details stay readable.
constexpr qsizetype kLongestDetail = 256;

// The geometry a border drag gives: the moved edges follow the cursor, the others stay, and
// the window never gets smaller than its minimum.
QRect DraggedGeometry(Qt::Edges edges, const QRect& start, QPoint moved, const QSize& minimum) {
    QRect g = start;
    if (edges & Qt::LeftEdge) g.setLeft(std::min(start.left() + moved.x(), start.right() + 1 - minimum.width()));
    if (edges & Qt::RightEdge) g.setRight(std::max(start.right() + moved.x(), start.left() - 1 + minimum.width()));
    if (edges & Qt::TopEdge) g.setTop(std::min(start.top() + moved.y(), start.bottom() + 1 - minimum.height()));
    if (edges & Qt::BottomEdge) g.setBottom(std::max(start.bottom() + moved.y(), start.top() - 1 + minimum.height()));
    return g;
}

std::string Narrow(const QString& text) {
    return QFile::encodeName(text).toStdString();
}

// The one local file or folder of a drop, else an empty text.
QString DroppedPath(const QMimeData* mime) {
    if (mime == nullptr || !mime->hasUrls() || mime->urls().size() != 1) return QString();
    const QUrl url = mime->urls().front();
    return url.isLocalFile() ? url.toLocalFile() : QString();
}

// The format of a save filter such as "png(*.png)": the text before the parenthesis.
QString FilterType(const QString& filter) {
    const qsizetype open = filter.indexOf(QLatin1Char('('));
    return (open < 0 ? filter : filter.left(open)).trimmed();
}

QString SaveFilters() {
    QStringList filters;
    for (const std::string& type : LfWindowTargets())
        filters << QStringLiteral("%1(*.%1)").arg(QString::fromStdString(type));
    return filters.join(QLatin1Char('\n'));
}

}  // namespace

QString StyleSheetText(const QByteArray& fileBytes, const QString& programDir) {
    QString sheet = QCoreApplication::translate("Lumaframe", fileBytes.constData());
    sheet.replace(QStringLiteral("%currentPath%"), programDir);
    return sheet;
}

QStringList StyleFolders() {
    const QString programDir = QCoreApplication::applicationDirPath();
    QStringList folders{programDir,
                        QDir::cleanPath(programDir + QStringLiteral("/../share/glintwise"))};
#ifdef GLINTWISE_DATA_DIR
    const QString installed = QStringLiteral(GLINTWISE_DATA_DIR);
    if (!folders.contains(installed)) folders << installed;
#endif
    return folders;
}

QString FindStyleFolder(const QStringList& folders) {
    for (const QString& folder : folders) {
        QFile file(folder + QStringLiteral("/bg.bmp"));
        if (file.open(QIODevice::ReadOnly)) return folder;
    }
    return QStringLiteral(":/style");
}

Lumaframe::Lumaframe(QWidget* parent, Qt::WindowFlags flags)
    : QMainWindow(parent, flags | Qt::FramelessWindowHint),
      ui_(std::make_unique<Ui::LumaframeClass>()),
      services_(std::make_unique<WindowServices>()),
      configPath_(ConfigFilePath()) {
    SetWinStyle();
    ui_->setupUi(this);  // also connects the on_<name>_clicked() slots by name

    ui_->pushButton->hide();
    ui_->lb_Tb->setText(QString());  // the icon spot shows what the style sheet gives it
    ui_->lbProcess->hide();

    connect(ui_->menuAbout, &QAction::triggered, this, &Lumaframe::About);
    connect(ui_->actionEnglish, &QAction::triggered, this, &Lumaframe::SetLanguage);
    connect(ui_->label_Top, &QLabelEx::doubleClicked, this, &Lumaframe::on_btnMax_clicked);
    connect(ui_->frame_Title, &QFrameEx::doubleClicked, this, &Lumaframe::on_btnMax_clicked);
    connect(ui_->lbTitle, &QLabelEx::doubleClicked, this, &Lumaframe::on_btnMax_clicked);
    connect(ui_->frame_Button, &QFrameEx::doubleClicked, this, &Lumaframe::on_btnMax_clicked);
    connect(ui_->frame_TopButton, &QFrameEx::doubleClicked, this, &Lumaframe::on_btnMax_clicked);

    ui_->progressBar->hide();  // shown by the first batch run
    setupTypes();
    addShortcuts();
    setAcceptDrops(true);

    // The preview takes whatever room the window leaves it and is fitted again on every change.
    setMinimumSize(kMinimumWindowSize);
    ui_->lbPic->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
    ui_->lbPic->installEventFilter(this);
    setupResizeBorders();
    setupDetails();
    setupGreyAndFrames();
    setupSaveOptions();
    setupBatchOptions();
    connect(ui_->lineEdit, &QLineEdit::returnPressed, this, &Lumaframe::openTypedPath);
    // Leaving the field without Enter, or a typed path that failed, shows the opened file again.
    connect(ui_->lineEdit, &QLineEdit::editingFinished, this, [this] { ui_->lineEdit->setText(openedPath_); });
    connect(ui_->comboBoxType, &QComboBox::currentTextChanged, this,
            [this](const QString& type) { rememberChoice(QStringLiteral("format"), type); });
    // Chosen by the user (not restored from the settings): a target that cannot be written
    // says so at once.
    connect(ui_->comboBoxType, &QComboBox::activated, this, [this](int) {
        if (const QString why = unwritableTargetText(ui_->comboBoxType->currentText()); !why.isEmpty())
            services_->warning(this, tr("Failure"), why);
    });
}

void Lumaframe::setConfigPath(const QString& path) {
    configPath_ = path;
    const QSettings settings(configPath_, QSettings::IniFormat);
    const int format = ui_->comboBoxType->findText(settings.value(QStringLiteral("format")).toString());
    if (format >= 0) ui_->comboBoxType->setCurrentIndex(format);
    for (const auto& [box, key] : keptBoxes_) box->setChecked(settings.value(key, false).toBool());
    qualityBox_->setValue(settings.value(QStringLiteral("quality"), 90).toInt());
    batchGreyBox_->setCurrentIndex(std::clamp(settings.value(QStringLiteral("batchGrey"), 0).toInt(), 0, batchGreyBox_->count() - 1));
    choicesBound_ = true;
}

// The box's state is written to the settings when it changes and read back by setConfigPath.
void Lumaframe::keepChecked(QCheckBox* box, const QString& key) {
    keptBoxes_.emplace_back(box, key);
    connect(box, &QCheckBox::toggled, this, [this, key](bool on) { rememberChoice(key, on); });
}

void Lumaframe::rememberChoice(const QString& key, const QVariant& value) {
    if (!choicesBound_) return;
    QSettings settings(configPath_, QSettings::IniFormat);
    settings.setValue(key, value);
}

// The side and bottom borders resize the window (the title bar moves it).
void Lumaframe::setupResizeBorders() {
    const struct {
        QWidget* border;
        Qt::Edges edges;
        Qt::CursorShape cursor;
    } borders[] = {
        {ui_->label_Left, Qt::LeftEdge, Qt::SizeHorCursor},
        {ui_->label_Right, Qt::RightEdge, Qt::SizeHorCursor},
        {ui_->label_Bottom, Qt::BottomEdge, Qt::SizeVerCursor},
        {ui_->label_BLeft, Qt::BottomEdge | Qt::LeftEdge, Qt::SizeBDiagCursor},
        {ui_->label_BRight, Qt::BottomEdge | Qt::RightEdge, Qt::SizeFDiagCursor},
    };
    for (const auto& [border, edges, cursor] : borders) {
        border->setCursor(cursor);
        border->setProperty("resizeEdges", static_cast<int>(edges));
        border->installEventFilter(this);
    }
}

bool Lumaframe::eventFilter(QObject* watched, QEvent* event) {
    if (playing() && (event->type() == QEvent::KeyPress || event->type() == QEvent::MouseButtonPress) &&
        watched != playButton_) {
        togglePlay();
        return false;  // the key or click still does what it does
    }
    if (watched == ui_->lbPic) {
        switch (event->type()) {
        case QEvent::Resize: ShowImage(current_); return false;
        case QEvent::MouseButtonPress:
        case QEvent::MouseMove:
        case QEvent::MouseButtonRelease: return dragLevels(event);
        case QEvent::Wheel:
        case QEvent::KeyPress: return previewKeyOrWheel(event);
        default: return false;
        }
    }
    auto* widget = qobject_cast<QWidget*>(watched);
    if (widget != nullptr && widget->property("resizeEdges").isValid()) return resizeFromBorder(widget, event);
    return QMainWindow::eventFilter(watched, event);
}

bool Lumaframe::resizeFromBorder(QWidget* border, QEvent* event) {
    const auto edges = static_cast<Qt::Edges>(border->property("resizeEdges").toInt());
    const auto* mouse = static_cast<QMouseEvent*>(event);
    switch (event->type()) {
    case QEvent::MouseButtonPress:
        if (mouse->button() != Qt::LeftButton || maximised_) return false;
        // The window manager resizes when it can (it knows the screen's edges); else by hand.
        if (windowHandle() != nullptr && windowHandle()->startSystemResize(edges)) return true;
        borderDrag_ = BorderDrag{edges, mouse->globalPosition().toPoint(), geometry()};
        return true;
    case QEvent::MouseMove:
        if (!borderDrag_ || !(mouse->buttons() & Qt::LeftButton)) return false;
        setGeometry(DraggedGeometry(borderDrag_->edges, borderDrag_->geometry,
                                    mouse->globalPosition().toPoint() - borderDrag_->pressed,
                                    minimumSize().expandedTo(minimumSizeHint())));
        return true;
    case QEvent::MouseButtonRelease:
        if (!borderDrag_) return false;
        borderDrag_.reset();
        return true;
    default: return false;
    }
}

// Below Save As: the grey-level list with its reset, and the frame slider; over the preview,
// the centre, width and frame shown.
void Lumaframe::setupGreyAndFrames() {
    auto* levels = new QGroupBox(tr("Grey levels"), ui_->tab_5);
    levels->setObjectName(QStringLiteral("groupGrey"));
    levels->setGeometry(10, 190, 201, 78);
    greyBox_ = new QComboBox(levels);
    greyBox_->setObjectName(QStringLiteral("comboGrey"));
    greyBox_->setGeometry(10, 22, 181, 22);
    resetGrey_ = new QPushButton(tr("Reset"), levels);
    resetGrey_->setObjectName(QStringLiteral("btResetGrey"));
    resetGrey_->setGeometry(10, 50, 71, 22);
    connect(greyBox_, &QComboBox::activated, this, &Lumaframe::chooseGrey);
    connect(resetGrey_, &QPushButton::clicked, this, [this] { chooseGrey(0); });

    auto* frames = new QGroupBox(tr("Frames"), ui_->tab_5);
    frames->setObjectName(QStringLiteral("groupFrames"));
    frames->setGeometry(10, 274, 201, 78);
    frameLabel_ = new QLabel(frames);
    frameLabel_->setObjectName(QStringLiteral("lbFrame"));
    frameLabel_->setGeometry(10, 20, 115, 20);
    playButton_ = new QPushButton(tr("Play"), frames);
    playButton_->setObjectName(QStringLiteral("btPlay"));
    playButton_->setGeometry(130, 18, 61, 22);
    playTimer_ = new QTimer(this);
    playTimer_->setTimerType(Qt::PreciseTimer);
    connect(playTimer_, &QTimer::timeout, this,
            [this] { showFrame(playFirst_ + (frame_ - playFirst_ + 1) % std::max(playCount_, 1)); });
    connect(playButton_, &QPushButton::clicked, this, &Lumaframe::togglePlay);
    playButton_->setEnabled(false);
    frameSlider_ = new QSlider(Qt::Horizontal, frames);
    frameSlider_->setObjectName(QStringLiteral("sliderFrame"));
    frameSlider_->setGeometry(10, 48, 181, 22);
    connect(frameSlider_, &QSlider::valueChanged, this, &Lumaframe::showFrame);
    frameSlider_->setEnabled(false);

    levelsLabel_ = new QLabel(ui_->lbPic);
    levelsLabel_->setObjectName(QStringLiteral("lbLevels"));
    levelsLabel_->setStyleSheet(QStringLiteral("color: white; background: rgba(0, 0, 0, 150); padding: 2px;"));
    levelsLabel_->move(4, 4);
    levelsLabel_->setAttribute(Qt::WA_TransparentForMouseEvents);
    ui_->lbPic->setFocusPolicy(Qt::StrongFocus);

    // PageUp and PageDown step through frames wherever the focus is; Home, End, the arrows and
    // the wheel do on the preview (the fields keep them for their text).
    const std::pair<int, int> steps[] = {{Qt::Key_PageUp, -1}, {Qt::Key_PageDown, 1}};
    for (const auto& [key, step] : steps) {
        auto* action = new QAction(this);
        action->setShortcut(QKeySequence(key));
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, [this, step = step] { showFrame(frame_ + step); });
        addAction(action);
    }
    fillGreyChoices();
}

// Below the frames: what Save As writes beyond the picture shown.
void Lumaframe::setupSaveOptions() {
    auto* group = new QGroupBox(tr("Save options"), ui_->tab_5);
    group->setObjectName(QStringLiteral("groupSave"));
    group->setGeometry(10, 358, 201, 118);
    auto* qualityLabel = new QLabel(tr("Quality"), group);
    qualityLabel->setGeometry(10, 22, 90, 22);
    qualityLabel->setToolTip(tr("JPEG and JPEG 2000"));
    qualityBox_ = new QSpinBox(group);
    qualityBox_->setObjectName(QStringLiteral("spinQuality"));
    qualityBox_->setGeometry(110, 22, 81, 22);
    qualityBox_->setRange(1, 100);
    qualityBox_->setValue(90);
    qualityBox_->setToolTip(tr("JPEG and JPEG 2000"));
    deepBox_ = new QCheckBox(tr("16-bit grey levels"), group);
    deepBox_->setObjectName(QStringLiteral("chk16Bit"));
    deepBox_->setGeometry(10, 48, 181, 20);
    deepNote_ = new QLabel(tr("File: the standard rendering"), group);
    deepNote_->setObjectName(QStringLiteral("lb16BitNote"));
    deepNote_->setGeometry(28, 68, 163, 18);
    allFramesBox_ = new QCheckBox(tr("All frames"), group);
    allFramesBox_->setObjectName(QStringLiteral("chkAllFrames"));
    allFramesBox_->setGeometry(10, 90, 181, 20);
    keepChecked(deepBox_, QStringLiteral("depth16"));
    keepChecked(allFramesBox_, QStringLiteral("allFrames"));
    connect(deepBox_, &QCheckBox::toggled, this, &Lumaframe::updateSaveOptions);
    connect(qualityBox_, &QSpinBox::valueChanged, this, [this](int value) { rememberChoice(QStringLiteral("quality"), value); });
    connect(ui_->comboBoxType, &QComboBox::currentTextChanged, this, &Lumaframe::updateSaveOptions);
    updateSaveOptions();
}

// Below the batch's progress bar: sub-folders, series movies, every frame, grey levels, 16 bits.
void Lumaframe::setupBatchOptions() {
    auto* group = new QGroupBox(tr("Batch options"), ui_->tab_6);
    group->setObjectName(QStringLiteral("groupBatch"));
    group->setGeometry(10, 275, 201, 176);
    subFoldersBox_ = new QCheckBox(tr("Include sub-folders"), group);
    subFoldersBox_->setObjectName(QStringLiteral("chkSubFolders"));
    subFoldersBox_->setGeometry(10, 22, 181, 20);
    seriesBox_ = new QCheckBox(tr("One movie per series"), group);
    seriesBox_->setObjectName(QStringLiteral("chkBatchSeries"));
    seriesBox_->setGeometry(10, 46, 181, 20);
    seriesBox_->setToolTip(tr("MP4, WebM and GIF: the single-frame files of a series make one movie"));
    batchAllFramesBox_ = new QCheckBox(tr("All frames"), group);
    batchAllFramesBox_->setObjectName(QStringLiteral("chkBatchAllFrames"));
    batchAllFramesBox_->setGeometry(10, 70, 181, 20);
    auto* greyLabel = new QLabel(tr("Grey levels"), group);
    greyLabel->setGeometry(10, 94, 181, 18);
    batchGreyBox_ = new QComboBox(group);
    batchGreyBox_->setObjectName(QStringLiteral("comboBatchGrey"));
    batchGreyBox_->setGeometry(10, 114, 181, 22);
    batchGreyBox_->addItems({tr("File"), tr("Standard"), tr("Min-max"), tr("Window shown")});
    batchDeepBox_ = new QCheckBox(tr("16-bit grey levels"), group);
    batchDeepBox_->setObjectName(QStringLiteral("chkBatch16Bit"));
    batchDeepBox_->setGeometry(10, 144, 181, 20);
    keepChecked(subFoldersBox_, QStringLiteral("subFolders"));
    keepChecked(seriesBox_, QStringLiteral("batchSeries"));
    keepChecked(batchAllFramesBox_, QStringLiteral("batchAllFrames"));
    keepChecked(batchDeepBox_, QStringLiteral("batch16"));
    connect(seriesBox_, &QCheckBox::toggled, this, &Lumaframe::updateSaveOptions);
    connect(batchGreyBox_, &QComboBox::currentIndexChanged, this,
            [this](int index) { rememberChoice(QStringLiteral("batchGrey"), index); });
    updateSaveOptions();
}

// The batch's choices as the converter's options: "Window shown" is the centre and width over
// the preview (--voi C,W), or the file's own picture when nothing windowed is shown.
BatchChoices Lumaframe::batchChoices() const {
    BatchChoices choices;
    choices.namePattern = ui_->comboBoxNaming->currentIndex() == 1 ? convert::kPatientStudySeriesPattern : "";
    choices.recursive = subFoldersBox_->isChecked();
    choices.series = seriesBox_->isEnabled() && seriesBox_->isChecked();
    choices.allFrames = batchAllFramesBox_->isEnabled() && batchAllFramesBox_->isChecked();
    choices.quality = qualityBox_->value();
    GreyChoice grey;
    switch (batchGreyBox_->currentIndex()) {
    case 1: grey.kind = GreyChoiceKind::Standard; break;
    case 2: grey.kind = GreyChoiceKind::MinMax; break;
    case 3:
        if (picture_.windowed && picture_.grey())
            grey = {GreyChoiceKind::Window, 0, picture_.windowCentre, picture_.windowWidth};
        break;
    default: break;
    }
    const LfFormatInfo* row = nullptr;
    LfFindSaveName(ui_->comboBoxType->currentText().toStdString(), &row);
    const bool deep = batchDeepBox_->isChecked() && row != nullptr && row->writesGrey16;
    choices.rendering = RenderingFor(grey, deep ? 16 : 8);
    return choices;
}

// 16 bits only where the registry says the target holds them, and for grey pictures; the
// note says what "File" becomes at 16 bits.
void Lumaframe::updateSaveOptions() {
    const LfFormatInfo* row = nullptr;
    LfFindSaveName(ui_->comboBoxType->currentText().toStdString(), &row);
    const bool deepTarget = row != nullptr && row->writesGrey16;
    deepBox_->setEnabled(deepTarget && !details_.colour);
    deepNote_->setVisible(deepBox_->isEnabled() && deepBox_->isChecked() && greyChoice_.kind == GreyChoiceKind::File);
    // A movie takes every frame: "All frames" picks stills, which mp4 and webm do not hold,
    // and a series' movie has no frames to pick.
    const std::string name = "x." + ui_->comboBoxType->currentText().toStdString();
    const bool movie = IsMovieTarget(name);
    allFramesBox_->setEnabled(!movie);
    if (seriesBox_ == nullptr) return;  // the batch's options are made after these
    seriesBox_->setEnabled(movie || IsAnimationTarget(name));
    batchAllFramesBox_->setEnabled(!movie && !(seriesBox_->isEnabled() && seriesBox_->isChecked()));
}

// File, the file's own windows, the standard rendering, min-max, full range, the CT presets.
void Lumaframe::fillGreyChoices() {
    greyChoices_.clear();
    greyBox_->clear();
    const auto add = [this](const QString& label, const GreyChoice& choice) {
        greyChoices_.push_back(choice);
        greyBox_->addItem(label);
    };
    const auto number = [](double value) { return QString::number(value, 'g', 10); };
    add(tr("File"), {});
    const std::vector<VoiWindow>& windows = details_.windows;
    for (size_t i = 0; i < windows.size(); ++i) {
        if (!(windows[i].width >= 1.0) || !std::isfinite(windows[i].centre)) continue;  // not usable
        const QString name = windows[i].explanation.empty() ? tr("Window %1").arg(i + 1)
                                                             : QString::fromStdString(windows[i].explanation);
        add(QStringLiteral("%1 (%2/%3)").arg(name, number(windows[i].centre), number(windows[i].width)),
            {GreyChoiceKind::FileWindow, static_cast<int>(i + 1)});
    }
    add(tr("Standard"), {GreyChoiceKind::Standard});
    add(tr("Min-max"), {GreyChoiceKind::MinMax});
    add(tr("Full range"), {GreyChoiceKind::FullRange});
    for (const CtPreset& preset : CtPresets())
        add(QStringLiteral("%1 (%2/%3)").arg(QCoreApplication::translate("Lumaframe", preset.name),
                                             number(preset.centre), number(preset.width)),
            {GreyChoiceKind::Window, 0, preset.centre, preset.width});
    greyChoice_ = {};
    greyBox_->setCurrentIndex(0);
    // Colour pictures are never windowed.
    const bool grey = !openedPath_.isEmpty() && !details_.colour;
    greyBox_->setEnabled(grey);
    resetGrey_->setEnabled(grey);
    if (deepBox_ != nullptr) updateSaveOptions();
}

void Lumaframe::chooseGrey(int index) {
    if (index < 0 || index >= static_cast<int>(greyChoices_.size())) return;
    greyBox_->setCurrentIndex(index);
    greyChoice_ = greyChoices_[static_cast<size_t>(index)];
    renderView();
    updateSaveOptions();
}

// A window set by hand (the right-button drag) shows as the list's last entry.
void Lumaframe::setCustomWindow(double centre, double width) {
    greyChoice_ = {GreyChoiceKind::Window, 0, centre, width};
    const QString label = tr("Custom (%1/%2)").arg(QString::number(centre, 'g', 10), QString::number(width, 'g', 10));
    if (greyChoices_.size() == static_cast<size_t>(greyBox_->count()) && greyBox_->count() > 0 &&
        greyBox_->itemData(greyBox_->count() - 1).toBool()) {
        greyChoices_.back() = greyChoice_;
        greyBox_->setItemText(greyBox_->count() - 1, label);
    } else {
        greyChoices_.push_back(greyChoice_);
        greyBox_->addItem(label, true);  // marked as the hand-set entry
    }
    greyBox_->setCurrentIndex(greyBox_->count() - 1);
    renderView();
}

void Lumaframe::showFrame(int index) {
    if (openedPath_.isEmpty() || details_.frames < 1) return;
    index = std::clamp(index, 0, details_.frames - 1);
    if (index == frame_ && !picture_.empty()) return;
    frame_ = index;
    if (frameSlider_->value() != index) {
        const QSignalBlocker quiet(frameSlider_);
        frameSlider_->setValue(index);
    }
    renderView();
}

bool Lumaframe::playing() const {
    return playTimer_->isActive();
}

// The loop plays at the rate the movie targets use (Recommended Display Frame Rate, Cine
// Rate, Frame Time, Frame Time Vector, else 10 a second), over Start Trim to Stop Trim.
void Lumaframe::togglePlay() {
    if (playing()) {
        playTimer_->stop();
        qApp->removeEventFilter(this);
        playButton_->setText(tr("Play"));
        return;
    }
    if (openedPath_.isEmpty() || details_.frames < 2) return;
    const CineTiming timing = PlaybackTiming(details_.text, details_.frames);
    playFirst_ = timing.first;
    playCount_ = timing.count > 0 ? timing.count : details_.frames;
    if (frame_ < playFirst_ || frame_ >= playFirst_ + playCount_) showFrame(playFirst_);
    playTimer_->start(std::max(1, static_cast<int>(std::lround(1000.0 / timing.framesPerSecond))));
    playButton_->setText(tr("Stop"));
    qApp->installEventFilter(this);  // any key or click stops the loop
}

// Reads the frame shown with the grey levels chosen, exactly as the converter would for the
// same options; on failure the last picture stays and the reason shows over it.
bool Lumaframe::renderView() {
    DicomPicture picture;
    PictureFailure failure;
    LfImage image;
    if (!ReadDicomPicture(Narrow(openedPath_), frame_, RenderingFor(greyChoice_), true, picture, failure) ||
        !PictureToImage(picture, GreyPixels::OneChannel, image)) {
        viewProblem_ = OpenFailureText(openedPath_, failure);
        updatePreviewLabels();
        return false;
    }
    viewProblem_.clear();
    picture_ = std::move(picture);
    current_.Transfer(image);
    ShowImage(current_);
    updatePreviewLabels();
    return true;
}

void Lumaframe::updatePreviewLabels() {
    const int frames = std::max(details_.frames, 1);
    frameLabel_->setText(tr("Frame %1 of %2").arg(frame_ + 1).arg(frames));
    QStringList lines;
    if (!viewProblem_.isEmpty())
        lines << viewProblem_;
    else if (picture_.windowed && picture_.grey())
        lines << tr("C %1  W %2").arg(QString::number(picture_.windowCentre, 'g', 10), QString::number(picture_.windowWidth, 'g', 10));
    if (frames > 1) lines << tr("Frame %1 of %2").arg(frame_ + 1).arg(frames);
    levelsLabel_->setText(lines.join(QLatin1Char('\n')));
    levelsLabel_->setVisible(!openedPath_.isEmpty() && !lines.isEmpty());
    levelsLabel_->adjustSize();
}

// Right-button drag on the preview, as viewing stations do: right widens the window, down
// raises its centre. The start is the window in force (a stretch as the window spanning it).
bool Lumaframe::dragLevels(QEvent* event) {
    const auto* mouse = static_cast<QMouseEvent*>(event);
    const QPoint at = mouse->globalPosition().toPoint();
    if (event->type() == QEvent::MouseButtonPress && mouse->button() == Qt::RightButton) {
        if (openedPath_.isEmpty() || details_.colour) return true;
        DicomPicture start = picture_;
        if (!start.windowed) {
            PictureFailure failure;
            if (!ReadDicomPicture(Narrow(openedPath_), frame_, RenderingFor({GreyChoiceKind::MinMax}), true, start,
                                  failure) || !start.windowed)
                return true;
        }
        levelDrag_ = LevelDrag{at, start.windowCentre, std::max(start.windowWidth, 1.0)};
        return true;
    }
    if (event->type() == QEvent::MouseMove && levelDrag_ && (mouse->buttons() & Qt::RightButton)) {
        // One pixel of movement is a 256th of the starting width, at least one level.
        const double step = std::max(1.0, levelDrag_->width / 256.0);
        const QPoint moved = at - levelDrag_->pressed;
        setCustomWindow(std::round(levelDrag_->centre + moved.y() * step),
                        std::max(1.0, std::round(levelDrag_->width + moved.x() * step)));
        return true;
    }
    if (event->type() == QEvent::MouseButtonRelease && mouse->button() == Qt::RightButton && levelDrag_) {
        levelDrag_.reset();
        return true;
    }
    return false;
}

bool Lumaframe::previewKeyOrWheel(QEvent* event) {
    if (event->type() == QEvent::Wheel) {
        const int delta = static_cast<QWheelEvent*>(event)->angleDelta().y();
        if (delta != 0) showFrame(frame_ + (delta < 0 ? 1 : -1));
        return true;
    }
    const int key = static_cast<QKeyEvent*>(event)->key();
    const int last = std::max(details_.frames, 1) - 1;
    switch (key) {
    case Qt::Key_Home: showFrame(0); return true;
    case Qt::Key_End: showFrame(last); return true;
    case Qt::Key_Right:
    case Qt::Key_Down: showFrame(frame_ + 1); return true;
    case Qt::Key_Left:
    case Qt::Key_Up: showFrame(frame_ - 1); return true;
    default: return false;
    }
}

// A third tab: what --info says of the opened file, with its patient, study and series.
void Lumaframe::setupDetails() {
    auto* tab = new QWidget();
    tab->setObjectName(QStringLiteral("tab_Details"));
    auto* layout = new QVBoxLayout(tab);
    layout->setContentsMargins(6, 6, 6, 6);
    auto* scroll = new QScrollArea(tab);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    detailsView_ = new QLabel(scroll);
    detailsView_->setObjectName(QStringLiteral("lbDetails"));
    detailsView_->setWordWrap(true);
    detailsView_->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    detailsView_->setTextFormat(Qt::RichText);
    detailsView_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    scroll->setWidget(detailsView_);
    privacyBox_ = new QCheckBox(tr("Hide names and IDs"), tab);
    privacyBox_->setObjectName(QStringLiteral("chkPrivacy"));
    layout->addWidget(scroll);
    layout->addWidget(privacyBox_);
    ui_->tabWidget->addTab(tab, tr("Details"));
    // The panel widens to show all three tabs rather than hiding one behind scroll arrows.
    ui_->tabWidget->setUsesScrollButtons(false);
    keepChecked(privacyBox_, QStringLiteral("privacy"));
    connect(privacyBox_, &QCheckBox::toggled, this, &Lumaframe::showDetails);
    showDetails();
}

QString Lumaframe::detailsText() const {
    if (openedPath_.isEmpty()) return tr("Open a DICOM file to see its details here.");
    QString html;
    const auto add = [&html](const QString& label, QString value) {
        value = value.trimmed();
        if (value.isEmpty()) return;
        if (value.size() > kLongestDetail) value = value.left(kLongestDetail) + QChar(0x2026);
        html += QStringLiteral("<p style=\"margin:0 0 6px 0\"><b>%1</b><br/>%2</p>").arg(label.toHtmlEscaped(), value.toHtmlEscaped());
    };
    const TextAttributes& text = details_.text;
    const auto value = [&text](uint32_t tag) { return QString::fromStdString(text.value(tag)); };
    // Names and IDs are hidden when the screen is shared; the other rows identify no one.
    const bool hide = privacyBox_->isChecked();
    const auto identifying = [&](uint32_t tag, const std::string& shown) {
        if (!text.has(tag) || shown.empty()) return QString();
        return hide ? tr("hidden") : QString::fromStdString(shown);
    };
    add(tr("File name"), QFileInfo(openedPath_).fileName());
    add(tr("Patient name"), identifying(tags::PatientName, PersonNameForDisplay(text.value(tags::PatientName))));
    add(tr("Patient ID"), identifying(tags::PatientId, text.value(tags::PatientId)));
    add(tr("Study date"), QString::fromStdString(DateForDisplay(text.value(tags::StudyDate))));
    add(tr("Study description"), value(tags::StudyDescription));
    add(tr("Series number"), value(tags::SeriesNumber));
    add(tr("Series description"), value(tags::SeriesDescription));
    add(tr("Modality"), value(tags::Modality));
    add(tr("Body part"), value(tags::BodyPartExamined));
    add(tr("Picture"), QString::fromStdString(details_.summary));
    return html;
}

void Lumaframe::showDetails() {
    detailsView_->setText(detailsText());
}

Lumaframe::~Lumaframe() {
    // A run still going ends with the file under way, never leaving it half-written.
    batchStop_ = true;
    if (batchThread_.joinable()) batchThread_.join();
}

void Lumaframe::addShortcuts() {
    const struct {
        QKeySequence keys;
        void (Lumaframe::*slot)();
    } shortcuts[] = {
        {QKeySequence(Qt::CTRL | Qt::Key_O), &Lumaframe::on_btAddPic_clicked},
        {QKeySequence(Qt::CTRL | Qt::Key_S), &Lumaframe::on_btCov_clicked},
        {QKeySequence(Qt::CTRL | Qt::Key_Q), &Lumaframe::on_btnClose_clicked},
        {QKeySequence(Qt::Key_F1), &Lumaframe::About},
    };
    for (const auto& [keys, slot] : shortcuts) {
        auto* action = new QAction(this);
        action->setShortcut(keys);
        action->setShortcutContext(Qt::WindowShortcut);
        connect(action, &QAction::triggered, this, slot);
        addAction(action);
    }
}

void Lumaframe::setServices(std::unique_ptr<WindowServices> services) {
    if (services) services_ = std::move(services);
}

void Lumaframe::setupTypes() {
    QStringList types;
    for (const std::string& type : LfWindowTargets()) types << QString::fromStdString(type);
    typesModel_ = new QStringListModel(types, this);
    ui_->comboBoxType->setModel(typesModel_);
    ui_->comboBoxType->setCurrentIndex(0);
}

void Lumaframe::SetWinStyle() {
    // %currentPath% names the folder where bg.bmp was found, so its pictures come with it.
    const QString folder = FindStyleFolder(StyleFolders());
    QFile file(folder + QStringLiteral("/bg.bmp"));
    QString sheet;
    if (file.open(QIODevice::ReadOnly)) sheet = StyleSheetText(file.readAll(), folder);
    qApp->setStyleSheet(sheet);
}

// ---- window chrome

void Lumaframe::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    setMask(QRegion(kMaskBand, kMaskBand, width() - 2 * kMaskBand, height() - 2 * kMaskBand));
}

void Lumaframe::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        dragOffset_ = event->globalPosition().toPoint() - frameGeometry().topLeft();
    event->accept();
}

void Lumaframe::mouseMoveEvent(QMouseEvent* event) {
    if (maximised_) return;
    if (event->buttons() & Qt::LeftButton) {
        move(event->globalPosition().toPoint() - dragOffset_);
        event->accept();
    }
}

void Lumaframe::dragEnterEvent(QDragEnterEvent* event) {
    if (!DroppedPath(event->mimeData()).isEmpty()) event->acceptProposedAction();
}

void Lumaframe::dropEvent(QDropEvent* event) {
    QString path = DroppedPath(event->mimeData());
    if (path.isEmpty()) return;
    event->acceptProposedAction();
    if (QFileInfo(path).isDir()) {
        ui_->txtPicDir->setText(FormatDir(path));
        ui_->tabWidget->setCurrentWidget(ui_->tab_6);
    } else {
        OpenDicom(path);
    }
}

void Lumaframe::on_btnMax_clicked() {
    if (!maximised_) {
        savedGeometry_ = geometry();
        // Extents of a window-manager frame, if any; 0 for this frameless window.
        const QRect frame = frameGeometry();
        const int side = (frame.width() - geometry().width()) / 2;
        const int top = geometry().y() - frame.y();
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        move(available.x() - kMaskBand - side, available.y() - kMaskBand - top);
        resize(available.width() + side + 2 * kMaskBand, available.height() + 2 * kMaskBand);
        maximised_ = true;
    } else {
        setGeometry(savedGeometry_);
        maximised_ = false;
    }
    ShowImage(current_);
}

void Lumaframe::on_btnMinimize_clicked() {
    showMinimized();
}

void Lumaframe::on_btnClose_clicked() {
    close();
}

void Lumaframe::on_pushButton_clicked() {}

void Lumaframe::on_btnAbout_clicked() {
    About();
}

void Lumaframe::About() {
    about dialog(nullptr);
    services_->runModal(dialog);
}

void Lumaframe::on_btnLanguage_clicked() {
    SetLanguage();
}

void Lumaframe::SetLanguage() {
    QSettings settings(configPath_, QSettings::IniFormat);
    settings.setValue(QStringLiteral("language"), ToggledLanguage(language_));
    settings.sync();
    // The new instance starts in the other language with the same file open (the target
    // format is kept in the settings); this one ends with its window.
    services_->startDetached(QCoreApplication::applicationFilePath(), QStringList{openedPath_},
                             QCoreApplication::applicationDirPath());
    close();
}

// ---- single picture

void Lumaframe::on_btAddPic_clicked() {
    // "*" lists every file: scanners name their files IM0001 and the like, without extension.
    const QString filter = tr("All files") + QStringLiteral("(*)\nDicom(*.dicom *.dcm)");
    const QString path = services_->openFileName(this, tr("Load Dicom Picture"),
                                                 ui_->lineEdit->text(), filter);
    if (path.isEmpty()) return;
    OpenDicom(path);
}

QString Lumaframe::OpenFailureText(const QString& path, const PictureFailure& failure) const {
    switch (failure.refusal) {
    case DicomRefusal::CannotOpen:
        if (!QFileInfo::exists(path)) return tr("This file cannot be opened: no such file.");
        break;
    case DicomRefusal::NotDicom: {
        const std::string format = PictureFormatOf(Narrow(path));
        if (format.empty()) return tr("This is not a DICOM file.");
        return tr("This is a %1 picture, not a DICOM file.").arg(QString::fromStdString(format));
    }
    case DicomRefusal::Damaged:
    case DicomRefusal::None: return tr("Please check whether the image is damaged.");
    default: break;
    }
    // A valid file the reader cannot show is named as such in plain words.
    const QString message = QCoreApplication::translate("Lumaframe", failure.words.message);
    return failure.words.argument.empty() ? message : message.arg(QString::fromStdString(failure.words.argument));
}

bool Lumaframe::OpenDicom(const QString& path) {
    DicomPicture picture;
    PictureFailure failure;
    LfImage opened;
    // The current picture is replaced only once a frame has been read.
    if (!ReadDicomPicture(Narrow(path), 0, GreyRendering{}, true, picture, failure) ||
        !PictureToImage(picture, GreyPixels::OneChannel, opened)) {
        ui_->lineEdit->setText(openedPath_);
        services_->warning(this, tr("Failure"), OpenFailureText(path, failure));
        return false;
    }
    picture_ = std::move(picture);
    current_.Transfer(opened);
    openedPath_ = path;
    ui_->lineEdit->setText(path);
    try {
        ShowImage(current_);
    } catch (...) {
        // The picture is open even when its preview cannot be drawn.
    }
    details_ = ReadFileDetails(Narrow(path));
    showDetails();
    frame_ = 0;
    viewProblem_.clear();
    fillGreyChoices();
    {
        const QSignalBlocker quiet(frameSlider_);
        frameSlider_->setRange(0, std::max(details_.frames, 1) - 1);
        frameSlider_->setValue(0);
    }
    frameSlider_->setEnabled(details_.frames > 1);
    if (playing()) togglePlay();
    playButton_->setEnabled(details_.frames > 1);
    updatePreviewLabels();
    return true;
}

void Lumaframe::openTypedPath() {
    const QString typed = ui_->lineEdit->text().trimmed();
    if (!typed.isEmpty() && typed != openedPath_) OpenDicom(typed);
    ui_->lineEdit->setText(openedPath_);
}

void Lumaframe::ShowImage(LfImage& image) {
    if (!image.IsValid()) {
        ui_->lbPic->setPixmap(QPixmap());
        return;
    }
    // The preview works on a copy, so saving always writes the full-size picture. A large
    // picture is shrunk before its grey levels become 24-bit pixels: nearest-pixel shrinking
    // picks the same pixels either way, and only the small copy is widened.
    const PreviewSize fit =
        FitPreview(image.Width(), image.Height(), ui_->lbPic->width(), ui_->lbPic->height());
    LfImage copy;
    if (fit.resampled && !fit.enlarged) {
        if (!image.Resample(fit.width, fit.height, 1, &copy)) {
            ui_->lbPic->setPixmap(QPixmap());
            return;
        }
    } else {
        copy.Copy(image, true, true, true);
    }
    if (copy.BitCount() != 24) copy.IncreaseBitCount(24);
    // Top-down RGB rows for the toolkit.
    copy.Flip(false, true);
    copy.SwapRedBlue();
    QImage view(copy.Row(0), static_cast<int>(copy.Width()), static_cast<int>(copy.Height()),
                static_cast<qsizetype>(copy.EffectiveWidth()), QImage::Format_RGB888);
    // Enlarged by the toolkit: smooth, or nearest-pixel where single pixels must stay visible.
    if (fit.enlarged)
        view = view.scaled(fit.width, fit.height, Qt::IgnoreAspectRatio,
                           fit.nearest ? Qt::FastTransformation : Qt::SmoothTransformation);
    ui_->lbPic->setPixmap(QPixmap::fromImage(view));  // the pixmap holds its own copy
}

void Lumaframe::on_btCov_clicked() {
    on_btSave_clicked();
}

QString Lumaframe::ProposedSavePath(const QString& type) const {
    const QString& opened = openedPath_;
    if (opened.isEmpty()) return QString();
    const QFileInfo info(opened);
    QString name = info.fileName();
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0) name.truncate(dot);
    return info.absolutePath() + QLatin1Char('/') + name + QLatin1Char('.') + type;
}

QString Lumaframe::CompletedSavePath(const QString& path, const QString& selectedFilter,
                                     const QString& fallbackType) {
    const QString name = path.mid(path.lastIndexOf(QLatin1Char('/')) + 1);
    if (name.contains(QLatin1Char('.'))) return path;
    QString type = FilterType(selectedFilter);
    if (type.isEmpty()) type = fallbackType;
    return type.isEmpty() ? path : path + QLatin1Char('.') + type;
}

void Lumaframe::on_btSave_clicked() {
    const QString type = ui_->comboBoxType->currentText();
    QString selected = QStringLiteral("%1(*.%1)").arg(type);
    QString path = services_->saveFileName(this, tr("Save Image"), ProposedSavePath(type),
                                           SaveFilters(), &selected);
    if (path.isEmpty()) return;
    path = CompletedSavePath(path, selected, type);
    // The extension typed, not the filter selected, decides the format. The picture shown
    // (frame and grey levels), or every frame, is saved by the converter's own step with the
    // options the converter would be given, so both write the same bytes.
    convert::Options options;
    // A GIF of a multi-frame file is its loop, as the converter writes it without --frame.
    options.frame = IsAnimationTarget(Narrow(path)) ? 0 : frame_;
    options.allFrames = allFramesBox_->isEnabled() && allFramesBox_->isChecked();
    options.quality = qualityBox_->value();
    options.rendering = RenderingFor(greyChoice_, deepBox_->isEnabled() && deepBox_->isChecked() ? 16 : 8);
    const convert::Job job{Narrow(openedPath_), Narrow(openedPath_), Narrow(path), ""};
    if (!openedPath_.isEmpty() && convert::ConvertOne(job, options).ok)
        services_->information(this, tr("Success"), tr("Image has been saved."));
    else
        services_->warning(this, tr("Failure"), tr("Failed to save image."));
}

bool Lumaframe::SaveResultImage(const std::string& path, LfImage& image) {
    return ::SaveResultImage(path, image);
}

uint32_t Lumaframe::FindType(const std::string& path) {
    return ::FindType(path);
}

// ---- batch

QString Lumaframe::FormatDir(QString& dir) {
    const std::string formatted = ::FormatDir(Narrow(dir));
    if (formatted.empty() || formatted.back() != '/') return dir;  // could not be resolved
    const QString folder = QFile::decodeName(formatted.c_str());
    if (!QDir::setCurrent(folder)) return dir;
    return folder;
}

void Lumaframe::on_btAddPicDir_clicked() {
    QString dir = services_->existingDirectory(this, tr("Select a picture where the folder"),
                                               ui_->txtPicDir->text());
    if (!dir.isEmpty()) ui_->txtPicDir->setText(FormatDir(dir));
}

void Lumaframe::on_btPicResultDir_clicked() {
    // The result chooser starts in the source folder, where results usually go next to.
    QString dir = services_->existingDirectory(
        this, tr("Select a folder to save processing results."), ui_->txtPicDir->text());
    if (!dir.isEmpty()) ui_->txtResultDir->setText(FormatDir(dir));
}

void Lumaframe::on_btCovPics_clicked() {
    if (batchRunning_) {
        // Cancel: the file under way finishes, no further file starts.
        batchStop_ = true;
        ui_->btCovPics->setEnabled(false);
        return;
    }
    // Both folders are resolved against the working directory of the click, then entered
    // to prove they exist; the result folder stays the working directory.
    // A missing result folder is made by the run, as the converter makes its -o folder.
    const std::string source = ::FormatDir(Narrow(ui_->txtPicDir->text()));
    const std::string result = ::FormatDir(Narrow(ui_->txtResultDir->text()));
    if (source.empty() || result.empty() || !QDir::setCurrent(QFile::decodeName(source.c_str())) ||
        (QDir(QFile::decodeName(result.c_str())).exists() && !QDir::setCurrent(QFile::decodeName(result.c_str())))) {
        services_->warning(this, tr("Failure"), tr("Selected directory errors."));
        return;
    }
    // A target that cannot be written is refused before any file is read.
    if (const QString why = unwritableTargetText(ui_->comboBoxType->currentText()); !why.isEmpty()) {
        services_->warning(this, tr("Failure"), why);
        return;
    }
    ui_->progressBar->setVisible(true);
    ui_->progressBar->reset();
    ui_->btCovPics->setText(tr("Cancel"));
    batchRunning_ = true;
    batchStop_ = false;
    if (batchThread_.joinable()) batchThread_.join();
    const std::string format = ui_->comboBoxType->currentText().toStdString();
    // The second naming choice builds a patient / study / series tree from each file's attributes.
    const BatchChoices choices = batchChoices();
    batchClock_.start();
    batchThread_ = std::thread([this, source, result, format, choices] {
        const BatchProgress progress = [this](int value, int maximum) {
            QMetaObject::invokeMethod(
                this, [this, value, maximum] { showBatchProgress(value, maximum); },
                Qt::QueuedConnection);
        };
        const int threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
        const BatchSummary summary = RunFolderBatch(source, result, format, threads, progress, &batchStop_, choices);
        QMetaObject::invokeMethod(
            this, [this, summary] { finishBatch(summary); }, Qt::QueuedConnection);
    });
}

QString Lumaframe::unwritableTargetText(const QString& type) const {
    const LfFormatInfo* row = nullptr;
    if (LfFindSaveName(type.toStdString(), &row) == nullptr)
        return tr("%1 names no format that can be written.").arg(type.toUpper());
    if (row->writes) return QString();
    QStringList names;
    for (const LfSaveName& name : row->saveExtensions) names << QString::fromStdString(name.ext).toUpper();
    return tr("%1 files can be read but not written.").arg(names.join(tr(" and ")));
}

// Files done of all, and the time left at the pace so far.
void Lumaframe::showBatchProgress(int value, int maximum) {
    if (value == 0) {
        ui_->progressBar->setRange(0, maximum);
        ui_->progressBar->setFormat(tr("%1 of %2 files").arg(0).arg(maximum));
        return;
    }
    ui_->progressBar->setValue(value);
    const qint64 left = batchClock_.elapsed() * (maximum - value) / value / 1000;
    ui_->progressBar->setFormat(tr("%1 of %2 files, %3:%4 left")
                                    .arg(value)
                                    .arg(maximum)
                                    .arg(left / 60)
                                    .arg(left % 60, 2, 10, QLatin1Char('0')));
}

void Lumaframe::finishBatch(const BatchSummary& summary) {
    if (batchThread_.joinable()) batchThread_.join();
    batchRunning_ = false;
    ui_->btCovPics->setText(QCoreApplication::translate("LumaframeClass", "Batch Generate"));
    ui_->btCovPics->setEnabled(true);
    // A run stopped by Cancel never ends in "Success".
    if (summary.stopped)
        services_->information(this, tr("Cancelled"),
                               tr("Cancelled after %1 of %2 files.").arg(summary.tried).arg(summary.files));
    else
        services_->information(this, tr("Success"),
                               tr("Converted %1 of %2 files.").arg(summary.written).arg(summary.files));
    if (summary.failures.empty()) return;
    QStringList details;
    for (const BatchFailure& failure : summary.failures) {
        const QString name = QFileInfo(QFile::decodeName(failure.file.c_str())).fileName();
        details << QStringLiteral("%1: %2").arg(name, QString::fromStdString(failure.reason));
    }
    services_->warningWithDetails(
        this, tr("Failure"),
        tr("%1 files could not be converted.").arg(summary.failures.size()),
        details.join(QLatin1Char('\n')));
}
