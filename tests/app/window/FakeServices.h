// Stands in for the dialogs, message boxes and process start of the window: answers come
// from queues set by the test, and every call is recorded.
#pragma once

#include <QDialog>
#include <QString>
#include <QStringList>
#include <deque>
#include <filesystem>
#include <vector>

#include "WindowServices.h"

// A path as the window's text fields and dialogs take it.
inline QString Q(const std::filesystem::path& p) {
    return QString::fromStdString(p.string());
}

struct FakeServices : WindowServices {
    struct FileDialog {
        QString caption, dir, filter, selectedFilter;
    };
    struct Box {
        bool warning;
        QString title, text, details;
    };
    struct Start {
        QString program;
        QStringList arguments;
        QString workingDirectory;
    };

    std::deque<QString> answers;  // dialog answers in order; empty text = cancel
    std::vector<FileDialog> dialogs;
    std::vector<Box> boxes;
    std::vector<Start> starts;
    std::vector<QString> modalClasses;  // object names of the dialogs run modally
    std::vector<QString> modalTitles;

    QString next() {
        if (answers.empty()) return QString();
        QString a = answers.front();
        answers.pop_front();
        return a;
    }
    QString openFileName(QWidget*, const QString& caption, const QString& dir,
                         const QString& filter) override {
        dialogs.push_back({caption, dir, filter, QString()});
        return next();
    }
    QString saveFileName(QWidget*, const QString& caption, const QString& dir,
                         const QString& filter, QString* selectedFilter) override {
        dialogs.push_back({caption, dir, filter, selectedFilter ? *selectedFilter : QString()});
        return next();
    }
    QString existingDirectory(QWidget*, const QString& caption, const QString& dir) override {
        dialogs.push_back({caption, dir, QString(), QString()});
        return next();
    }
    void warning(QWidget*, const QString& title, const QString& text) override {
        boxes.push_back({true, title, text, QString()});
    }
    void information(QWidget*, const QString& title, const QString& text) override {
        boxes.push_back({false, title, text, QString()});
    }
    void warningWithDetails(QWidget*, const QString& title, const QString& text,
                            const QString& details) override {
        boxes.push_back({true, title, text, details});
    }
    void runModal(QDialog& dialog) override {
        modalClasses.push_back(dialog.objectName());
        modalTitles.push_back(dialog.windowTitle());
    }
    bool startDetached(const QString& program, const QStringList& arguments,
                       const QString& workingDirectory) override {
        starts.push_back({program, arguments, workingDirectory});
        return true;
    }
};
