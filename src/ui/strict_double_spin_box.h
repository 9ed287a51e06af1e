#pragma once
#include <QDoubleSpinBox>

// A number box that never reads a different number than the one typed. A plain
// QDoubleSpinBox drops a keystroke it cannot take, so "1e9" becomes 19 and 150
// under a maximum of 100 becomes 15; here such an entry stays visible as typed,
// is not taken as a value, and gives way to the previous value when editing ends.
class StrictDoubleSpinBox : public QDoubleSpinBox {
    Q_OBJECT
public:
    explicit StrictDoubleSpinBox(QWidget* parent = nullptr);

    QValidator::State validate(QString& text, int& pos) const override;
};
