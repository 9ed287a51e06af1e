#pragma once
#include <QAbstractSpinBox>
#include <QApplication>
#include <QString>
#include <QTest>

// Types `text` over the whole entry of `box` as an operator would. The box's window
// is made active first, so a later click really takes the focus away from the box.
// False when the window could not be activated.
inline bool type_entry(QAbstractSpinBox* box, const QString& text) {
    QWidget* top = box->window();
    top->show();
    QApplication::setActiveWindow(top);
    if (!QTest::qWaitForWindowActive(top)) return false;
    box->setFocus();
    box->selectAll();
    QTest::keyClicks(box, text);
    return box->hasFocus();
}
