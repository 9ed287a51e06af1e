#include "gbk_text.h"

#include <QString>
#include <QTextCodec>

#include "console_log.h"

namespace {
QTextCodec* gbk_codec() {
    static QTextCodec* const codec = [] {
        QTextCodec* c = QTextCodec::codecForName("GBK");
        // GB18030 encodes every character of GBK with the same bytes.
        if (c == nullptr) c = QTextCodec::codecForName("GB18030");
        if (c == nullptr) hv::log_error("No GBK text codec available; Chinese texts stay UTF-8");
        return c;
    }();
    return codec;
}
}  // namespace

QByteArray utf8_to_gbk(const std::string& utf8) {
    QTextCodec* const codec = gbk_codec();
    const QString text = QString::fromUtf8(utf8.data(), static_cast<int>(utf8.size()));
    return codec ? codec->fromUnicode(text) : text.toUtf8();
}

QString gbk_to_text(const std::string& gbk) {
    QTextCodec* const codec = gbk_codec();
    const QByteArray bytes(gbk.data(), static_cast<int>(gbk.size()));
    return codec ? codec->toUnicode(bytes) : QString::fromUtf8(bytes);
}
