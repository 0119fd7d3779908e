#include "WindowServices.h"

#include <QDialog>
#include <QFileDialog>
#include <QMessageBox>
#include <QProcess>

QString WindowServices::openFileName(QWidget* parent, const QString& caption,
                                     const QString& dir, const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, dir, filter);
}

QString WindowServices::saveFileName(QWidget* parent, const QString& caption,
                                     const QString& dir, const QString& filter,
                                     QString* selectedFilter) {
    return QFileDialog::getSaveFileName(parent, caption, dir, filter, selectedFilter);
}

QString WindowServices::existingDirectory(QWidget* parent, const QString& caption,
                                          const QString& dir) {
    return QFileDialog::getExistingDirectory(
        parent, caption, dir, QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
}

void WindowServices::warning(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::warning(parent, title, text, QMessageBox::Ok);
}

void WindowServices::information(QWidget* parent, const QString& title, const QString& text) {
    QMessageBox::information(parent, title, text, QMessageBox::Ok);
}

void WindowServices::warningWithDetails(QWidget* parent, const QString& title,
                                        const QString& text, const QString& details) {
    QMessageBox box(QMessageBox::Warning, title, text, QMessageBox::Ok, parent);
    box.setDetailedText(details);
    box.exec();
}

void WindowServices::runModal(QDialog& dialog) {
    dialog.exec();
}

bool WindowServices::startDetached(const QString& program, const QStringList& arguments,
                                   const QString& workingDirectory) {
    return QProcess::startDetached(program, arguments, workingDirectory);
}
