#include "QFrameEx.h"

QFrameEx::QFrameEx(QWidget* parent, Qt::WindowFlags flags) : QFrame(parent, flags) {}

void QFrameEx::mouseDoubleClickEvent(QMouseEvent*) {
    emit doubleClicked();
}
