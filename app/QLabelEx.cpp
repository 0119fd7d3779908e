#include "QLabelEx.h"

QLabelEx::QLabelEx(QWidget* parent, Qt::WindowFlags flags) : QLabel(parent, flags) {
    setText(text_);
}

void QLabelEx::mouseDoubleClickEvent(QMouseEvent*) {
    emit doubleClicked();
}
