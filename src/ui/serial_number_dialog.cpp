#include "serial_number_dialog.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>

#include "console_log.h"
#include "strict_double_spin_box.h"
#include "strict_spin_box.h"

SerialNumberDialog::SerialNumberDialog(QWidget* parent) : QDialog(parent) {
    // The same texts in both languages.
    setWindowTitle(QString::fromUtf8("请输入关节序列号"));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    auto* layout = new QVBoxLayout(this);
    auto* label = new QLabel(QString::fromUtf8("请输入关节序列号:"), this);
    box_ = new StrictSpinBox(this);
    box_->setRange(0, 1000);
    box_->setValue(0);
    box_->setAccessibleName(tr("关节序列号"));
    label->setBuddy(box_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, this);
    layout->addWidget(label);
    layout->addWidget(box_);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &SerialNumberDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &SerialNumberDialog::reject);
    box_->selectAll();
}

int SerialNumberDialog::number() const { return box_->value(); }

void SerialNumberDialog::accept() {
    const QString refusal = box_->refusal();
    if (refusal.isEmpty()) {
        QDialog::accept();
        return;
    }
    hv::log_warn("Serial number refused: ", refusal.toUtf8().toStdString());
    auto* box = new QMessageBox(QMessageBox::Warning, tr("提示"), refusal, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool SerialNumberDialog::ask(QWidget* parent, int* number) {
    SerialNumberDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted) return false;
    *number = dialog.number();
    return true;
}
