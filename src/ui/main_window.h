#pragma once
// The tool's main window: link state, motor commands, plots, status and errors,
// calibration display, the raw serial terminal and the language menu.
#include <QByteArray>
#include <QMainWindow>
#include <QMessageBox>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QVector>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>

#include "calibrate_points.h"
#include "csv_file.h"
#include "motor_types.h"
#include "pvt_points.h"

class Ui_MainWindow;
class ConfigManager;
class CsvFiles4Check;
class SerialManager;
class CanManager;
class LinkReplies;
class StepSender;
class JobThread;
class Save;
class SetParam;
class SetCurve;
class QCloseEvent;
class QResizeEvent;

class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    explicit MainWindow(std::shared_ptr<ConfigManager> config_manager, QWidget* parent = nullptr);
    ~MainWindow() override;

    // The links, for tests that shorten their intervals.
    SerialManager* serial_manager() { return serial_manager_.get(); }
    CanManager* can_manager() { return can_manager_.get(); }

protected:
    void resizeEvent(QResizeEvent* event) override;
    // Refused while a firmware update runs: the driver would wait for the rest of its image.
    void closeEvent(QCloseEvent* event) override;

private slots:
    // Form widgets, connected by name.
    void on_open_serial_pushButton_clicked();
    void on_open_can_pushButton_clicked();
    void on_set_param_pushButton_clicked();
    void on_calibration_pushButton_clicked();
    void on_set_zero_point_pushButton_clicked();
    void on_motor_reset_pushButton_clicked();
    void on_send_motion_param_pushButton_clicked();
    void on_stop_step_send_pushButton_clicked();
    void on_motor_enable_disable_pushButton_clicked();
    void on_clear_curve_pushButton_clicked();
    void on_clear_error_pushButton_clicked();
    void on_set_curve_pushButton_clicked();
    void on_update_firmware_pushButton_clicked();
    void on_send_hex_radioButton_toggled(bool checked);
    void on_clear_pushButton_clicked();
    void on_send_pushButton_clicked();
    void on_input_textEdit_textChanged();
    void on_actionChinese_triggered();
    void on_actionEnglish_triggered();

public slots:
    // Dialogs and senders.
    void write_firmware_param_slot(FirmwareParams param);
    void flash_firmware_param_slot();
    void selected_dir_slot(QString selected_dir) { selected_dir_ = selected_dir; }
    void target_motion_state_slot(QVector<StampedMoitonState> states);

    // Link state.
    void serial_state_changed_slot(bool state);
    void can_state_changed_slot(bool state);
    void can_bus_silent_slot();

    // Terminal.
    void append_textBrowser_slot(QByteArray& received_data);

    // Replies of both links.
    void enable_sucess_slot();
    void disable_sucess_slot();
    void calibration_start_slot();
    void calibration_sucess_slot();
    void param_check_slot(uint16_t param_check_state);
    void reset_success_slot();
    void zero_point_slot();
    void phase_sequence_slot(int phase_sequence);
    void calibrate_angle_data_slot(float calibrate_data);
    void calibrate_compensation_data_slot(float compensation_data);
    void motor_common_state_slot(CommonState state);
    void motor_motion_state_slot(QVector<StampedMoitonState>& state);
    void motor_firm_state_slot(FirmwareState state);
    void driver_version_slot(DriverVersion data);
    void error_reset_success_slot();
    void error_frame_slot(uint16_t error_state);
    void set_param_success_slot();
    void fps_slot(FrameCount frame_count);

    // Link managers.
    void calibrate_failed_slot();
    void serial_open_failed_slot(QString device_name, QString reason, bool denied);
    // Check files.
    void record_not_saved_slot(QString file_name, int serial_number, CheckData check_data);
    void update_firmware_start_slot();
    void update_firmware_failed_slot();
    void update_firmware_success_slot();
    void update_firmware_running_slot(bool running);
    void update_firmware_progress_slot(double percent);

    void plot_pvt_timer_slot();

private:
    // Construction steps.
    void init_ui();
    void init_dialog_connections();
    void init_csv_files4check();
    template <class Receiver>
    void connect_replies(Receiver* receiver, const LinkReplies& replies);
    void init_serial_connections();
    void init_can_connections();
    void init_plot_timer();

    // Link state and control groups.
    void update_device_state();
    void lock_controls();
    void disable_device_controls();
    void enable_serial_controls();
    void enable_can_controls();
    void set_controls_motor_disabled();
    void set_controls_motor_enabled();
    void lock_controls_for_calibration();
    void unlock_controls_after_calibration();
    void set_device_group_enabled(bool enabled);
    void set_down_right_controls_enabled(bool enabled);

    // Plots and run log.
    void init_plots();
    void rescale_pvt_axes();
    void replot_pvt();
    void add_real_state(const StampedMoitonState& state);
    void add_target_state(const StampedMoitonState& state);
    void clear_pvt();
    // A log that cannot be created or stops taking rows is shown and the save
    // tick goes off.
    void open_run_log(const std::string& path);
    void write_run_log(const float sample[4], bool target);
    void close_run_log();
    void run_log_failed(bool at_create);
    void add_calibrate_angle_point(float value);
    void add_calibrate_compensation_point(float value);
    void plot_calibrate_angle();
    void plot_calibrate_compensation();
    void clear_calibrate_plots();

    // Motor commands.
    void enable_motor();
    void disable_motor();
    void reset_start_times();
    // Stops the step stream and the curve; the all-zero target goes out only
    // while the stream's link is open.
    void stop_streams();
    void stop_step_stream();
    void reset_after_link_closed();
    void clear_old_session();
    void clear_readings();
    bool link_open(uint8_t device) const;
    void resize_enable_disable_label();

    // Messages. At most one tip box of each kind is open; a later text replaces it
    // while the box is visible.
    enum class TipKind {
        kCalibrationStart,
        kCalibrationSuccess,
        kCalibrationFailed,
        kPhaseSequence,
        kParamCheck,
        kFirmwareRefused,
        kCount
    };
    void show_status_message(const std::string& message);
    void show_tip_box(const std::string& text, TipKind kind);
    // A warning the operator must see; it does not wait, and it stays above the
    // device dialogs.
    void show_alert_box(const QString& text);
    void show_alert_box(const QString& text, bool zh);

    // Terminal.
    bool is_hex_string(const QString& text);
    void flush_terminal();

    // Language.
    bool show_restart_dialog(const std::string& question);
    // False when the new instance could not be started; this one then runs on.
    bool restart_application();
    void switch_language(const char* slot_name, const std::string& question, const char* lan);

    bool lan_is_zh() const;
    // The Chinese text when "lan" is "zh", the English one otherwise.
    std::string tr_lan(const char* zh, const char* en) const;

    int comm_mode_ = 0;
    bool serial_open_ = false;
    bool can_open_ = false;
    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
    CalibratePoints calibrate_points_;
    CsvFile csv_file_;
    PvtPoints target_points_;
    PvtPoints real_points_;
    QTimer plot_timer_;
    // Received chunks not shown yet; the view takes them in one go a few times a
    // second, since one paragraph at a time cannot keep up with a busy line.
    QStringList terminal_pending_;
    QTimer terminal_timer_;
    std::unique_ptr<StepSender> step_sender_;
    // Parameter writes and stores with their pauses, in order, off the GUI thread.
    std::unique_ptr<JobThread> param_jobs_;
    bool motor_enabled_ = false;
    int disabled_motion_count_ = 0;
    // Set by a driver fault; no automatic enable until the operator enables.
    bool fault_disabled_ = false;
    QPointer<QMessageBox> tip_boxes_[static_cast<int>(TipKind::kCount)];
    std::shared_ptr<std::string> tip_texts_[static_cast<int>(TipKind::kCount)];
    std::unique_ptr<Save> save_;
    QString selected_dir_;
    std::unique_ptr<SetParam> set_param_;
    std::unique_ptr<SetCurve> set_curve_;
    Ui_MainWindow* ui_ = nullptr;
    std::shared_ptr<ConfigManager> config_manager_;
    std::shared_ptr<CsvFiles4Check> csv_files4check_;
};
