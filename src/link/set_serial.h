#pragma once
#include <QDialog>
#include <QString>
#include <memory>
#include <string>
#include <vector>

#include "serial_interface.h"

class Ui_SetSerial;

// Picks a serial port and asks for the link to be opened or closed.
class SetSerial : public QDialog {
    Q_OBJECT
public:
    SetSerial(std::shared_ptr<SerialInterface> serial, std::string lan);
    ~SetSerial() override;

    // The button reads Close: the link was open when last reported. A press then
    // closes, even when the link has gone since.
    bool shows_open() const { return shows_open_; }

signals:
    void device_open_close_signal(QString device_name);

public slots:
    void device_number_changed_slot(std::vector<std::string>& serials);
    void device_state_changed_slot(bool state);

private slots:
    void on_serial_open_close_pushButton_clicked();
    void on_cancle_pushButton_clicked();

private:
    std::shared_ptr<SerialInterface> serial_;
    std::unique_ptr<Ui_SetSerial> ui_;
    std::string lan_;
    bool shows_open_ = false;
};
