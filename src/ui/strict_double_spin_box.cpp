#include "strict_double_spin_box.h"

#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>

#include "strict_spin_box.h"

StrictDoubleSpinBox::StrictDoubleSpinBox(QWidget* parent) : QDoubleSpinBox(parent) {
    // The value as text from the start: a box never shown has none, and an empty
    // entry is no number.
    setValue(value());
}

QValidator::State StrictDoubleSpinBox::validate(QString& text, int& pos) const {
    return strict_state(QDoubleSpinBox::validate(text, pos), text, locale());
}

QValidator::State StrictDoubleSpinBox::strict_state(QValidator::State state, const QString& text,
                                                    const QLocale& locale) {
    // A base box takes group separators in boxes that reach 1000 ("1,000" is 1000,
    // "1,5" is 15); an entry holding one is never a value here.
    if (state == QValidator::Acceptable && text.contains(locale.groupSeparator())) return QValidator::Intermediate;
    return state == QValidator::Invalid ? QValidator::Intermediate : state;
}

void StrictDoubleSpinBox::keep_entry(QLineEdit* edit, const std::function<void()>& handle) {
    if (edit->hasAcceptableInput()) {
        handle();
        return;
    }
    const QString entry = edit->text();
    const int cursor = edit->cursorPosition();
    handle();
    if (edit->text() == entry) return;
    edit->setText(entry);
    edit->setCursorPosition(cursor);
}

QString StrictDoubleSpinBox::name_of(const QWidget* box) {
    if (!box->accessibleName().isEmpty()) return box->accessibleName();
    const QWidget* top = box->window();
    for (const QLabel* label : top->findChildren<QLabel*>()) {
        if (label->buddy() != box) continue;
        QString name = label->text().trimmed();
        if (name.endsWith(QLatin1Char(':')) || name.endsWith(QChar(0xFF1A))) name.chop(1);
        return name;
    }
    return box->objectName();
}

QString StrictDoubleSpinBox::refusal() const {
    if (hasAcceptableInput()) return QString();
    return tr("%1 只能填写 %2 到 %3 之间、最多 %4 位小数的数字，“%5”无效。")
        .arg(name_of(this), prefix() + textFromValue(minimum()) + suffix(),
             prefix() + textFromValue(maximum()) + suffix(), QString::number(decimals()), cleanText());
}

QString StrictDoubleSpinBox::refusal(const QList<QAbstractSpinBox*>& boxes) {
    for (const QAbstractSpinBox* box : boxes) {
        QString text;
        if (const auto* real = qobject_cast<const StrictDoubleSpinBox*>(box)) text = real->refusal();
        if (const auto* whole = qobject_cast<const StrictSpinBox*>(box)) text = whole->refusal();
        if (!text.isEmpty()) return text;
    }
    return QString();
}

void StrictDoubleSpinBox::focusOutEvent(QFocusEvent* event) {
    keep_entry(lineEdit(), [&] { QDoubleSpinBox::focusOutEvent(event); });
}

void StrictDoubleSpinBox::keyPressEvent(QKeyEvent* event) {
    // Enter passes on to the dialog's default button, which then finds the entry.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter)
        keep_entry(lineEdit(), [&] { QDoubleSpinBox::keyPressEvent(event); });
    else
        QDoubleSpinBox::keyPressEvent(event);
}

void StrictDoubleSpinBox::hideEvent(QHideEvent* event) {
    keep_entry(lineEdit(), [&] { QDoubleSpinBox::hideEvent(event); });
}
