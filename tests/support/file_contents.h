#pragma once
#include <QByteArray>
#include <QFile>
#include <QString>
#include <string>

// The whole content of a file, or "<missing>" when it cannot be read, so a
// comparison names the absent file instead of passing on an empty one.
inline QByteArray file_bytes(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) return "<missing>";
    return f.readAll();
}

inline std::string file_text(const QString& path) { return file_bytes(path).toStdString(); }
