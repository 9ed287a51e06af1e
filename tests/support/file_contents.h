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

// Replaces the content of a file; false when it cannot be written.
inline bool write_file(const QString& path, const std::string& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes.data(), qint64(bytes.size())) >= 0;
}
