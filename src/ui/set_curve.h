#pragma once
#include <QDialog>
#include <chrono>
#include <cstdint>
#include <memory>

#include "curve_sender.h"

class SerialManager;
class CanManager;
class Ui_SetCurve;
class Ui_MainWindow;

// Starts and stops a sine curve (torque or position follow) on the last link that
// opened, locking its own start controls and two of the main window's buttons
// while the curve runs. A curve runs only on an open link and outside a calibration.
class SetCurve : public QDialog {
    Q_OBJECT
public:
    SetCurve(std::shared_ptr<SerialManager> serial_manager, std::shared_ptr<CanManager> can_manager,
             Ui_MainWindow* main_ui);
    ~SetCurve() override;

    void set_start_time(const std::chrono::steady_clock::time_point& t);

    // Public so the main window can plot the curve targets with the step targets.
    std::shared_ptr<CurveSender> curve_sender_;

    // Stops the curve and unlocks the controls; without the all-zero target when
    // the curve's link is gone.
    void end_curve(bool send_zero);

signals:
    // Before a curve starts, so that no other stream runs beside it.
    void start_curve_signal();

public slots:
    void on_start_pushButton_clicked();
    void on_stop_pushButton_clicked();
    void serial_state_changed_slot(bool state) { link_state_changed(1, state); }
    void can_state_changed_slot(bool state) { link_state_changed(2, state); }
    // The window's calibration, from its start to its verdict: a running curve ends
    // before the calibration is asked for, and none starts until the verdict.
    void calibration_state_changed_slot(bool running);

private:
    // link: 1 serial, 2 CAN. After a close the next curve names a link still open, if any.
    void link_state_changed(uint8_t link, bool open);
    // False, with a message, without an open link or during a calibration.
    bool may_start();
    // False, with a message, when a box shows an entry it cannot take or the curve needs more
    // than the link's motion frame carries (CAN: ±40, Kd up to 51).
    bool curve_fits_link(int tab);
    void show_refusal(const QString& text);

    std::shared_ptr<SerialManager> serial_manager_;
    std::shared_ptr<CanManager> can_manager_;
    Ui_SetCurve* ui = nullptr;
    std::chrono::steady_clock::time_point start_time_{};
    Ui_MainWindow* main_ui_ = nullptr;
    uint16_t can_send_hz_ = 1000;
    uint8_t mode_ = 0;
    bool serial_open_ = false;
    bool can_open_ = false;
    bool calibrating_ = false;
};
