#pragma once
#include <QObject>
#include <QString>
#include <QtGlobal>

// The child widget `name` of `parent`; a missing one ends the test run, since every
// later step would only fail on a null pointer.
template <typename T>
T* child(QObject& parent, const char* name) {
    T* widget = parent.findChild<T*>(QString::fromLatin1(name));
    if (!widget) qFatal("missing widget %s", name);
    return widget;
}
