// config.json text through loading, reading the language and saving.
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "config_manager.h"
#include "fuzz_check.h"

namespace {
QByteArray read_file(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static QTemporaryDir dir;
    static const bool quiet = (quiet_console(), true);
    (void)quiet;
    const QByteArray text(reinterpret_cast<const char*>(data), static_cast<int>(size));
    const QString path = dir.filePath("config.json");
    {
        QFile file(path);
        FUZZ_CHECK(file.open(QIODevice::WriteOnly) && file.write(text) == text.size());
    }
    nlohmann::json document;
    {
        ConfigManager config(path.toStdString());
        config.load();
        const std::string lan = config.get_value("lan");
        FUZZ_CHECK(lan.empty() || (config.document_.is_object() && config.document_["lan"] == lan));
        // What the user wrote survives: in place, or in a copy set aside.
        QStringList copies = QDir(dir.path()).entryList({"config.json.bad-*"});
        FUZZ_CHECK(copies.size() <= 1);
        FUZZ_CHECK(read_file(path) == text || (copies.size() == 1 && read_file(dir.filePath(copies[0])) == text));
        FUZZ_CHECK(copies.empty() || config.document_ == ConfigManager::default_document());
        document = config.document_;
    }
    // The file saved on destruction reads back as the same document.
    const QByteArray saved = read_file(path);
    FUZZ_CHECK(nlohmann::json::parse(saved.constData(), saved.constData() + saved.size(), nullptr, false) ==
               document);
    for (const QString& name : QDir(dir.path()).entryList(QDir::Files)) QFile::remove(dir.filePath(name));
    return 0;
}
