#include "set_curve.h"

#include <QMessageBox>

#include "can_codec.h"
#include "can_manager.h"
#include "console_log.h"
#include "serial_manager.h"
#include "strict_double_spin_box.h"
#include "ui_mainwindow.h"
#include "ui_setcurve.h"

namespace {
constexpr uint32_t kSerialSendHz = 100;
}

SetCurve::SetCurve(std::shared_ptr<SerialManager> serial_manager,
                   std::shared_ptr<CanManager> can_manager, Ui_MainWindow* main_ui)
    : QDialog(nullptr),
      serial_manager_(serial_manager),
      can_manager_(can_manager),
      main_ui_(main_ui) {
    start_time_ = std::chrono::steady_clock::time_point{};
    mode_ = 0;
    can_send_hz_ = 1000;
    ui = new Ui_SetCurve;
    curve_sender_ = std::make_shared<CurveSender>(serial_manager_, can_manager_);
    ui->setupUi(this);
    // Whole tab labels in every language: the dialog widens to them.
    ui->mode_tabWidget->setElideMode(Qt::ElideNone);
    ui->mode_tabWidget->setUsesScrollButtons(false);
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(Qt::WindowStaysOnTopHint);
    setWindowFlags(windowFlags() & ~Qt::WindowMinimizeButtonHint & ~Qt::WindowMaximizeButtonHint);
}

SetCurve::~SetCurve() {
    hv::log_info("Dectruct SetCurve");
    curve_sender_->stop();
    delete ui;
    ui = nullptr;
    can_manager_.reset();
    serial_manager_.reset();
    curve_sender_.reset();
}

void SetCurve::set_start_time(const std::chrono::steady_clock::time_point& t) {
    start_time_ = t;
    curve_sender_->set_start_time(start_time_);
}

bool SetCurve::curve_fits_link(int tab) {
    QString problem =
        StrictDoubleSpinBox::refusal(ui->mode_tabWidget->widget(tab)->findChildren<QAbstractSpinBox*>());
    if (!problem.isEmpty() || mode_ != 2) {
        // Only the CAN motion frame is narrower than the boxes.
    } else if (tab == 0) {
        if (ui->torque_A_doubleSpinBox->value() > kCanMotionLimit)
            problem = tr("CAN 只能发送 ±40 N·m 以内的扭矩：幅值 A 最大为 40。");
    } else {
        const float a = static_cast<float>(ui->position_A_doubleSpinBox->value());
        const float c = static_cast<float>(ui->position_C_doubleSpinBox->value());
        // The peak velocity as the sender computes it.
        const float peak_velocity = a * (6.283185f * static_cast<float>(ui->position_f_doubleSpinBox->value()));
        if (a + c > kCanMotionLimit) {
            problem = tr("CAN 只能发送 ±40 rad 以内的位置：A + C 最大为 40。");
        } else if (peak_velocity > kCanMotionLimit) {
            problem = tr("CAN 只能发送 ±40 rad/s 以内的速度：A·2πf 最大为 40。");
        } else if (ui->position_Kp_doubleSpinBox->value() > kCanKpMax ||
                   ui->position_Kd_doubleSpinBox->value() > kCanKdMax) {
            problem = tr("CAN 只能发送 0 到 51 的 Kd。");
        }
    }
    if (problem.isEmpty()) return true;
    show_refusal(problem);
    return false;
}

bool SetCurve::may_start() {
    if (mode_ == 0) {
        show_refusal(tr("没有打开的连接，无法开始曲线。请先打开串口或CAN。"));
    } else if (calibrating_) {
        show_refusal(tr("校准进行中，无法开始曲线。请等校准结束。"));
    } else {
        return true;
    }
    return false;
}

void SetCurve::show_refusal(const QString& text) {
    hv::log_warn("Curve not started: ", text.toUtf8().toStdString());
    auto* box = new QMessageBox(QMessageBox::Warning, tr("提示"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

// The window ends a curve whose link closed; a closed link leaves no calibration running either.
void SetCurve::link_state_changed(uint8_t link, bool open) {
    (link == 1 ? serial_open_ : can_open_) = open;
    if (open) {
        mode_ = link;
        return;
    }
    calibrating_ = false;
    if (mode_ == link) mode_ = serial_open_ ? 1 : can_open_ ? 2 : 0;
}

void SetCurve::calibration_state_changed_slot(bool running) {
    calibrating_ = running;
    if (running && curve_sender_->is_streaming()) {
        hv::log_info("Curve stopped: a calibration starts");
        end_curve(true);
    }
}

void SetCurve::on_start_pushButton_clicked() {
    if (!may_start() || !curve_fits_link(ui->mode_tabWidget->currentIndex())) return;
    emit start_curve_signal();
    ui->start_pushButton->setEnabled(false);
    ui->mode_tabWidget->setEnabled(false);
    if (main_ui_) {
        main_ui_->motor_enable_disable_pushButton->setEnabled(false);
        main_ui_->send_motion_param_pushButton->setEnabled(false);
    }

    const int tab = ui->mode_tabWidget->currentIndex();
    if (tab == 0) {
        const float params[5] = {static_cast<float>(ui->torque_A_doubleSpinBox->value()),
                                 static_cast<float>(ui->torque_f_doubleSpinBox->value()), 0.0f,
                                 0.0f, 0.0f};
        hv::log_plain("mode_ is: ", static_cast<int>(mode_));
        const uint32_t rate = mode_ == 1 ? kSerialSendHz : can_send_hz_;
        const uint8_t type = 0;
        curve_sender_->set_param(type, params, start_time_, mode_, rate);
    } else if (tab == 1) {
        const float params[5] = {static_cast<float>(ui->position_A_doubleSpinBox->value()),
                                 static_cast<float>(ui->position_f_doubleSpinBox->value()),
                                 static_cast<float>(ui->position_C_doubleSpinBox->value()),
                                 static_cast<float>(ui->position_Kp_doubleSpinBox->value()),
                                 static_cast<float>(ui->position_Kd_doubleSpinBox->value())};
        hv::log_plain("mode_ is: ", static_cast<int>(mode_));
        const uint32_t rate = mode_ == 1 ? kSerialSendHz : can_send_hz_;
        const uint8_t type = 1;
        curve_sender_->set_param(type, params, start_time_, mode_, rate);
    }
    curve_sender_->start();
}

void SetCurve::on_stop_pushButton_clicked() {
    // No curve runs during a calibration: nothing to send, and the window's buttons stay locked.
    if (!calibrating_) end_curve(true);
}

void SetCurve::end_curve(bool send_zero) {
    if (send_zero) {
        curve_sender_->stop();
    } else {
        curve_sender_->halt();
    }
    ui->start_pushButton->setEnabled(true);
    ui->mode_tabWidget->setEnabled(true);
    if (main_ui_) {
        main_ui_->motor_enable_disable_pushButton->setEnabled(true);
        main_ui_->send_motion_param_pushButton->setEnabled(true);
    }
}
