#pragma once
#include <QDoubleSpinBox>
#include <QList>
#include <functional>

class QLineEdit;

// A number box that never reads a different number than the one typed. A plain
// QDoubleSpinBox drops a keystroke it cannot take, so "1e9" becomes 19 and 150
// under a maximum of 100 becomes 15, and it takes a comma for a digit-group
// separator ("1,5" is 15). Here such an entry stays visible as typed, also when
// the box loses the focus or Enter is pressed, and is never taken as a value:
// the action that would use it asks refusal() first. StrictSpinBox is the
// whole-number sibling and shares the helpers below.
class StrictDoubleSpinBox : public QDoubleSpinBox {
    Q_OBJECT
public:
    explicit StrictDoubleSpinBox(QWidget* parent = nullptr);

    QValidator::State validate(QString& text, int& pos) const override;
    // No repair: removing group separators would turn "1,5" into 15.
    void fixup(QString&) const override {}

    // "" while the box shows its value; otherwise a message naming the box (its
    // label) and the numbers it takes.
    QString refusal() const;
    // The refusal of the first strict box among `boxes` that shows an entry it cannot take.
    static QString refusal(const QList<QAbstractSpinBox*>& boxes);

    // Shared with StrictSpinBox.
    static QValidator::State strict_state(QValidator::State state, const QString& text, const QLocale& locale);
    // Runs a handler of the base box that would put the value back over an entry
    // the box cannot take, and shows the entry again afterwards.
    static void keep_entry(QLineEdit* edit, const std::function<void()>& handle);
    // The box's accessible name, else the text of the label whose buddy it is
    // (without a final colon).
    static QString name_of(const QWidget* box);

protected:
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};
