#pragma once
#include <QSpinBox>

// The whole-number StrictDoubleSpinBox: "1234" under a maximum of 1000 stays
// visible as typed instead of becoming 123, and "1,5" is never 15.
class StrictSpinBox : public QSpinBox {
    Q_OBJECT
public:
    explicit StrictSpinBox(QWidget* parent = nullptr);

    QValidator::State validate(QString& text, int& pos) const override;
    void fixup(QString&) const override {}

    // "" while the box shows its value; otherwise a message naming the box and its range.
    QString refusal() const;

protected:
    void focusOutEvent(QFocusEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void hideEvent(QHideEvent* event) override;
};
