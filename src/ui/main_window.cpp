#include "main_window.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDebug>
#include <QCloseEvent>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPixmap>
#include <QRegExp>
#include <QResizeEvent>
#include <QSignalBlocker>
#include <QSerialPortInfo>
#include <QTextCursor>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdio>
#include <ctime>

#include "can_manager.h"
#include "can_receiver.h"
#include "config_manager.h"
#include "console_log.h"
#include "csv_files4check.h"
#include "gbk_text.h"
#include "curve_sender.h"
#include "device_scanner.h"
#include "job_thread.h"
#include "process_launcher.h"
#include "save.h"
#include "serial_interface.h"
#include "serial_manager.h"
#include "serial_number_dialog.h"
#include "serial_receiver.h"
#include "set_curve.h"
#include "set_param.h"
#include "step_sender.h"
#include "strict_double_spin_box.h"
#include "ui_mainwindow.h"

namespace {

const char kToolVersion[] = "1.9.3";
// Chunks the serial terminal keeps in its receive view.
const int kTerminalMaxChunks = 5000;
const int kTerminalFlushMs = 50;

bool is_hex_digit(QChar c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A refused HEX pair as the status line shows it: white space made visible.
QString shown_pair(const QString& pair) {
    QString shown;
    for (const QChar c : pair) {
        if (c == QLatin1Char('\n'))
            shown += QChar(0x23CE);  // ⏎
        else if (c == QLatin1Char('\t'))
            shown += QChar(0x21E5);  // ⇥
        else if (c.isSpace())
            shown += QChar(0x2423);  // ␣
        else
            shown += c;
    }
    return shown;
}

QString from_utf8(const std::string& text) { return QString::fromUtf8(text.data(), static_cast<int>(text.size())); }

void sample_array(const StampedMoitonState& s, float out[4]) {
    out[0] = s.time;
    out[1] = s.position;
    out[2] = s.velocity;
    out[3] = s.torque;
}

// A version field truncated toward zero and shown unsigned. A value that no
// integer holds (NaN, infinity, noise of huge magnitude) has no version to show.
bool version_number(float value, uint32_t* out) {
    if (!(value > -9.0e18f && value < 9.0e18f)) return false;
    *out = static_cast<uint32_t>(static_cast<int64_t>(value));
    return true;
}

struct ErrorBitText {
    const char* zh;
    const char* en;
    const char* log;
};

const ErrorBitText kErrorBits[8] = {
    {"过压,已失能!", "Overvoltage! Motor is disabled.", "Over voltage!"},
    {"欠压,已失能!", "Undervoltage! Motor is disabled.", "Under voltage!"},
    {"过流,已失能!", "Overcurrent! Motor is disabled.", "Over current!"},
    {"电机过温,已失能!", "Motor overtemperature! Motor is disabled.", "Motor over temp!"},
    {"驱动器过温,已失能!", "Driver overtemperature! Motor is disabled.", "Driver over temp!"},
    {"CAN超时,已失能!", "CAN timeout! Motor is disabled.", "Can timeout!"},
    {"温感线断联!", "Temp sensor lose! Motor is disabled.", "Temp sensor lose!"},
    {"电流偏置异常!", "Current offset error! Motor is disabled.", "Current offset error!"},
};

}  // namespace

// ---------------------------------------------------------------------------
// Construction and destruction

MainWindow::MainWindow(std::shared_ptr<ConfigManager> config_manager, QWidget* parent)
    : QMainWindow(parent), ui_(new Ui_MainWindow), config_manager_(config_manager) {
    ui_->setupUi(this);
    serial_manager_ = std::shared_ptr<SerialManager>(new SerialManager(config_manager_->get_value("lan")));
    can_manager_ = std::shared_ptr<CanManager>(new CanManager(config_manager_->get_value("lan")));
    set_param_.reset(new SetParam());
    save_.reset(new Save());
    set_curve_.reset(new SetCurve(serial_manager_, can_manager_, ui_));
    step_sender_.reset(new StepSender(serial_manager_, can_manager_));
    param_jobs_ = std::make_unique<JobThread>();

    init_ui();
    init_dialog_connections();
    init_csv_files4check();
    init_serial_connections();
    init_can_connections();
    init_plot_timer();
}

MainWindow::~MainWindow() {
    hv::log_info("Destruct MainWindow");
    // A parameter write (and store) still under way finishes first, on a living link.
    param_jobs_->drain();
    param_jobs_.reset();
    // Senders go before the managers so their final all-zero target still has a link.
    set_param_.reset();
    save_.reset();
    set_curve_.reset();
    step_sender_.reset();
    serial_manager_.reset();
    can_manager_.reset();
    delete ui_;
    ui_ = nullptr;
}

void MainWindow::init_ui() {
    const QString title = lan_is_zh() ? QString::fromUtf8("Halvren 关节调试工具 v%1")
                                      : QStringLiteral("Halvren Motor Tool v%1");
    setWindowTitle(title.arg(QLatin1String(kToolVersion)));
    init_plots();
    lock_controls();
    // Every received chunk is one paragraph; keep the newest ones so a long streaming
    // session does not grow the receive view without bound.
    ui_->textBrowser->document()->setMaximumBlockCount(kTerminalMaxChunks);
    terminal_timer_.setSingleShot(true);
    terminal_timer_.setInterval(kTerminalFlushMs);
    connect(&terminal_timer_, &QTimer::timeout, this, &MainWindow::flush_terminal);
    // Long rate and status texts wrap in the space the layout gives them instead
    // of widening the window.
    for (QLabel* label : {ui_->status_label, ui_->common_count_label, ui_->motion_count_label}) {
        label->setWordWrap(true);
        QSizePolicy policy = label->sizePolicy();
        policy.setHorizontalPolicy(QSizePolicy::Ignored);
        label->setSizePolicy(policy);
    }
}

void MainWindow::init_dialog_connections() {
    connect(set_param_.get(), &SetParam::set_firmware_param_signal, this, &MainWindow::write_firmware_param_slot);
    connect(set_param_.get(), &SetParam::flash_firmware_param_signal, this, &MainWindow::flash_firmware_param_slot);
    connect(save_.get(), &Save::selected_dir_signal, this, &MainWindow::selected_dir_slot);
    connect(set_curve_->curve_sender_.get(), &CurveSender::target_motion_state_signal, this,
            &MainWindow::target_motion_state_slot);
    connect(step_sender_.get(), &StepSender::target_motion_state_signal, this, &MainWindow::target_motion_state_slot);
    connect(set_curve_.get(), &SetCurve::start_curve_signal, this, [this] {
        if (step_sender_->is_streaming()) stop_step_stream();
    });
    connect(serial_manager_->device_scanner(), &DeviceScanner::state_changed_signal, set_curve_.get(),
            &SetCurve::serial_state_changed_slot);
    connect(can_manager_->device_scanner(), &DeviceScanner::state_changed_signal, set_curve_.get(),
            &SetCurve::can_state_changed_slot);
    for (DeviceScanner* scanner : {serial_manager_->device_scanner(), can_manager_->device_scanner()})
        connect(scanner, &DeviceScanner::state_changed_signal, set_param_.get(), &SetParam::link_state_changed_slot);
}

void MainWindow::init_csv_files4check() {
    qRegisterMetaType<CheckData>("CheckData");
    csv_files4check_ = std::make_shared<CsvFiles4Check>();
    connect(csv_files4check_.get(), &CsvFiles4Check::record_not_saved_signal, this,
            &MainWindow::record_not_saved_slot);
    // Said once, over the shown window; the saves themselves only log.
    QString problem;
    const bool unreadable = config_manager_->unreadable();
    if (unreadable) {
        problem = from_utf8(tr_lan("无法读取设置文件 %1：使用默认设置，设置不会保存。",
                                   "The settings file %1 cannot be read: the default settings are used and "
                                   "settings are not saved."))
                      .arg(QFileInfo(QString::fromStdString(config_manager_->path())).absoluteFilePath());
    }
    if ((!unreadable && !config_manager_->can_save()) || !CsvFiles4Check::can_write_files()) {
        if (!problem.isEmpty()) problem += QLatin1Char('\n');
        problem += from_utf8(tr_lan("设置和检测结果无法保存到工作目录 %1。",
                                    "Settings and check results cannot be saved in the working folder %1."))
                       .arg(QDir::currentPath());
    }
    if (!problem.isEmpty()) QTimer::singleShot(0, this, [this, problem] { show_alert_box(problem); });
}

// The window's and its dialogs' slots for the replies of one link's receiver; both
// receivers have the same signals. Each reply is handled only while its link is the
// open one.
template <class Receiver>
void MainWindow::connect_replies(Receiver* r, const LinkReplies& replies) {
    replies.connect(r, &Receiver::enable_sucess_signal, this, &MainWindow::enable_sucess_slot);
    replies.connect(r, &Receiver::disable_sucess_signal, this, &MainWindow::disable_sucess_slot);
    replies.connect(r, &Receiver::calibration_start_signal, this, &MainWindow::calibration_start_slot);
    replies.connect(r, &Receiver::calibration_sucess_signal, this, &MainWindow::calibration_sucess_slot);
    replies.connect(r, &Receiver::param_check_signal, this, &MainWindow::param_check_slot);
    replies.connect(r, &Receiver::reset_success_signal, this, &MainWindow::reset_success_slot);
    replies.connect(r, &Receiver::zero_point_signal, this, &MainWindow::zero_point_slot);
    replies.connect(r, &Receiver::phase_sequence_signal, this, &MainWindow::phase_sequence_slot);
    replies.connect(r, &Receiver::calibrate_angle_data_signal, this, &MainWindow::calibrate_angle_data_slot);
    replies.connect(r, &Receiver::calibrate_compensation_data_signal, this, &MainWindow::calibrate_compensation_data_slot);
    replies.connect(r, &Receiver::motor_common_state_signal, this, &MainWindow::motor_common_state_slot);
    replies.connect(r, &Receiver::motor_firm_state_signal, set_param_.get(), &SetParam::motor_firm_state_slot);
    replies.connect(r, &Receiver::motor_firm_state_signal, this, &MainWindow::motor_firm_state_slot);
    replies.connect(r, &Receiver::driver_version_signal, this, &MainWindow::driver_version_slot);
    replies.connect(r, &Receiver::error_reset_signal, this, &MainWindow::error_reset_success_slot);
    replies.connect(r, &Receiver::error_frame_signal, this, &MainWindow::error_frame_slot);
    replies.connect(r, &Receiver::set_param_success_signal, this, &MainWindow::set_param_success_slot);
    replies.connect(r, &Receiver::update_csv_files_signal, csv_files4check_.get(), &CsvFiles4Check::update_csv_files_slot);
}

void MainWindow::init_serial_connections() {
    qRegisterMetaType<QList<QSerialPortInfo>>("QList<QSerialPortInfo>");
    qRegisterMetaType<CommonState>("CommonState");
    qRegisterMetaType<motor_motion_state>("motor_motion_state");
    qRegisterMetaType<FirmwareState>("FirmwareState");
    qRegisterMetaType<DriverVersion>("DriverVersion");
    qRegisterMetaType<StampedMoitonState>("StampedMoitonState");
    qRegisterMetaType<uint16_t>("uint16_t");

    SerialInterface* serial = serial_manager_->serial_interface();
    SerialReceiver* receiver = serial_manager_->serial_receiver();
    DeviceReceiver* base_receiver = receiver;

    connect(serial, &SerialInterface::serial_data_read_signal, this, &MainWindow::append_textBrowser_slot);
    connect(serial_manager_->device_scanner(), &DeviceScanner::state_changed_signal, this,
            &MainWindow::serial_state_changed_slot);
    connect_replies(receiver, serial_manager_->replies());
    connect(receiver, &SerialReceiver::calibration_start_signal, serial_manager_.get(),
            &SerialManager::calibrate_start_slot, Qt::DirectConnection);
    connect(base_receiver, &DeviceReceiver::motor_motion_state_signal, this, &MainWindow::motor_motion_state_slot,
            Qt::DirectConnection);
    connect(serial_manager_.get(), &SerialManager::calibrate_failed_signal, this, &MainWindow::calibrate_failed_slot);
    connect(serial_manager_.get(), &SerialManager::open_failed_signal, this, &MainWindow::serial_open_failed_slot);
}

void MainWindow::init_can_connections() {
    qRegisterMetaType<CommonState>("CommonState&");
    qRegisterMetaType<QVector<StampedMoitonState>>("QVector<StampedMoitonState>");

    CanReceiver* receiver = can_manager_->can_receiver();
    DeviceReceiver* base_receiver = receiver;

    connect(can_manager_->device_scanner(), &DeviceScanner::state_changed_signal, this,
            &MainWindow::can_state_changed_slot);
    connect_replies(receiver, can_manager_->replies());
    connect(receiver, &CanReceiver::calibration_start_signal, can_manager_.get(), &CanManager::calibrate_start_slot,
            Qt::DirectConnection);
    connect(base_receiver, &DeviceReceiver::motor_motion_state_signal, this, &MainWindow::motor_motion_state_slot,
            Qt::DirectConnection);
    connect(can_manager_.get(), &CanManager::calibrate_failed_signal, this, &MainWindow::calibrate_failed_slot);
    // Queued: the link finds a silent bus inside a send, perhaps one of the window's own;
    // a silence of a closed link is not the next one's.
    can_manager_->replies().connect(can_manager_.get(), &CanManager::bus_silent_signal, this,
                                    &MainWindow::can_bus_silent_slot);
    connect(can_manager_.get(), &CanManager::update_firmware_start_signal, this,
            &MainWindow::update_firmware_start_slot, Qt::DirectConnection);
    connect(can_manager_.get(), &CanManager::update_firmware_failed_signal, this,
            &MainWindow::update_firmware_failed_slot);
    connect(can_manager_.get(), &CanManager::update_firmware_success_signal, this,
            &MainWindow::update_firmware_success_slot);
    connect(can_manager_.get(), &CanManager::update_firmware_running_signal, this,
            &MainWindow::update_firmware_running_slot);
    connect(can_manager_.get(), &CanManager::update_firmware_progress_signal, this,
            &MainWindow::update_firmware_progress_slot);
}

void MainWindow::init_plot_timer() {
    plot_timer_.setInterval(5);
    connect(&plot_timer_, &QTimer::timeout, this, &MainWindow::plot_pvt_timer_slot);
    plot_timer_.start();
}

// ---------------------------------------------------------------------------
// Language

bool MainWindow::lan_is_zh() const { return config_manager_->get_value("lan") == "zh"; }

std::string MainWindow::tr_lan(const char* zh, const char* en) const { return lan_is_zh() ? zh : en; }

// ---------------------------------------------------------------------------
// Link state and control groups

void MainWindow::serial_state_changed_slot(bool state) {
    serial_open_ = state;
    if (state) {
        clear_old_session();
        enable_serial_controls();
        serial_manager_->request_driver_version();
    } else {
        reset_after_link_closed();
        disable_device_controls();
        ui_->driver_version_label->clear();
        show_status_message(tr_lan("串口已断开", "Serial port disconnected."));
    }
    update_device_state();
}

void MainWindow::can_state_changed_slot(bool state) {
    can_open_ = state;
    if (state) {
        clear_old_session();
        enable_can_controls();
        can_manager_->get_fw_version();
    } else {
        reset_after_link_closed();
        disable_device_controls();
        ui_->driver_version_label->clear();
        show_status_message(tr_lan("CAN已断开", "CAN adapter disconnected."));
    }
    update_device_state();
}

// What a new link shows must come from its driver; the last session's status
// and readings would pass for current ones.
void MainWindow::clear_old_session() {
    ui_->time_label->clear();
    ui_->status_label->clear();
    clear_readings();
}

void MainWindow::clear_readings() {
    for (QLabel* label : {ui_->voltage_label, ui_->motor_temp_label, ui_->driver_temp_label, ui_->angle_label,
                          ui_->angle_velocity_label, ui_->torque_label, ui_->common_count_label,
                          ui_->motion_count_label, ui_->driver_version_label})
        label->clear();
}

// Targets streamed now would reach the motor late; the operator's commands still go out.
void MainWindow::can_bus_silent_slot() {
    stop_streams();
    show_status_message(tr_lan("CAN总线无应答：电机是否已上电并连接？",
                               "The CAN bus does not answer: is the motor powered and connected?"));
}

// The link is gone: nothing streams on, and without a link the motor's state is
// unknown, so the controls return to those of a disabled motor.
void MainWindow::reset_after_link_closed() {
    stop_streams();
    motor_enabled_ = false;
    disabled_motion_count_ = 0;
    ui_->motor_enable_disable_pushButton->setText(from_utf8(tr_lan("电机使能", "ENABLE")));
    resize_enable_disable_label();
    set_controls_motor_disabled();
    close_run_log();
    // Without a link no reading holds any more.
    clear_readings();
}

bool MainWindow::link_open(uint8_t device) const { return device == 1 ? serial_open_ : device == 2 && can_open_; }

void MainWindow::stop_step_stream() {
    ui_->stop_step_send_pushButton->setEnabled(false);
    ui_->motor_enable_disable_pushButton->setEnabled(true);
    if (comm_mode_ == 1) ui_->set_curve_pushButton->setEnabled(true);
    if (link_open(step_sender_->device())) {
        step_sender_->stop();
    } else {
        step_sender_->halt();
    }
}

void MainWindow::stop_streams() {
    if (step_sender_->is_streaming()) stop_step_stream();
    CurveSender* curve = set_curve_->curve_sender_.get();
    if (curve->is_streaming()) set_curve_->end_curve(link_open(curve->device()));
}

void MainWindow::update_device_state() {
    const QString open_serial = from_utf8(tr_lan("打开串口", "TTL Serial"));
    const QString close_serial = from_utf8(tr_lan("关闭串口", "Close connection"));
    const QString open_can = from_utf8(tr_lan("打开CAN", "CAN"));
    const QString close_can = from_utf8(tr_lan("关闭CAN", "Close connection"));
    DeviceReceiver* serial_receiver = serial_manager_->serial_receiver();
    DeviceReceiver* can_receiver = can_manager_->can_receiver();

    if (serial_open_) {
        ui_->tabWidget->setTabEnabled(1, true);
        ui_->tabWidget->setTabEnabled(2, true);
        if (can_open_) {
            comm_mode_ = 3;
            ui_->open_serial_pushButton->setEnabled(true);
            ui_->open_can_pushButton->setEnabled(true);
            ui_->open_serial_pushButton->setText(close_serial);
            ui_->open_can_pushButton->setText(close_can);
            hv::log_error("Can and serial is both on!");
        } else {
            ui_->voltage_label1->setText(from_utf8(tr_lan("电压", "Voltage")));
            comm_mode_ = 2;
            ui_->open_serial_pushButton->setEnabled(true);
            ui_->open_can_pushButton->setEnabled(false);
            ui_->open_serial_pushButton->setText(close_serial);
            ui_->open_can_pushButton->setText(open_can);
            // Unique: reopening the same link must not stack a second connection.
            connect(serial_receiver, &DeviceReceiver::fps_signal, this, &MainWindow::fps_slot, Qt::UniqueConnection);
            disconnect(can_receiver, &DeviceReceiver::fps_signal, this, &MainWindow::fps_slot);
            hv::log_info("Serial is on and can is off!");
        }
    } else {
        ui_->tabWidget->setTabEnabled(1, false);
        ui_->tabWidget->setTabEnabled(2, false);
        if (can_open_) {
            ui_->voltage_label1->clear();
            ui_->voltage_label->clear();
            comm_mode_ = 1;
            ui_->open_serial_pushButton->setEnabled(false);
            ui_->open_can_pushButton->setEnabled(true);
            ui_->open_serial_pushButton->setText(open_serial);
            ui_->open_can_pushButton->setText(close_can);
            disconnect(serial_receiver, &DeviceReceiver::fps_signal, this, &MainWindow::fps_slot);
            connect(can_receiver, &DeviceReceiver::fps_signal, this, &MainWindow::fps_slot, Qt::UniqueConnection);
            hv::log_info("Can is on and serial is off!");
        } else {
            comm_mode_ = 0;
            ui_->open_serial_pushButton->setEnabled(true);
            ui_->open_can_pushButton->setEnabled(true);
            ui_->open_serial_pushButton->setText(open_serial);
            ui_->open_can_pushButton->setText(open_can);
            hv::log_info("Can and serial is both off!");
        }
    }
}

void MainWindow::set_down_right_controls_enabled(bool enabled) {
    ui_->save_checkBox->setEnabled(enabled);
    ui_->motor_enable_disable_pushButton->setEnabled(enabled);
    ui_->clear_curve_pushButton->setEnabled(enabled);
}

void MainWindow::set_device_group_enabled(bool enabled) {
    ui_->set_param_pushButton->setEnabled(enabled);
    ui_->calibration_pushButton->setEnabled(enabled);
    ui_->set_zero_point_pushButton->setEnabled(enabled);
    ui_->motor_reset_pushButton->setEnabled(enabled);
    ui_->vision_tab->setEnabled(enabled);
    ui_->calibrate_tab->setEnabled(enabled);
    ui_->send_pushButton->setEnabled(enabled);
    set_down_right_controls_enabled(enabled);
    // Locked at start and otherwise never released, which would leave driver errors
    // uncleared for good; it follows the link like the rest of the group.
    ui_->clear_error_pushButton->setEnabled(enabled);
}

void MainWindow::lock_controls() {
    ui_->set_param_pushButton->setEnabled(false);
    ui_->calibration_pushButton->setEnabled(false);
    ui_->set_zero_point_pushButton->setEnabled(false);
    ui_->motor_reset_pushButton->setEnabled(false);
    ui_->vision_tab->setEnabled(false);
    ui_->calibrate_tab->setEnabled(false);
    ui_->send_pushButton->setEnabled(false);
    ui_->target_param_groupBox->setEnabled(false);
    set_down_right_controls_enabled(false);
    ui_->clear_error_pushButton->setEnabled(false);
    ui_->set_curve_pushButton->setEnabled(false);
    ui_->send_motion_param_pushButton->setEnabled(false);
    // Firmware update is offered only over an open CAN link; without one the
    // update would block the window on a request nobody can answer.
    ui_->update_firmware_pushButton->setEnabled(false);
}

void MainWindow::disable_device_controls() {
    set_device_group_enabled(false);
    ui_->update_firmware_pushButton->setEnabled(false);
}

void MainWindow::enable_serial_controls() {
    set_device_group_enabled(true);
    ui_->update_firmware_pushButton->setEnabled(false);
}

void MainWindow::enable_can_controls() {
    set_device_group_enabled(true);
    ui_->update_firmware_pushButton->setEnabled(true);
}

void MainWindow::set_controls_motor_disabled() {
    // Only the update's end releases what it locked.
    if (can_manager_->firmware_updating()) return;
    ui_->down_left_widget->setEnabled(true);
    ui_->send_motion_param_pushButton->setEnabled(false);
    ui_->stop_step_send_pushButton->setEnabled(true);
    ui_->save_checkBox->setEnabled(true);
    ui_->target_param_groupBox->setEnabled(false);
    ui_->set_curve_pushButton->setEnabled(false);
    if (comm_mode_ == 1) ui_->update_firmware_pushButton->setEnabled(true);
}

void MainWindow::set_controls_motor_enabled() {
    if (can_manager_->firmware_updating()) return;
    ui_->down_left_widget->setEnabled(false);
    ui_->send_motion_param_pushButton->setEnabled(true);
    ui_->stop_step_send_pushButton->setEnabled(false);
    ui_->save_checkBox->setEnabled(false);
    ui_->target_param_groupBox->setEnabled(true);
    if (comm_mode_ == 1) ui_->set_curve_pushButton->setEnabled(true);
    ui_->update_firmware_pushButton->setEnabled(false);
}

void MainWindow::lock_controls_for_calibration() {
    // First: a curve the dialog ends would free the window's buttons locked below.
    set_curve_->calibration_state_changed_slot(true);
    set_param_->calibration_state_changed_slot(true);
    ui_->down_left_widget->setEnabled(false);
    ui_->vision_tab->setEnabled(false);
    ui_->calibrate_tab->setEnabled(false);
    ui_->send_pushButton->setEnabled(false);
    ui_->stop_step_send_pushButton->setEnabled(false);
    ui_->target_param_groupBox->setEnabled(false);
    set_down_right_controls_enabled(false);
}

void MainWindow::unlock_controls_after_calibration() {
    set_curve_->calibration_state_changed_slot(false);
    set_param_->calibration_state_changed_slot(false);
    // A link lost during the calibration already set the controls of a closed link;
    // its late verdict must not release them; nor may it release an update's.
    if (comm_mode_ == 0 || can_manager_->firmware_updating()) return;
    ui_->down_left_widget->setEnabled(true);
    ui_->vision_tab->setEnabled(true);
    ui_->calibrate_tab->setEnabled(true);
    ui_->send_pushButton->setEnabled(true);
    ui_->stop_step_send_pushButton->setEnabled(false);
    ui_->target_param_groupBox->setEnabled(true);
    set_down_right_controls_enabled(true);
}

// ---------------------------------------------------------------------------
// Plots and run log

void MainWindow::init_plots() {
    for (QCustomPlot* plot : {ui_->angle_plot, ui_->angle_velocity_plot, ui_->torque_plot}) {
        plot->addGraph();
        plot->graph(0)->setPen(QPen(Qt::green));
        plot->addGraph();
        plot->graph(1)->setPen(QPen(Qt::blue));
        plot->xAxis->setRange(0, static_cast<double>(3.3f));
        plot->setInteractions(QCP::iRangeDrag | QCP::iRangeZoom);
    }

    ui_->calibrate_angle_plot->addGraph();
    ui_->calibrate_angle_plot->graph(0)->setPen(QPen(Qt::blue));
    ui_->calibrate_angle_plot->xAxis->setRange(0, 130);

    ui_->calibrate_compensation_plot->addGraph();
    ui_->calibrate_compensation_plot->graph(0)->setPen(QPen(Qt::blue));
    ui_->calibrate_compensation_plot->xAxis->setRange(0, 130);
    ui_->calibrate_compensation_plot->graph(0)->setLineStyle(QCPGraph::lsNone);
    ui_->calibrate_compensation_plot->graph(0)->setScatterStyle(QCPScatterStyle(QCPScatterStyle::ssCircle, 3));

    const bool zh = lan_is_zh();
    const QString time_s = zh ? QString::fromUtf8("时间(s)") : QStringLiteral("Time(s)");
    const QString time = zh ? QString::fromUtf8("时间") : QStringLiteral("Time");
    ui_->angle_plot->xAxis->setLabel(time_s);
    ui_->angle_plot->yAxis->setLabel(zh ? QString::fromUtf8("角度(rad)") : QStringLiteral("Position(rad)"));
    ui_->angle_velocity_plot->xAxis->setLabel(time_s);
    ui_->angle_velocity_plot->yAxis->setLabel(zh ? QString::fromUtf8("角速度(rad/s)")
                                                 : QStringLiteral("Velocity(rad/s)"));
    ui_->torque_plot->xAxis->setLabel(time_s);
    ui_->torque_plot->yAxis->setLabel(zh ? QString::fromUtf8("扭矩(Nm)") : QString::fromUtf8("Torque(N·m)"));
    ui_->calibrate_angle_plot->xAxis->setLabel(time);
    ui_->calibrate_angle_plot->yAxis->setLabel(zh ? QString::fromUtf8("电机和编码器校准")
                                                  : QStringLiteral("Cogging Map"));
    ui_->calibrate_compensation_plot->xAxis->setLabel(time);
    ui_->calibrate_compensation_plot->yAxis->setLabel(zh ? QString::fromUtf8("电机齿槽转矩补偿校准")
                                                         : QStringLiteral("Offset Lut"));

    ui_->angle_plot->show();
    ui_->angle_velocity_plot->show();
    ui_->torque_plot->show();
    ui_->calibrate_angle_plot->show();
    ui_->calibrate_compensation_plot->show();
}

void MainWindow::plot_pvt_timer_slot() {
    if (real_points_.is_updated() || target_points_.is_updated()) {
        rescale_pvt_axes();
        replot_pvt();
        real_points_.set_updated(false);
        target_points_.set_updated(false);
    }
}

void MainWindow::rescale_pvt_axes() {
    // Only buffers holding samples count; with both empty the ranges stay as they are.
    const bool real_empty = real_points_.is_empty();
    const bool target_empty = target_points_.is_empty();
    if (real_empty && target_empty) return;

    std::array<float, 4> lo{};
    std::array<float, 4> hi{};
    bool have = false;
    auto merge = [&](PvtPoints& points) {
        const std::array<float, 4> mn = points.min_values();
        const std::array<float, 4> mx = points.max_values();
        for (int i = 0; i < 4; ++i) {
            lo[i] = have ? std::min(lo[i], mn[i]) : mn[i];
            hi[i] = have ? std::max(hi[i], mx[i]) : mx[i];
        }
        have = true;
    };
    if (!real_empty) merge(real_points_);
    if (!target_empty) merge(target_points_);

    const float upper_time = hi[0] + 0.3f;
    for (QCustomPlot* plot : {ui_->angle_plot, ui_->angle_velocity_plot, ui_->torque_plot}) {
        plot->xAxis->setRange(static_cast<double>(lo[0]), static_cast<double>(upper_time));
    }
    ui_->angle_plot->yAxis->setRange(static_cast<double>(lo[1]) - 0.5, static_cast<double>(hi[1]) + 0.5);
    ui_->angle_velocity_plot->yAxis->setRange(static_cast<double>(lo[2]) - 0.5, static_cast<double>(hi[2]) + 0.5);
    ui_->torque_plot->yAxis->setRange(static_cast<double>(lo[3]) - 0.5, static_cast<double>(hi[3]) + 0.5);
}

void MainWindow::replot_pvt() {
    // Replots are queued: the two per plot and tick collapse into one repaint of
    // the data set here.
    real_points_.lock();
    ui_->angle_plot->graph(0)->setData(real_points_.time(), real_points_.position());
    ui_->angle_plot->replot(QCustomPlot::rpQueuedReplot);
    ui_->angle_velocity_plot->graph(0)->setData(real_points_.time(), real_points_.velocity());
    ui_->angle_velocity_plot->replot(QCustomPlot::rpQueuedReplot);
    ui_->torque_plot->graph(0)->setData(real_points_.time(), real_points_.torque());
    ui_->torque_plot->replot(QCustomPlot::rpQueuedReplot);
    real_points_.unlock();

    target_points_.lock();
    ui_->angle_plot->graph(1)->setData(target_points_.time(), target_points_.position());
    ui_->angle_plot->replot(QCustomPlot::rpQueuedReplot);
    ui_->angle_velocity_plot->graph(1)->setData(target_points_.time(), target_points_.velocity());
    ui_->angle_velocity_plot->replot(QCustomPlot::rpQueuedReplot);
    ui_->torque_plot->graph(1)->setData(target_points_.time(), target_points_.torque());
    ui_->torque_plot->replot(QCustomPlot::rpQueuedReplot);
    target_points_.unlock();
}

void MainWindow::add_real_state(const StampedMoitonState& state) {
    float sample[4];
    sample_array(state, sample);
    real_points_.check_length();
    real_points_.append(sample);
    write_run_log(sample, false);
}

void MainWindow::add_target_state(const StampedMoitonState& state) {
    float sample[4];
    sample_array(state, sample);
    target_points_.check_length();
    target_points_.append(sample);
    write_run_log(sample, true);
}

void MainWindow::clear_pvt() {
    real_points_.clear();
    target_points_.clear();
    real_points_.set_updated(true);
    target_points_.set_updated(true);
}

void MainWindow::open_run_log(const std::string& path) {
    if (!csv_file_.create(path)) run_log_failed(true);
}

void MainWindow::write_run_log(const float sample[4], bool target) {
    if (!csv_file_.write(sample, target)) run_log_failed(false);
}

void MainWindow::close_run_log() {
    if (!csv_file_.end()) run_log_failed(false);
}

// No tick without a file: the motor runs unlogged, as the box says.
void MainWindow::run_log_failed(bool at_create) {
    const std::string text =
        at_create ? tr_lan("无法创建运行记录 %1：%2。运行数据不会保存。",
                           "Cannot create the run log %1: %2. Run data is not saved.")
                  : tr_lan("运行记录 %1 写入失败：%2。已写入的数据保留，之后的运行数据不会保存。",
                           "Writing the run log %1 failed: %2. The rows written so far are kept; later run data "
                           "is not saved.");
    show_alert_box(from_utf8(text).arg(from_utf8(csv_file_.path()),
                                       QString::fromLocal8Bit(csv_file_.error().c_str())));
    ui_->save_checkBox->setChecked(false);
}

void MainWindow::add_calibrate_angle_point(float value) { calibrate_points_.add_angle_point(value); }

void MainWindow::add_calibrate_compensation_point(float value) { calibrate_points_.add_compensation_point(value); }

void MainWindow::plot_calibrate_angle() {
    QCustomPlot* plot = ui_->calibrate_angle_plot;
    plot->yAxis->setRange(calibrate_points_.min_angle(), calibrate_points_.max_angle());
    plot->graph(0)->setData(calibrate_points_.angle_x(), calibrate_points_.angle_y());
    plot->replot();
}

void MainWindow::plot_calibrate_compensation() {
    QCustomPlot* plot = ui_->calibrate_compensation_plot;
    plot->yAxis->setRange(calibrate_points_.min_compensation(), calibrate_points_.max_compensation());
    plot->graph(0)->setData(calibrate_points_.compensation_x(), calibrate_points_.compensation_y());
    plot->replot();
}

void MainWindow::clear_calibrate_plots() {
    calibrate_points_.clear();
    ui_->calibrate_angle_plot->graph(0)->setData(calibrate_points_.angle_x(), calibrate_points_.angle_y());
    ui_->calibrate_angle_plot->replot();
    ui_->calibrate_compensation_plot->graph(0)->setData(calibrate_points_.compensation_x(),
                                                        calibrate_points_.compensation_y());
    ui_->calibrate_compensation_plot->replot();
}

// ---------------------------------------------------------------------------
// Motor commands

void MainWindow::on_open_serial_pushButton_clicked() {
    // The button closes an open link: the streams end first, while the driver still hears the stop.
    if (serial_open_) stop_streams();
    hv::log_info("Open set_serial_ window");
    serial_manager_->show_set_serial_dialog();
}

void MainWindow::on_open_can_pushButton_clicked() {
    if (can_open_) stop_streams();
    hv::log_info("Open set_can_ window");
    can_manager_->show_set_can_dialog();
}

void MainWindow::on_set_param_pushButton_clicked() {
    if (comm_mode_ == 1) {
        can_manager_->get_config();
    } else if (comm_mode_ == 2) {
        serial_manager_->request_firmware_param();
    }
    hv::log_info("Open set param window");
    set_param_->show();
}

// The write pauses between its requests (1 s over serial, 1.8 s over CAN); those
// pauses run on the parameter thread so the window keeps responding. A store
// queues behind the write, 10 ms after it. Both belong to the link open now.
void MainWindow::write_firmware_param_slot(FirmwareParams param) {
    if (comm_mode_ == 1) {
        param_jobs_->post([can = can_manager_, param, session = can_manager_->link_session()] {
            can->write_firmware_param(param, session);
        });
    } else if (comm_mode_ == 2) {
        param_jobs_->post([serial = serial_manager_, param, session = serial_manager_->link_session()] {
            serial->write_firmware_param(param, session);
        });
    }
}

void MainWindow::flash_firmware_param_slot() {
    const auto pause = std::chrono::milliseconds(10);
    if (comm_mode_ == 1) {
        param_jobs_->post([this, can = can_manager_, pause, session = can_manager_->link_session()] {
            if (param_jobs_->pause(pause)) can->save_config(session);
        });
    } else if (comm_mode_ == 2) {
        param_jobs_->post([this, serial = serial_manager_, pause, session = serial_manager_->link_session()] {
            if (param_jobs_->pause(pause)) serial->flash_firmware_param(session);
        });
    }
}

void MainWindow::on_set_zero_point_pushButton_clicked() {
    if (comm_mode_ == 1) {
        can_manager_->set_zero_point();
    } else if (comm_mode_ == 2) {
        serial_manager_->set_zero_point();
    }
}

void MainWindow::on_motor_reset_pushButton_clicked() {
    if (comm_mode_ == 1) {
        can_manager_->reset_motor();
    } else if (comm_mode_ == 2) {
        serial_manager_->reset_motor();
    }
}

void MainWindow::on_clear_error_pushButton_clicked() {
    if (comm_mode_ == 1) {
        can_manager_->clear_error();
    } else if (comm_mode_ == 2) {
        serial_manager_->clear_error();
    }
}

void MainWindow::on_update_firmware_pushButton_clicked() {
    // A parameter write's frames would interleave with the image's. Refused rather
    // than waited for: the write ends within seconds, and an update held back
    // behind it would start talking to the driver at a moment nobody chose.
    if (!param_jobs_->idle()) {
        hv::log_warn("Firmware update refused: a parameter write is still running");
        show_tip_box(tr_lan("参数写入中，请在写入结束后再升级固件",
                            "Parameters are being written: update the firmware once the write has ended."),
                     TipKind::kFirmwareRefused);
        return;
    }
    // A command waiting in the adapter for the bus would reach the driver, and its
    // reply the window, in the middle of the image.
    if (can_manager_->bus_silent()) {
        hv::log_warn("Firmware update refused: the CAN bus does not answer");
        show_tip_box(tr_lan("CAN总线无应答，请在电机上电并应答后再升级固件",
                            "The CAN bus does not answer: update the firmware once the motor is powered and answers."),
                     TipKind::kFirmwareRefused);
        return;
    }
    // Motion frames must not interleave with the image chunks.
    stop_streams();
    can_manager_->update_firmware();
}

void MainWindow::on_set_curve_pushButton_clicked() { set_curve_->show(); }

void MainWindow::on_send_motion_param_pushButton_clicked() {
    const QString refusal = StrictDoubleSpinBox::refusal(ui_->target_param_groupBox->findChildren<QAbstractSpinBox*>());
    if (!refusal.isEmpty()) {
        hv::log_warn("Target not sent: ", refusal.toUtf8().toStdString());
        show_alert_box(refusal);
        return;
    }
    // One stream at a time.
    if (set_curve_->curve_sender_->is_streaming()) set_curve_->on_stop_pushButton_clicked();
    ui_->stop_step_send_pushButton->setEnabled(true);
    repaint();
    ui_->motor_enable_disable_pushButton->setEnabled(false);
    ui_->set_curve_pushButton->setEnabled(false);
    if (comm_mode_ == 1) {
        step_sender_->set_param(2, 1000);
    } else if (comm_mode_ == 2) {
        step_sender_->set_param(1, 100);
    }
    const float target[5] = {
        static_cast<float>(ui_->exp_angle_doubleSpinBox->value()),
        static_cast<float>(ui_->exp_angle_velocity_doubleSpinBox->value()),
        static_cast<float>(ui_->torque_doubleSpinBox->value()),
        static_cast<float>(ui_->kp_doubleSpinBox->value()),
        static_cast<float>(ui_->kd_doubleSpinBox->value()),
    };
    step_sender_->set_target(target);
    step_sender_->start();
}

void MainWindow::on_stop_step_send_pushButton_clicked() {
    ui_->stop_step_send_pushButton->setEnabled(false);
    ui_->motor_enable_disable_pushButton->setEnabled(true);
    if (comm_mode_ == 1) ui_->set_curve_pushButton->setEnabled(true);
    step_sender_->stop();
}

void MainWindow::on_motor_enable_disable_pushButton_clicked() {
    if (motor_enabled_) {
        disable_motor();
        return;
    }
    fault_disabled_ = false;  // the operator asks for the motor again
    if (!ui_->save_checkBox->isChecked()) {
        enable_motor();
        return;
    }
    const int result = save_->exec();
    if (result == 1) {
        const QDateTime now = QDateTime::currentDateTime();
        const QString name = QStringLiteral("hv-motor-tool-log-") + now.date().toString(Qt::ISODate) +
                             QStringLiteral("-") + now.time().toString(QStringLiteral("HH-mm-ss")) +
                             QStringLiteral(".csv");
        const QString path = QDir(selected_dir_).absoluteFilePath(name);
        qDebug() << "[INFO] File dir" << path;
        open_run_log(path.toUtf8().toStdString());
        enable_motor();
    } else if (result == 0) {
        hv::log_info("Save rejected");
    } else {
        enable_motor();
    }
}

void MainWindow::reset_start_times() {
    const std::chrono::steady_clock::time_point now = std::chrono::steady_clock::now();
    set_curve_->set_start_time(now);
    step_sender_->set_start_time(now);
    if (comm_mode_ == 1) {
        can_manager_->set_start_time(now);
    } else if (comm_mode_ == 2) {
        serial_manager_->set_start_time(now);
    }
}

void MainWindow::enable_motor() {
    clear_pvt();
    reset_start_times();
    if (comm_mode_ == 1) {
        can_manager_->enable_motor();
    } else if (comm_mode_ == 2) {
        serial_manager_->enable_motor();
    }
}

void MainWindow::disable_motor() {
    if (comm_mode_ == 1) {
        can_manager_->disable_motor();
    } else if (comm_mode_ == 2) {
        serial_manager_->disable_motor();
    }
    close_run_log();
}

void MainWindow::on_clear_curve_pushButton_clicked() {
    hv::log_info("Clearing curve");
    clear_pvt();
    reset_start_times();
}

void MainWindow::enable_sucess_slot() {
    motor_enabled_ = true;
    set_param_->motor_state_changed_slot(true);
    disabled_motion_count_ = 0;
    ui_->motor_enable_disable_pushButton->setText(from_utf8(tr_lan("电机失能", "DISABLE")));
    show_status_message(tr_lan("使能成功", "Motor is enabled."));
    resize_enable_disable_label();
    set_controls_motor_enabled();
}

void MainWindow::disable_sucess_slot() {
    motor_enabled_ = false;
    set_param_->motor_state_changed_slot(false);
    disabled_motion_count_ = 0;
    ui_->motor_enable_disable_pushButton->setText(from_utf8(tr_lan("电机使能", "ENABLE")));
    show_status_message(tr_lan("失能成功", "Motor is disabled."));
    resize_enable_disable_label();
    set_controls_motor_disabled();
}

void MainWindow::resize_enable_disable_label() {
    const QImage image(motor_enabled_ ? QStringLiteral(":/icon/yes.jpeg") : QStringLiteral(":/icon/no.jpeg"));
    const QPixmap pixmap = QPixmap::fromImage(image);
    ui_->indicator_label->setPixmap(pixmap.scaled(ui_->indicator_label->width() - 18,
                                                  ui_->indicator_label->height() - 18, Qt::KeepAspectRatio,
                                                  Qt::SmoothTransformation));
}

void MainWindow::motor_motion_state_slot(QVector<StampedMoitonState>& state) {
    // Runs inside the receiver's flush, under its buffer lock; the buffer is ours to drain.
    if (!state.isEmpty()) {
        const StampedMoitonState& last = state.last();
        ui_->angle_label->setText(QString::number(last.position, 'f', 2));
        ui_->angle_velocity_label->setText(QString::number(last.velocity, 'f', 2));
        ui_->torque_label->setText(QString::number(last.torque, 'f', 2));
    }
    for (const StampedMoitonState& sample : state) add_real_state(sample);
    state.clear();

    // No enable between the frames of a firmware image.
    if (!motor_enabled_ && !fault_disabled_ && !can_manager_->firmware_updating()) {
        ++disabled_motion_count_;
        if (disabled_motion_count_ >= 30) {
            enable_motor();
            disabled_motion_count_ = 0;
        }
    }
}

void MainWindow::target_motion_state_slot(QVector<StampedMoitonState> states) {
    for (const StampedMoitonState& sample : states) add_target_state(sample);
}

// ---------------------------------------------------------------------------
// Status, errors and messages

void MainWindow::show_status_message(const std::string& message) {
    const std::time_t now = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now());
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    ui_->time_label->setText(QString::fromLatin1(text));
    ui_->status_label->setText(from_utf8(message));
}

void MainWindow::show_tip_box(const std::string& text, TipKind kind) {
    const int k = static_cast<int>(kind);
    // A closed box lingers until the event loop deletes it; only a visible one is reused.
    if (tip_boxes_[k] && tip_boxes_[k]->isVisible()) {
        // Still open: a flood of replies updates one box instead of opening many.
        *tip_texts_[k] = text;
        tip_boxes_[k]->setText(from_utf8(text));
        return;
    }
    auto* box = new QMessageBox(this);
    box->setWindowTitle(from_utf8(tr_lan("提示", "Tips")));
    box->setText(from_utf8(text));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    tip_texts_[k] = std::make_shared<std::string>(text);
    connect(
        box, &QObject::destroyed, box, [shown = tip_texts_[k]]() { hv::log_info(*shown, " QMessageBox destroyed!"); },
        Qt::DirectConnection);
    tip_boxes_[k] = box;
    box->show();
}

void MainWindow::show_alert_box(const QString& text) { show_alert_box(text, lan_is_zh()); }

void MainWindow::show_alert_box(const QString& text, bool zh) {
    auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(zh ? "警告" : "Warning"), text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    box->show();
}

void MainWindow::serial_open_failed_slot(QString device_name, QString reason, bool denied) {
    QString text = from_utf8(tr_lan("无法打开串口 %1：%2", "Cannot open serial port %1: %2")).arg(device_name, reason);
    if (denied) {
        text += QLatin1Char('\n');
        text += from_utf8(tr_lan("请将当前用户加入 dialout 组，重新登录后再试。",
                                 "Add the user to the dialout group, log in again and retry."));
    }
    show_alert_box(text);
}

void MainWindow::record_not_saved_slot(QString file_name, int serial_number, CheckData check_data) {
    const QString verdict = from_utf8(check_data.pass ? tr_lan("合格", "passed") : tr_lan("不合格", "failed"));
    show_alert_box(from_utf8(tr_lan("检测结果未能写入 %1：序列号 %2，%3（%4）",
                                    "The check result could not be written to %1: serial number %2, %3 (%4)"))
                       .arg(file_name, QString::number(serial_number), verdict, gbk_to_text(check_data.result)));
}

void MainWindow::motor_common_state_slot(CommonState state) {
    if (state.voltage != kCommonStateMissing) ui_->voltage_label->setText(QString::number(state.voltage, 'f', 2));
    if (state.motor_temp != kCommonStateMissing)
        ui_->motor_temp_label->setText(QString::number(state.motor_temp, 'f', 2));
    if (state.driver_temp != kCommonStateMissing)
        ui_->driver_temp_label->setText(QString::number(state.driver_temp, 'f', 2));
}

void MainWindow::fps_slot(FrameCount frame_count) {
    if (comm_mode_ == 2) {
        ui_->common_count_label->setText(from_utf8(tr_lan("状态刷新率: ", "Status Update Rate: ")) +
                                         QString::number(frame_count.common_count));
        ui_->motion_count_label->setText(from_utf8(tr_lan("波形刷新率: ", "Waveform Update Rate: ")) +
                                         QString::number(frame_count.motion_count));
    } else if (comm_mode_ == 1) {
        ui_->common_count_label->setText(from_utf8(tr_lan("刷新率: ", "Update Rate: ")) +
                                         QString::number(frame_count.common_count));
        ui_->motion_count_label->setText(QString());
    }
}

void MainWindow::driver_version_slot(DriverVersion data) {
    uint32_t prefix = 0;
    uint32_t suffix = 0;
    if (!version_number(data.prefix, &prefix) || !version_number(data.suffix, &suffix)) {
        hv::log_warn("Driver version ignored: prefix ", data.prefix, ", suffix ", data.suffix);
        return;
    }
    ui_->driver_version_label->setEnabled(true);
    ui_->driver_version_label->setText(QStringLiteral("V%1-%2").arg(prefix).arg(suffix));
}

void MainWindow::error_frame_slot(uint16_t error_state) {
    if (error_state == 0) return;
    hv::log_error("error_bit_set: ", std::hex, error_state);
    fault_disabled_ = true;

    if (motor_enabled_) {
        step_sender_->stop();
        set_curve_->on_stop_pushButton_clicked();
        disable_motor();
    }

    for (int bit = 0; bit < 8; ++bit) {
        if (error_state & (1u << bit)) {
            show_status_message(tr_lan(kErrorBits[bit].zh, kErrorBits[bit].en));
            hv::log_error(kErrorBits[bit].log);
            return;
        }
    }
    const std::string code = "0x" + QString::number(error_state, 16).toStdString();
    show_status_message(tr_lan("错误码: ", "Error code: ") + code);
    hv::log_error("Error code: ", code);
}

void MainWindow::zero_point_slot() { show_status_message(tr_lan("设置零点成功", "Origin is set successfully.")); }

void MainWindow::reset_success_slot() { show_status_message(tr_lan("复位成功", "Reset is successful.")); }

void MainWindow::error_reset_success_slot() { show_status_message(tr_lan("清除错误成功", "Error is cleared.")); }

void MainWindow::set_param_success_slot() {
    show_status_message(tr_lan("参数设置成功", "New parameters are saved."));
}

void MainWindow::motor_firm_state_slot(FirmwareState) {
    show_status_message(tr_lan("参数获取成功", "Successfully get parameters."));
    hv::log_info("Get param success!");
}

void MainWindow::update_firmware_start_slot() {
    show_status_message(tr_lan("固件升级中，请稍等", "Updating...Please wait."));
    repaint();
}

void MainWindow::update_firmware_failed_slot() {
    std::string text = tr_lan("固件升级失败，请重试", "Failed to update firmware!");
    const QString& reason = can_manager_->firmware_failure();
    if (!reason.isEmpty()) text += " " + reason.toStdString();
    show_status_message(text);
}

void MainWindow::update_firmware_success_slot() {
    show_status_message(tr_lan("固件升级成功", "Firmware is updated."));
}

void MainWindow::update_firmware_progress_slot(double percent) {
    show_status_message(tr_lan("固件升级中，请稍等", "Updating...Please wait.") + " " +
                        QString::number(percent, 'f', 1).toStdString() + "%");
}

// Nothing else may reach the driver mid-image, nor may its link change or the tool
// restart; the containers keep what their buttons are set to meanwhile.
void MainWindow::update_firmware_running_slot(bool running) {
    for (QWidget* w : {static_cast<QWidget*>(ui_->groupBox), ui_->down_left_widget, static_cast<QWidget*>(ui_->menuBar),
                       static_cast<QWidget*>(set_param_.get()), static_cast<QWidget*>(set_curve_.get())})
        w->setEnabled(!running);
    if (running) {
        for (QWidget* w : {ui_->update_firmware_pushButton, ui_->motor_enable_disable_pushButton,
                           ui_->clear_error_pushButton, ui_->set_curve_pushButton})
            w->setEnabled(false);
        ui_->target_param_groupBox->setEnabled(false);
    } else if (can_open_) {
        // What replies changed meanwhile shows from here on.
        enable_can_controls();
        if (motor_enabled_) {
            set_controls_motor_enabled();
        } else {
            set_controls_motor_disabled();
        }
    } else {
        // As a link lost outside an update leaves them.
        set_controls_motor_disabled();
        disable_device_controls();
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (!can_manager_->firmware_updating()) return event->accept();
    event->ignore();
    show_alert_box(from_utf8(tr_lan("固件升级中，升级结束前不能关闭窗口。",
                                    "A firmware update is under way: the window cannot be closed until it ends.")));
}

// ---------------------------------------------------------------------------
// Calibration and parameter check

void MainWindow::on_calibration_pushButton_clicked() {
    // The driver may confirm a calibration before its start is judged; a second one
    // then would take the first one's verdict.
    if ((comm_mode_ == 1 && can_manager_->calibration_judging()) ||
        (comm_mode_ == 2 && serial_manager_->calibration_judging())) {
        hv::log_warn("Calibration refused: the last one is still being judged");
        show_status_message(tr_lan("上一次校准仍在确认中，请稍后再试",
                                   "The last calibration is still being confirmed: try again in a few seconds."));
        return;
    }
    int serial_number = 0;
    if (!SerialNumberDialog::ask(this, &serial_number)) return;
    hv::log_info("序列号:", serial_number);
    csv_files4check_->set_serial_number(serial_number);
    lock_controls_for_calibration();
    clear_calibrate_plots();
    ui_->tabWidget->setCurrentIndex(1);
    if (comm_mode_ == 1) {
        can_manager_->calibrate_motor();
    } else if (comm_mode_ == 2) {
        serial_manager_->calibrate_motor();
    }
}

void MainWindow::calibration_start_slot() {
    show_tip_box(tr_lan("校准开始", "Calibration start"), TipKind::kCalibrationStart);
}

void MainWindow::calibration_sucess_slot() {
    show_tip_box(tr_lan("校准成功", "Calibration is successful."), TipKind::kCalibrationSuccess);
    unlock_controls_after_calibration();
}

void MainWindow::calibrate_failed_slot() {
    show_tip_box(tr_lan("校准失败", "Calibration failed!"), TipKind::kCalibrationFailed);
    unlock_controls_after_calibration();
}

void MainWindow::phase_sequence_slot(int phase_sequence) {
    if (phase_sequence == 0) {
        show_tip_box(tr_lan("编码器方向：反向", "Encoder Direction: Reverse"), TipKind::kPhaseSequence);
    } else if (phase_sequence == 1) {
        show_tip_box(tr_lan("编码器方向：正向", "Encode Direction: Forward"), TipKind::kPhaseSequence);
    } else {
        show_tip_box(tr_lan("未知相序", "Unknown Phase Sequence!"), TipKind::kPhaseSequence);
    }
}

void MainWindow::calibrate_angle_data_slot(float calibrate_data) {
    add_calibrate_angle_point(calibrate_data);
    plot_calibrate_angle();
}

void MainWindow::calibrate_compensation_data_slot(float compensation_data) {
    add_calibrate_compensation_point(compensation_data);
    plot_calibrate_compensation();
}

void MainWindow::param_check_slot(uint16_t param_check_state) {
    // Codes 1 to 6 name the failed measurement; 0 (passed) and unknown codes show nothing.
    static const char* const kTexts[6][2] = {
        {"电阻不合格", "The resistor is defective"},
        {"电流采样不合格", "Current sampling is defective"},
        {"电感不合格", "Inductance is defective"},
        {"反电动势系数不合格", "Back EMF coefficient is defective"},
        {"转动惯量不合格", "Moment of inertia is defective"},
        {"匀速运动不合格", "Constant velocity motion is defective"},
    };
    if (param_check_state < 1 || param_check_state > 6) return;
    const char* const* text = kTexts[param_check_state - 1];
    show_tip_box(tr_lan(text[0], text[1]), TipKind::kParamCheck);
}

// ---------------------------------------------------------------------------
// Serial terminal

void MainWindow::append_textBrowser_slot(QByteArray& received_data) {
    QString text;
    text.reserve(received_data.size() * 3);
    for (const char byte : received_data) {
        text += QString::number(static_cast<unsigned char>(byte), 16).rightJustified(2, QLatin1Char('0'));
        text += QLatin1Char(' ');
    }
    terminal_pending_.append(text);
    // The view keeps only the newest chunks anyway.
    if (terminal_pending_.size() > kTerminalMaxChunks) terminal_pending_.removeFirst();
    if (!terminal_timer_.isActive()) terminal_timer_.start();
}

void MainWindow::flush_terminal() {
    if (terminal_pending_.isEmpty()) return;
    // Plain text: each line break starts the next chunk's paragraph.
    ui_->textBrowser->append(terminal_pending_.join(QLatin1Char('\n')));
    terminal_pending_.clear();
}

void MainWindow::on_send_hex_radioButton_toggled(bool) { ui_->input_textEdit->clear(); }

void MainWindow::on_clear_pushButton_clicked() {
    terminal_pending_.clear();
    ui_->textBrowser->clear();
}

bool MainWindow::is_hex_string(const QString& text) {
    QRegExp hex(QStringLiteral("^[0-9A-Fa-f\\s]+$"));
    return hex.exactMatch(text);
}

void MainWindow::on_input_textEdit_textChanged() {
    QString text = ui_->input_textEdit->toPlainText();
    if (text.isEmpty() || ui_->send_ascii_radioButton->isChecked() || is_hex_string(text)) return;
    // Cut at the first character that is neither hexadecimal nor white space, in
    // one pass: what removing characters from the end until the text is valid
    // leaves, without setting the text once per character (a paste of thousands).
    int valid = 0;
    while (valid < text.size()) {
        const QChar c = text[valid];
        if (!is_hex_digit(c) && !c.isSpace()) break;
        ++valid;
    }
    text.truncate(valid);
    {
        const QSignalBlocker blocker(ui_->input_textEdit);
        ui_->input_textEdit->setPlainText(text);
    }
    QTextCursor cursor = ui_->input_textEdit->textCursor();
    cursor.setPosition(text.length());
    ui_->input_textEdit->setTextCursor(cursor);
}

void MainWindow::on_send_pushButton_clicked() {
    QByteArray bytes;
    if (ui_->send_ascii_radioButton->isChecked()) {
        bytes = ui_->input_textEdit->toPlainText().toUtf8();
    } else {
        QString text = ui_->input_textEdit->toPlainText();
        text.remove(QLatin1Char(' '));
        for (int i = 0; i < text.length(); i += 2) {
            const QString pair = text.mid(i, 2);
            // toInt trims white space, so a pair such as "\n8" would pass as 08.
            bool ok = std::all_of(pair.begin(), pair.end(), is_hex_digit);
            const int value = ok ? pair.toInt(&ok, 16) : 0;
            if (!ok) {
                hv::log_warn("Invalid hex input: ", pair.toUtf8().toStdString());
                show_status_message(tr_lan("发送被拒绝，无效的十六进制输入: ", "Send refused. Invalid hex input: ") +
                                    shown_pair(pair).toUtf8().toStdString());
                return;
            }
            bytes.append(static_cast<char>(value & 0xff));
        }
    }
    serial_manager_->send_raw(bytes);
}

// ---------------------------------------------------------------------------
// Language switch, restart and resize

void MainWindow::on_actionChinese_triggered() {
    switch_language("on_actionChinese_triggered", "Setting language to chinese，enable after restart, comfirmed？",
                    "zh");
}

void MainWindow::on_actionEnglish_triggered() {
    switch_language("on_actionEnglish_triggered", "将把语言设置为英语，程序自动重启后生效，确认设置？", "en");
}

void MainWindow::switch_language(const char* slot_name, const std::string& question, const char* lan) {
    hv::log_plain(slot_name);
    const bool accepted = show_restart_dialog(question);
    hv::log_plain("result ", accepted ? 1 : 0);
    if (!accepted) return;
    const bool zh = lan_is_zh();  // the language this window shows
    nlohmann::json& document = config_manager_->document_;
    const nlohmann::json before = document;
    document["lan"] = lan;
    if (config_manager_->save()) {
        // The choice stays saved for the next start; this instance goes on.
        if (!restart_application())
            show_alert_box(QString::fromUtf8(zh ? "程序无法重启：%1 无法启动。新的语言将在下次启动时生效。"
                                                : "The tool could not be restarted: %1 could not be started. "
                                                  "The new language takes effect at the next start.")
                               .arg(QCoreApplication::applicationFilePath()),
                           zh);
        return;
    }
    // A restart would come back in the old language: keep this one and say why.
    document = before;
    show_alert_box(from_utf8(tr_lan("设置无法保存到 %1：%2。语言未更改。",
                                    "The settings cannot be saved to %1: %2. The language is not changed."))
                       .arg(QFileInfo(QString::fromStdString(config_manager_->path())).absoluteFilePath(),
                            QString::fromLocal8Bit(config_manager_->save_error().c_str())));
}

bool MainWindow::show_restart_dialog(const std::string& question) {
    QDialog dialog;
    dialog.setWindowFlags(dialog.windowFlags() & ~Qt::WindowContextHelpButtonHint);
    dialog.setWindowFlags(dialog.windowFlags() & ~Qt::WindowMinMaxButtonsHint);
    dialog.setWindowTitle(from_utf8(tr_lan("提示", "Tips")));
    auto* layout = new QVBoxLayout(&dialog);
    auto* label = new QLabel(from_utf8(question), &dialog);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, &dialog);
    layout->addWidget(label);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    return dialog.exec() == QDialog::Accepted;
}

bool MainWindow::restart_application() {
    // arguments() starts with the program path, which is not an argument of the new process.
    if (!ProcessLauncher::start_detached(QCoreApplication::applicationFilePath(), QCoreApplication::arguments().mid(1),
                                         QDir::currentPath())) {
        hv::log_error("Restart failed: ", QCoreApplication::applicationFilePath().toStdString(),
                      " could not be started");
        return false;
    }
    QCoreApplication::exit(0);
    return true;
}

void MainWindow::resizeEvent(QResizeEvent*) {
    resize_enable_disable_label();

    const QPixmap logo = QPixmap::fromImage(QImage(QStringLiteral(":/icon/logo.png")));
    ui_->logo_label->setPixmap(logo.scaled(ui_->logo_label->width(), ui_->logo_label->height(), Qt::KeepAspectRatio,
                                           Qt::SmoothTransformation));

    const QPixmap tip = QPixmap::fromImage(QImage(QStringLiteral(":/icon/tip.png")));
    const QPixmap scaled_tip = tip.scaled(ui_->p_text_label->width() - 10, ui_->p_text_label->height() - 10,
                                          Qt::KeepAspectRatio, Qt::SmoothTransformation);
    ui_->p_text_label->setPixmap(scaled_tip);
    ui_->v_text_label->setPixmap(scaled_tip);
    ui_->t_text_label->setPixmap(scaled_tip);
    ui_->kp_text_label->setPixmap(scaled_tip);
    ui_->kd_text_label->setPixmap(scaled_tip);
}
