#pragma once
#include <QDialog>
#include <QString>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "can_interface.h"

class QLabel;

namespace Ui {
class SetCan;
}

// Picks the USB-CAN adapter and the motor id, and asks for the link to open or close.
class SetCan : public QDialog {
    Q_OBJECT
public:
    SetCan(std::shared_ptr<CanInterface> device, std::string lan);
    ~SetCan() override;

    // The button reads Close: the link was open when last reported. A press then
    // closes, even when the link has gone since.
    bool shows_open() const { return shows_open_; }

signals:
    void set_can_id_signal(uint8_t id);
    void device_open_close_signal(QString device_name);

private slots:
    void on_open_close_pushButton_clicked();
    void on_cancle_pushButton_clicked();

public slots:
    void device_number_changed_slot(std::vector<std::string>& serials);
    void device_state_changed_slot(bool state);

public:
    // A line under the adapter list says why adapters present are not listed; none
    // when there is no such adapter.
    void show_unusable_adapters(const std::vector<AdapterProblem>& problems);
    // The open just asked for failed: a box says why, unless the adapter is merely
    // gone from the list (the list shows that).
    void show_open_failure(const QString& device_name, const AdapterProblem& problem);

private:
    bool chinese() const { return lan_ == "zh"; }
    void show_tip(const QString& zh_text, const QString& en_text);
    QString reason(const AdapterProblem& problem) const;

    std::shared_ptr<CanInterface> device_;
    std::unique_ptr<Ui::SetCan> ui_;
    uint8_t can_id_ = 0;
    std::string lan_;
    bool shows_open_ = false;
    QLabel* problem_label_ = nullptr;  // owned by the dialog
};
