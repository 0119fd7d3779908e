// A frame that reports double clicks; the title bar's frames use it to toggle maximising.
#pragma once

#include <QFrame>

class QFrameEx : public QFrame {
    Q_OBJECT
public:
    explicit QFrameEx(QWidget* parent = nullptr, Qt::WindowFlags flags = {});

signals:
    void doubleClicked();

protected:
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};
