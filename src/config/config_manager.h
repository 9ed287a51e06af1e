#pragma once
// Settings document backed by a JSON file ("./config.json"); the only setting in
// use is the interface language under "lan".
#include <nlohmann/json.hpp>
#include <string>

class ConfigManager {
public:
    explicit ConfigManager(const std::string& path);
    ~ConfigManager();
    ConfigManager(const ConfigManager&) = delete;
    ConfigManager& operator=(const ConfigManager&) = delete;

    // Reads the file into document_, writing the default document first when the
    // file does not exist. A file that exists but cannot be opened for reading
    // gives the default document and is never written (see unreadable()). A file
    // that does not parse, holds no object, is nested more than 64 levels deep or
    // has a "lan" that is not a string is copied aside (path + ".bad-<time stamp>")
    // and the default document is used instead; the process goes on. A file that
    // can be neither read nor created gives the default document too.
    void load();
    // Writes document_ with an indent of 4 and no trailing line feed. False when
    // the document did not reach the file; save_error() then tells why.
    bool save();
    const std::string& save_error() const { return save_error_; }
    // Whether save() can write the file; ask after load(), which creates it.
    bool can_save() const;
    // Whether load() found a file it could not read; save() then leaves it alone.
    bool unreadable() const { return unreadable_; }
    const std::string& path() const { return path_; }
    // The string stored under key; "" when the document is no object, lacks the
    // key or holds something other than a string there.
    std::string get_value(const std::string& key) const;

    static nlohmann::json default_document();
    // The text written for a document: dump(4), UTF-8 kept as is.
    static std::string to_text(const nlohmann::json& document);

private:
    void recover_from_broken_file(const std::string& reason);

    std::string path_;

public:
    // Read by main and changed directly by the language actions.
    nlohmann::json document_;

private:
    // Set when an unusable file could not be copied aside: it is then only
    // overwritten once the document differs from the default we fell back to.
    bool keep_broken_file_ = false;
    bool unreadable_ = false;
    // Why load() could not read the file, then why the last save() failed.
    std::string save_error_;
};
