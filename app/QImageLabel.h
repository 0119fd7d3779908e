// A label that announces clicks on itself, for picture lists.
#pragma once

#include <QLabel>

class QImageLabel : public QLabel {
    Q_OBJECT
public:
    explicit QImageLabel(QWidget* parent = nullptr, Qt::WindowFlags flags = {})
        : QLabel(parent, flags) {}

signals:
    void clicked(QImageLabel* label);
};
