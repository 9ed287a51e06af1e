#pragma once
#include <QDialog>
#include <string>

#include "motor_types.h"

namespace Ui {
class SetParam;
}

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

private slots:
    void on_write_pushButton_clicked();
    void on_flash_pushButton_clicked();

private:
    float gear_ratio(const std::string& motor_type);
    std::string motor_type_from_gear_ratio(float gear_ratio);
    FirmwareParams read_form();
    // False, with a message, while a number box shows an entry it cannot take.
    bool entries_taken();
    // False, with a message, while the box names no model: its ratio would be 0.
    bool model_chosen();

    Ui::SetParam* ui;
    // The driver's last reported gear ratio; NaN until it reports one.
    float reported_gear_ratio_;
};
