#pragma once
#include <QDialog>
#include <QString>
#include <functional>
#include <string>
#include <vector>

#include "motor_types.h"

namespace Ui {
class SetParam;
}
class QAbstractSpinBox;
class QLabel;

// Relative tolerance when a reported gear ratio is matched to a motor model.
constexpr double kGearRatioTolerance = 0.001;

// Firmware parameter dialog: shows the driver's reported parameters and emits
// the edited ones to be applied (write) or applied and stored (flash).
class SetParam : public QDialog {
    Q_OBJECT

public:
    SetParam();
    ~SetParam() override;

signals:
    void set_firmware_param_signal(FirmwareParams param);
    void flash_firmware_param_signal();

public slots:
    void motor_firm_state_slot(FirmwareState state);
    // An opened link has a driver of its own: what the form shows of the last one goes.
    // Without a link nothing is sent; a closed link leaves no motor enabled nor calibration.
    void link_state_changed_slot(bool open);
    // As the window's own Settings button, nothing is sent while the motor is enabled
    // or a calibration runs (from its start to its verdict).
    void motor_state_changed_slot(bool enabled) { motor_enabled_ = enabled; }
    void calibration_state_changed_slot(bool running) { calibrating_ = running; }

private slots:
    void on_write_pushButton_clicked();
    void on_flash_pushButton_clicked();

private:
    float gear_ratio(const std::string& motor_type);
    std::string motor_type_from_gear_ratio(float gear_ratio);
    FirmwareParams read_form();
    // False, with a message, without an open link, with the motor enabled or during a calibration.
    bool driver_free();
    // False, with a message, while a number box shows an entry it cannot take.
    bool entries_taken();
    // False, with a message, while the box names no model: its ratio would be 0.
    bool model_chosen();
    // False, with a message, until this link's driver has reported its parameters,
    // and while a reported value its box cannot hold stands unedited.
    bool reported_values_taken();
    void forget_driver();
    void show_refusal(const QString& text);

    // A number box and what the driver reported for it.
    struct Field {
        QAbstractSpinBox* box;
        QLabel* caption;
        QString unit;
        double minimum, maximum;
        bool whole;                   // it shows a report truncated
        std::function<void()> reset;  // to the form's value before any report
        // The report lies outside the box (or is no number), which shows another
        // value until the operator enters one.
        bool outside = false;
        float reported = 0.0f;
    };
    template <typename Box>
    void add_field(Box* box, QLabel* caption);

    Ui::SetParam* ui;
    // The driver's last reported gear ratio; NaN until it reports one.
    float reported_gear_ratio_;
    // This link's driver has reported its parameters.
    bool reported_ = false;
    bool link_open_ = false;
    bool motor_enabled_ = false;
    bool calibrating_ = false;
    std::vector<Field> fields_;  // id, bandwidth, timeout, current limit
    QString limit_label_text_;   // the protection tab's value before any report
};
