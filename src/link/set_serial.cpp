#include "set_serial.h"

#include "console_log.h"
#include "ui_setserial.h"

SetSerial::SetSerial(std::shared_ptr<SerialInterface> serial, std::string lan)
    : QDialog(nullptr), serial_(std::move(serial)), ui_(std::make_unique<Ui_SetSerial>()), lan_(std::move(lan)) {
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::WindowStaysOnTopHint);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowFlags(windowFlags() & ~(Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint));
    ui_->setupUi(this);
}

SetSerial::~SetSerial() { hv::log_info("Dectruct SetSerial"); }

void SetSerial::device_number_changed_slot(std::vector<std::string>& serials) {
    ui_->device_select_comboBox->clear();
    for (const std::string& name : serials) ui_->device_select_comboBox->addItem(QString::fromUtf8(name.c_str()));
}

void SetSerial::device_state_changed_slot(bool state) {
    const bool zh = lan_ == "zh";
    shows_open_ = state;
    if (state)
        ui_->serial_open_close_pushButton->setText(zh ? QString::fromUtf8("关闭设备") : QStringLiteral("Close"));
    else
        ui_->serial_open_close_pushButton->setText(zh ? QString::fromUtf8("开启设备") : QStringLiteral("Open"));
}

void SetSerial::on_serial_open_close_pushButton_clicked() {
    emit device_open_close_signal(ui_->device_select_comboBox->currentText());
}

void SetSerial::on_cancle_pushButton_clicked() { close(); }
