#include "strict_spin_box.h"

#include <QKeyEvent>

#include "strict_double_spin_box.h"

StrictSpinBox::StrictSpinBox(QWidget* parent) : QSpinBox(parent) {
    setValue(value());  // as StrictDoubleSpinBox
}

QValidator::State StrictSpinBox::validate(QString& text, int& pos) const {
    return StrictDoubleSpinBox::strict_state(QSpinBox::validate(text, pos), text, locale());
}

QString StrictSpinBox::refusal() const {
    if (hasAcceptableInput()) return QString();
    return tr("%1 只能填写 %2 到 %3 之间的整数，“%4”无效。")
        .arg(StrictDoubleSpinBox::name_of(this), prefix() + textFromValue(minimum()) + suffix(),
             prefix() + textFromValue(maximum()) + suffix(), cleanText());
}

void StrictSpinBox::focusOutEvent(QFocusEvent* event) {
    StrictDoubleSpinBox::keep_entry(lineEdit(), [&] { QSpinBox::focusOutEvent(event); });
}

void StrictSpinBox::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        StrictDoubleSpinBox::keep_entry(lineEdit(), [&] { QSpinBox::keyPressEvent(event); });
    else
        QSpinBox::keyPressEvent(event);
}

void StrictSpinBox::hideEvent(QHideEvent* event) {
    StrictDoubleSpinBox::keep_entry(lineEdit(), [&] { QSpinBox::hideEvent(event); });
}
