#include "strict_double_spin_box.h"

StrictDoubleSpinBox::StrictDoubleSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {}

QValidator::State StrictDoubleSpinBox::validate(QString& text, int& pos) const {
    const QValidator::State state = QDoubleSpinBox::validate(text, pos);
    return state == QValidator::Invalid ? QValidator::Intermediate : state;
}
