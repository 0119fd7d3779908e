// The about box: product line, rights notice, web and mail links, and OK.
#pragma once

#include <QDialog>
#include <memory>

namespace Ui {
class aboutClass;
}

class about : public QDialog {
    Q_OBJECT
public:
    explicit about(QWidget* parent = nullptr);
    ~about() override;
    Ui::aboutClass* ui() const { return ui_.get(); }

private slots:
    void on_pushButton_clicked();

private:
    std::unique_ptr<Ui::aboutClass> ui_;
};
