#include "config_manager.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QString>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>
#include <vector>

#include "console_log.h"

namespace {

// The settings are one flat object. A document nested deeper is no config of
// ours, and writing it back would take time and space quadratic in its depth.
constexpr int kMaxDepth = 64;

// Containers counted from the top-level one (depth 1); walked without recursion.
bool nested_deeper_than(const nlohmann::json& root, int limit) {
    std::vector<std::pair<const nlohmann::json*, int>> todo{{&root, 1}};
    while (!todo.empty()) {
        const auto [node, depth] = todo.back();
        todo.pop_back();
        if (!node->is_structured()) continue;
        if (depth > limit) return true;
        for (const auto& child : *node) todo.emplace_back(&child, depth + 1);
    }
    return false;
}

// Gives the new file behind fd the owner, group and mode of the one it replaces.
// False when this process may not: only root gives a file to another user.
bool take_owner_of(int fd, const struct stat& old) {
    struct stat now {};
    if (::fstat(fd, &now) != 0) return false;
    if (now.st_dev == old.st_dev && now.st_ino == old.st_ino) return true;  // written in place
    if ((now.st_uid != old.st_uid || now.st_gid != old.st_gid) && ::fchown(fd, old.st_uid, old.st_gid) != 0)
        return false;
    return ::fchmod(fd, old.st_mode & 07777) == 0;  // also what a chown cleared
}

}  // namespace

ConfigManager::ConfigManager(const std::string& path) : path_(path) {}

ConfigManager::~ConfigManager() {
    save();
    hv::log_info("Destruct config manager");
}

nlohmann::json ConfigManager::default_document() {
    nlohmann::json document = nlohmann::json::object();
    document["lan"] = "zh";
    return document;
}

std::string ConfigManager::to_text(const nlohmann::json& document) {
    // replace: a stray non-UTF-8 string must not throw out of save() (and the destructor).
    return document.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

void ConfigManager::load() {
    {
        std::ifstream probe(path_);
        const int error = errno;
        if (!probe.good() && QFileInfo::exists(QString::fromStdString(path_))) {
            // There but not ours to read (e.g. mode 0200): the operator's settings may
            // be in it, so it is never written over.
            unreadable_ = true;
            save_error_ = std::strerror(error);
            document_ = default_document();
            hv::log_warn("Config file ", path_, " cannot be read (", std::strerror(error),
                         "); using the default settings and never writing the file");
            return;
        }
        if (!probe.good()) {
            std::ofstream out(path_, std::ios::out | std::ios::trunc);
            if (out.is_open()) {
                out << to_text(default_document());
            } else {
                hv::log_warn("Failed to open file");
            }
        }
    }

    std::ifstream in(path_);
    if (!in.is_open()) {
        hv::log_warn("Failed to open file");
        // Without a document the code's texts would be English under the Chinese
        // forms: the defaults keep the window in one language.
        document_ = default_document();
        return;
    }

    nlohmann::json parsed;
    try {
        // Reads the first JSON value; whatever follows it is ignored. A read error
        // of the file (e.g. a directory) surfaces as an exception of the stream buffer.
        in >> parsed;
    } catch (const std::exception& e) {
        recover_from_broken_file(e.what());
        return;
    }
    // Anything but an object would make the language menu's store throw.
    if (!parsed.is_object()) {
        recover_from_broken_file("not a JSON object");
        return;
    }
    if (nested_deeper_than(parsed, kMaxDepth)) {
        recover_from_broken_file("nested too deep");
        return;
    }
    const auto lan = parsed.find("lan");
    if (lan != parsed.end() && !lan->is_string()) {
        recover_from_broken_file("\"lan\" is not a string");
        return;
    }
    document_ = std::move(parsed);
    keep_broken_file_ = false;
}

void ConfigManager::recover_from_broken_file(const std::string& reason) {
    const QString source = QString::fromStdString(path_);
    const QString stamp = QDateTime::currentDateTime().toString("yyyyMMdd-HHmmss");
    QString backup = source + ".bad-" + stamp;
    for (int n = 1; QFile::exists(backup) && n < 100; ++n) {
        backup = source + ".bad-" + stamp + "-" + QString::number(n);
    }
    const bool copied = QFile::copy(source, backup);

    document_ = default_document();
    if (copied) {
        keep_broken_file_ = false;
        hv::log_warn("Config file ", path_, " is not usable (", reason, "); kept a copy as ",
                     backup.toStdString(), " and using the default settings");
    } else {
        keep_broken_file_ = true;
        hv::log_warn("Config file ", path_, " is not usable (", reason,
                     ") and could not be copied aside; using the default settings and leaving "
                     "the file as it is until a setting changes");
    }
}

bool ConfigManager::save() {
    if (unreadable_) {
        hv::log_warn("Config file ", path_, " left unchanged: it could not be read");
        return false;
    }
    if (keep_broken_file_) {
        if (document_ == default_document()) {
            hv::log_warn("Config file ", path_, " left unchanged: no copy of its old content exists");
            return true;  // the next start falls back to this very document
        }
        keep_broken_file_ = false;
    }
    // A file that takes no writes (read-only) stays as it is, though its folder
    // would take a new one in its place.
    errno = 0;
    if (QFileInfo::exists(QString::fromStdString(path_)) && !can_save()) {
        save_error_ = std::strerror(errno);
        hv::log_to(std::cerr, "[WARN] Failed to open file for writing.");
        return false;
    }
    // Written beside the file and put in its place whole: a write that fails partway
    // (a full disk) leaves the old settings. In a folder that takes no new file it is
    // written in place.
    // The file keeps its owner, group and mode: a save by root (sudo) must not take
    // the settings from their user.
    struct stat old {};
    const bool existed = ::stat(path_.c_str(), &old) == 0;
    QSaveFile out(QString::fromStdString(path_));
    out.setDirectWriteFallback(true);
    // Unbuffered: a short write shows in write()'s count, not only in a flush.
    if (!out.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        save_error_ = out.errorString().toStdString();
        hv::log_to(std::cerr, "[WARN] Failed to open file for writing.");
        return false;
    }
    const std::string text = to_text(document_);
    const qint64 size = static_cast<qint64>(text.size());
    if (existed && !take_owner_of(out.handle(), old)) {
        // Another user's file that we may write (not root): changed in place, as its
        // modes allow, rather than replaced by a file of ours.
        out.cancelWriting();
        QFile in_place(QString::fromStdString(path_));
        if (!in_place.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered) ||
            in_place.write(text.data(), size) != size) {
            save_error_ = in_place.errorString().toStdString();
            hv::log_to(std::cerr, "[WARN] Failed to write file ", path_);
            return false;
        }
        return true;
    }
    if (out.write(text.data(), size) != size || !out.commit()) {
        save_error_ = out.errorString().toStdString();
        hv::log_to(std::cerr, "[WARN] Failed to write file ", path_);
        return false;
    }
    return true;
}

bool ConfigManager::can_save() const {
    if (unreadable_) return false;
    if (!QFileInfo::exists(QString::fromStdString(path_))) return false;
    std::ofstream probe(path_, std::ios::out | std::ios::app);
    return probe.is_open();
}

std::string ConfigManager::get_value(const std::string& key) const {
    if (!document_.is_object()) return std::string();
    const auto it = document_.find(key);
    if (it == document_.end() || !it->is_string()) return std::string();
    return it->get<std::string>();
}
