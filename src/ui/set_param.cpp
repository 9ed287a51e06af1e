#include "set_param.h"

#include <QDoubleSpinBox>
#include <QLineEdit>
#include <QMessageBox>
#include <QSpinBox>
#include <QStringList>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <limits>
#include <thread>
#include <type_traits>

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

// What a box shows of a reported value lies inside its range; a whole-number box
// shows the value truncated.
bool fits(float reported, bool whole, double minimum, double maximum) {
    if (std::isnan(reported)) return false;
    const double v = whole ? std::trunc(static_cast<double>(reported)) : static_cast<double>(reported);
    return v >= minimum && v <= maximum;
}

}  // namespace

template <typename Box>
void SetParam::add_field(Box* box, QLabel* caption) {
    const auto initial = box->value();
    fields_.push_back(Field{box, caption, box->suffix(), static_cast<double>(box->minimum()),
                            static_cast<double>(box->maximum()), std::is_base_of<QSpinBox, Box>::value,
                            [box, initial] { box->setValue(initial); }});
    // Any value the operator gives the box (typed, even the one shown, or stepped) is theirs.
    auto entered = [this, index = fields_.size() - 1] { fields_[index].outside = false; };
    connect(box->template findChild<QLineEdit*>(), &QLineEdit::textEdited, this, entered);
    connect(box, QOverload<decltype(initial)>::of(&Box::valueChanged), this, entered);
}

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

    add_field(ui->can_id_spinBox, ui->label_19);
    add_field(ui->current_loop_bandwidth_spinBox, ui->label_26);
    add_field(ui->can_timeout_spinBox, ui->label_18);
    add_field(ui->current_limit_doubleSpinBox, ui->label_27);
    limit_label_text_ = ui->current_limit_label->text();
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

bool SetParam::driver_free() {
    QString text;
    if (!link_open_) {
        text = tr("没有打开的连接，无法应用或写入参数。请先打开串口或CAN。");
    } else if (motor_enabled_) {
        text = tr("电机已使能，无法应用或写入参数。请先失能电机。");
    } else if (calibrating_) {
        text = tr("校准进行中，无法应用或写入参数。请等校准结束。");
    } else {
        return true;
    }
    hv::log_warn("SetParam refuses to send: ", text.toUtf8().toStdString());
    show_refusal(text);
    return false;
}

bool SetParam::entries_taken() {
    const QString refusal = StrictDoubleSpinBox::refusal(findChildren<QAbstractSpinBox*>());
    if (refusal.isEmpty()) return true;
    hv::log_warn("SetParam refuses to send: ", refusal.toUtf8().toStdString());
    show_refusal(refusal);
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
    show_refusal(text);
    return false;
}

void SetParam::show_refusal(const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, tr("提示"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

bool SetParam::reported_values_taken() {
    if (!reported_) {
        hv::log_warn("SetParam refuses to send: the driver on this link has not reported its parameters");
        show_refusal(tr("本连接的驱动器尚未报告参数，无法应用或写入。请点击“参数设置”重新读取。"));
        return false;
    }
    QStringList lines;
    for (const Field& field : fields_) {
        if (!field.outside) continue;
        const QString reported = QString::number(static_cast<double>(field.reported), 'g', 6) + field.unit;
        hv::log_warn("SetParam refuses to send: ", field.box->objectName().toStdString(), " reported as ",
                     field.reported, ", outside ", field.minimum, " to ", field.maximum);
        lines << tr("%1：驱动器报告的值 %2 超出范围 %3 到 %4，请在此栏输入范围内的值。")
                     .arg(field.caption->text(), reported, QString::number(field.minimum),
                          QString::number(field.maximum) + field.unit);
    }
    if (lines.isEmpty()) return true;
    show_refusal(lines.join(QLatin1Char('\n')));
    return false;
}

void SetParam::on_write_pushButton_clicked() {
    if (!driver_free() || !reported_values_taken() || !entries_taken() || !model_chosen()) return;
    emit set_firmware_param_signal(read_form());
    hide();
}

void SetParam::on_flash_pushButton_clicked() {
    if (!driver_free() || !reported_values_taken() || !entries_taken() || !model_chosen()) return;
    emit set_firmware_param_signal(read_form());
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    emit flash_firmware_param_signal();
    hide();
}

void SetParam::link_state_changed_slot(bool open) {
    link_open_ = open;
    if (open) forget_driver();
    motor_enabled_ = false;
    calibrating_ = false;
}

void SetParam::forget_driver() {
    reported_ = false;
    reported_gear_ratio_ = std::numeric_limits<float>::quiet_NaN();
    ui->motor_type_box->setCurrentText(QString());
    for (Field& field : fields_) {
        field.reset();
        field.outside = false;
    }
    ui->current_limit_label->setText(limit_label_text_);
}

void SetParam::motor_firm_state_slot(FirmwareState state) {
    reported_ = true;
    link_open_ = true;  // a report comes over an open link
    reported_gear_ratio_ = state.gear_ratio;
    ui->motor_type_box->setCurrentText(QString::fromStdString(motor_type_from_gear_ratio(state.gear_ratio)));
    set_truncated(ui->can_id_spinBox, state.can_id, "can id");
    set_truncated(ui->current_loop_bandwidth_spinBox, state.current_bandwidth, "current bandwidth");
    set_truncated(ui->can_timeout_spinBox, state.can_timeout, "can timeout");
    if (std::isnan(state.current_limit)) {
        hv::log_warn("SetParam ignores reported current limit: not a number");
    } else {
        ui->current_limit_doubleSpinBox->setValue(static_cast<double>(state.current_limit));
        ui->current_limit_label->setText(QString::number(static_cast<double>(state.current_limit), 'g', 6) + " A");
    }
    // Marked once the boxes took their values, which is no entry of the operator's.
    const float reported[] = {state.can_id, state.current_bandwidth, state.can_timeout, state.current_limit};
    for (size_t i = 0; i < fields_.size(); ++i) {
        Field& field = fields_[i];
        field.reported = reported[i];
        field.outside = !fits(reported[i], field.whole, field.minimum, field.maximum);
    }
}
