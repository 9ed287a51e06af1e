#include "set_param.h"

#include <QMessageBox>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "console_log.h"
#include "strict_double_spin_box.h"
#include "ui_setparam.h"

namespace {

struct MotorModel {
    const char* name;
    float ratio;
    double logged_ratio;
};

const MotorModel kMotorModels[] = {
    {"T88-4", 7.636f, 7.636},
    {"T88-6", 12.0f, 12.0},
    {"T88-10", 18.36f, 18.36},
};

// Truncates toward zero and keeps the result inside the box's range; a value
// the driver could not have meant (NaN) leaves the box as it is.
bool set_truncated(QSpinBox* box, float value, const char* field) {
    if (std::isnan(value)) {
        hv::log_warn("SetParam ignores reported ", field, ": not a number");
        return false;
    }
    double v = std::trunc(static_cast<double>(value));
    v = std::min(std::max(v, static_cast<double>(box->minimum())), static_cast<double>(box->maximum()));
    box->setValue(static_cast<int>(v));
    return true;
}

}  // namespace

SetParam::SetParam()
    : QDialog(nullptr), ui(new Ui::SetParam), reported_gear_ratio_(std::numeric_limits<float>::quiet_NaN()) {
    ui->setupUi(this);
    ui->motor_type_box->addItem(QString());
    for (const MotorModel& model : kMotorModels) {
        ui->motor_type_box->addItem(QString::fromUtf8(model.name));
    }
    ui->motor_type_box->setCurrentText(QString());
    ui->over_voltage_label->setText(QString::number(36, 10) + " V");

    setWindowFlags(Qt::WindowStaysOnTopHint);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(windowFlags() & ~Qt::WindowMinimizeButtonHint & ~Qt::WindowMaximizeButtonHint);
}

SetParam::~SetParam() {
    hv::log_info("Dectruct SetParam");
    delete ui;
}

float SetParam::gear_ratio(const std::string& motor_type) {
    for (const MotorModel& model : kMotorModels) {
        if (motor_type == model.name) {
            hv::log_info("gear ratio is: ", model.logged_ratio);
            return model.ratio;
        }
    }
    return 0.0f;
}

std::string SetParam::motor_type_from_gear_ratio(float gear_ratio) {
    for (const MotorModel& model : kMotorModels) {
        const float difference = gear_ratio - model.ratio;
        const float relative = difference / gear_ratio;
        // NaN and infinity (a ratio of 0) fail the test.
        if (kGearRatioTolerance > std::abs(static_cast<double>(relative))) {
            return model.name;
        }
    }
    return std::string();
}

FirmwareParams SetParam::read_form() {
    FirmwareParams params;
    params.gear_ratio = gear_ratio(ui->motor_type_box->currentText().toUtf8().toStdString());
    params.can_id = static_cast<float>(ui->can_id_spinBox->value());
    params.current_bandwidth = static_cast<float>(ui->current_loop_bandwidth_spinBox->value());
    params.can_timeout = static_cast<float>(ui->can_timeout_spinBox->value());
    params.current_limit = static_cast<float>(ui->current_limit_doubleSpinBox->value());
    return params;
}

bool SetParam::entries_taken() {
    const QString refusal = StrictDoubleSpinBox::refusal(findChildren<QAbstractSpinBox*>());
    if (refusal.isEmpty()) return true;
    hv::log_warn("SetParam refuses to send: ", refusal.toUtf8().toStdString());
    auto* box = new QMessageBox(QMessageBox::Warning, tr("提示"), refusal, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return false;
}

bool SetParam::model_chosen() {
    if (!ui->motor_type_box->currentText().isEmpty()) return true;
    const QString text =
        std::isnan(reported_gear_ratio_)
            ? tr("驱动器没有报告减速比。请先选择电机型号。")
            : tr("驱动器报告的减速比 %1 不属于任何电机型号。请先选择电机型号。")
                  .arg(static_cast<double>(reported_gear_ratio_), 0, 'g', 6);
    hv::log_warn("SetParam refuses to send gear ratio 0: no motor model chosen");
    auto* box = new QMessageBox(QMessageBox::Warning, tr("提示"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return false;
}

void SetParam::on_write_pushButton_clicked() {
    if (!entries_taken() || !model_chosen()) return;
    emit set_firmware_param_signal(read_form());
    hide();
}

void SetParam::on_flash_pushButton_clicked() {
    if (!entries_taken() || !model_chosen()) return;
    emit set_firmware_param_signal(read_form());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    emit flash_firmware_param_signal();
    hide();
}

void SetParam::motor_firm_state_slot(FirmwareState state) {
    reported_gear_ratio_ = state.gear_ratio;
    ui->motor_type_box->setCurrentText(QString::fromStdString(motor_type_from_gear_ratio(state.gear_ratio)));
    set_truncated(ui->can_id_spinBox, state.can_id, "can id");
    set_truncated(ui->current_loop_bandwidth_spinBox, state.current_bandwidth, "current bandwidth");
    set_truncated(ui->can_timeout_spinBox, state.can_timeout, "can timeout");
    if (std::isnan(state.current_limit)) {
        hv::log_warn("SetParam ignores reported current limit: not a number");
        return;
    }
    ui->current_limit_doubleSpinBox->setValue(static_cast<double>(state.current_limit));
    ui->current_limit_label->setText(QString::number(static_cast<double>(state.current_limit), 'g', 6) + " A");
}
