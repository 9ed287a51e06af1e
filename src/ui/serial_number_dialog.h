#pragma once
#include <QDialog>

class StrictSpinBox;

// Asks for the joint's serial number (0 to 1000) before a calibration. OK with an
// entry the box cannot take ("1234", "1,5") is refused with a message instead of
// closing with another number, as the standard integer prompt would.
class SerialNumberDialog : public QDialog {
    Q_OBJECT
public:
    explicit SerialNumberDialog(QWidget* parent = nullptr);

    int number() const;
    // True with the confirmed number in `number`; false when cancelled.
    static bool ask(QWidget* parent, int* number);

public slots:
    void accept() override;

private:
    StrictSpinBox* box_ = nullptr;
};
