// A label that reports double clicks; the title bar's labels use it to toggle maximising.
#pragma once

#include <QLabel>

class QLabelEx : public QLabel {
    Q_OBJECT
public:
    explicit QLabelEx(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;

private:
    QString text_;  // the label's initial text (empty)
};
