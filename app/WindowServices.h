// Everything the window asks of the desktop outside itself: file and folder dialogs, message
// boxes, modal dialogs and starting a program. The window goes through this object so that
// tests can answer the dialogs and watch the restart without a user or a second process.
#pragma once

#include <QString>
#include <QStringList>

class QDialog;
class QWidget;

class WindowServices {
public:
    virtual ~WindowServices() = default;

    // Empty text when the user cancels.
    virtual QString openFileName(QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter);
    // selectedFilter comes in as the preselected filter and goes out as the one chosen.
    virtual QString saveFileName(QWidget* parent, const QString& caption, const QString& dir,
                                 const QString& filter, QString* selectedFilter);
    virtual QString existingDirectory(QWidget* parent, const QString& caption,
                                      const QString& dir);

    // Modal boxes with the single button OK.
    virtual void warning(QWidget* parent, const QString& title, const QString& text);
    virtual void information(QWidget* parent, const QString& title, const QString& text);
    // A warning whose details (one line per item) open under the box's "Show Details".
    virtual void warningWithDetails(QWidget* parent, const QString& title, const QString& text,
                                    const QString& details);

    // Runs the dialog modally and returns when it closes.
    virtual void runModal(QDialog& dialog);

    virtual bool startDetached(const QString& program, const QStringList& arguments,
                               const QString& workingDirectory);
};
