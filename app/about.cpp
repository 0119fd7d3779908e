#include "about.h"

#include "ui_about.h"

namespace {
const char kSupportMail[] = "support@glintwise.org";
}

about::about(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::aboutClass>()) {
    // A popup has no window frame; the toolkit also closes it on a click outside.
    setWindowFlags(Qt::Popup);
    ui_->setupUi(this);
    ui_->lbEmail->setText(QStringLiteral("Email: <a href=\"mailto:%1\">%1</a>")
                              .arg(QLatin1String(kSupportMail)));
    ui_->lbEmail->setOpenExternalLinks(true);
    ui_->lbUrl->setText(
        tr("<a href=\"https://glintwise.org\">Glintwise</a> All rights reserved."));
    ui_->lbUrl->setOpenExternalLinks(true);
    ui_->lbUrl_2->setOpenExternalLinks(true);
}

about::~about() = default;

void about::on_pushButton_clicked() {
    close();
}
