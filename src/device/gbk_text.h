#pragma once
#include <QByteArray>
#include <QString>
#include <string>

// GBK (code page 936) bytes of a UTF-8 text, as the check files and check results carry them.
// Falls back to UTF-8, with one error line, where no GBK codec is available.
QByteArray utf8_to_gbk(const std::string& utf8);
// The text of GBK bytes (UTF-8 where no GBK codec is available).
QString gbk_to_text(const std::string& gbk);
