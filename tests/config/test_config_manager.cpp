// ConfigManager against real files in a temporary working directory.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <iostream>
#include <functional>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <vector>

#include "config_manager.h"
#include "console_capture.h"
#include "file_contents.h"
#include "file_modes_hold.h"
#include "file_size_limit.h"
#include "working_dir_test.h"

namespace {

const std::string kDefaultText = "{\n    \"lan\": \"zh\"\n}";
const std::string kEnglishText = "{\n    \"lan\": \"en\"\n}";

QStringList backups() { return QDir(".").entryList(QStringList{"config.json.bad-*"}, QDir::Files); }

// {"lan": "en", "x": [[...]]} with `depth` nested containers counting the outer object.
std::string nested(int depth) {
    return "{\"lan\": \"en\", \"x\": " + std::string(depth - 1, '[') + std::string(depth - 1, ']') + "}";
}

using ConfigManagerTest = WorkingDirTest;

// Usable (or missing) files are read and written back at the end: keys sorted, trailing
// text gone, a change made without save() included. Each unusable file survives as a
// copy; the tool runs on the defaults and the language menu can still store its choice.
// The file keeps its owner, group and mode, also when saved by one (root) who is not
// its owner, or by one who may write it but cannot give a file away (not root).
TEST_F(ConfigManagerTest, FilesAreReadOrSetAsideAndWrittenBackAtTheEnd) {
    struct Row {
        std::string text, lan, saved;
        bool broken;
        bool owners_hold = false;
    };
    std::vector<Row> rows = {
        {"<missing>", "zh", kEnglishText, false},
        {"{\"x\": 1, \"lan\": \"zh\", \"name\": \"电机\", \"list\": [1]}\ngarbage", "zh",
         "{\n    \"lan\": \"en\",\n    \"list\": [\n        1\n    ],\n    \"name\": \"电机\",\n    \"x\": 1\n}", false},
        {"{}", "", kEnglishText, false},
        {nested(64), "en", "", false},  // the deepest nesting taken
        {"{\"lan\": \"zh\"}", "zh", kEnglishText, false, true},
    };
    const std::string broken[] = {"",     "{\"lan\": \"en\",", "lan=en\n", "{\"lan\": 5}", "{\"lan\": null, \"x\": 1}",
                                  "\xff\xfe{", "[\"lan\", \"zh\"]", "\"en\"", "0", "null", nested(65), nested(100000)};
    for (const std::string& text : broken) rows.push_back({text, "zh", kEnglishText, true});
    for (const auto& row : rows) {
        SCOPED_TRACE(row.text.substr(0, 40));
        QFile::remove("config.json");
        for (const QString& old : backups()) QFile::remove(old);
        ASSERT_TRUE(row.text == "<missing>" || (write_file("config.json", row.text) &&
                                                ::chown("config.json", 1234, 1234) == 0 &&
                                                ::chmod("config.json", 0664) == 0));
        struct stat before {};
        {
            std::unique_ptr<FileOwnersHold> owners;
            if (row.owners_hold) {
                owners = std::make_unique<FileOwnersHold>();
                ASSERT_TRUE(owners->held());
            }
            ConfigManager config("./config.json");
            EXPECT_NO_THROW(config.load());
            ASSERT_EQ(::stat("config.json", &before), 0);
            if (row.text == "<missing>") EXPECT_EQ(file_text("config.json"), kDefaultText);
            EXPECT_EQ(config.get_value("lan"), row.lan);
            EXPECT_EQ(config.get_value("x"), "");  // not a string
            const QStringList copies = backups();
            ASSERT_EQ(copies.size(), row.broken ? 1 : 0);
            for (const QString& copy : copies) EXPECT_EQ(file_text(copy), row.text);
            if (row.broken) {
                EXPECT_EQ(config.document_, ConfigManager::default_document());
            }
            config.document_["lan"] = "en";
        }
        if (!row.saved.empty()) EXPECT_EQ(file_text("config.json"), row.saved);
        struct stat after {};
        ASSERT_EQ(::stat("config.json", &after), 0);
        EXPECT_EQ(std::make_tuple(after.st_uid, after.st_gid, after.st_mode),
                  std::make_tuple(before.st_uid, before.st_gid, before.st_mode));
    }
}

// No copy could be made: the broken file is only replaced once a setting changes.
TEST_F(ConfigManagerTest, UncopiedBrokenFileIsKeptUntilASettingChanges) {
    const QDateTime now = QDateTime::currentDateTime();
    for (int s = 0; s < 4; ++s) {  // every name a copy could take in the next seconds
        const QString stamp = "config.json.bad-" + now.addSecs(s).toString("yyyyMMdd-HHmmss");
        ASSERT_TRUE(write_file(stamp, ""));
        for (int n = 1; n < 100; ++n) ASSERT_TRUE(write_file(stamp + "-" + QString::number(n), ""));
    }
    ASSERT_TRUE(write_file("config.json", "{\"lan\": "));
    ConfigManager config("./config.json");
    config.load();
    EXPECT_EQ(config.get_value("lan"), "zh");
    config.save();
    EXPECT_EQ(file_text("config.json"), "{\"lan\": ");
    config.document_["lan"] = "en";
    config.save();
    EXPECT_EQ(file_text("config.json"), kEnglishText);
}

// The constructor leaves the file alone; a change reaches the file on save or at the
// end, not before.
TEST_F(ConfigManagerTest, ChangeReachesTheFileOnlyOnSaveOrAtTheEnd) {
    for (bool explicit_save : {false, true}) {
        QFile::remove("config.json");
        {
            ConfigManager config("./config.json");
            EXPECT_FALSE(QFile::exists("config.json"));
            config.load();
            config.document_["lan"] = "en";
            EXPECT_EQ(file_text("config.json"), kDefaultText);
            if (explicit_save) {
                config.save();
                EXPECT_EQ(file_text("config.json"), kEnglishText);
            }
        }
        EXPECT_EQ(file_text("config.json"), kEnglishText);
    }
}

// A save that fails partway (a full disk) leaves the file as it was and says so.
TEST_F(ConfigManagerTest, FailedSaveLeavesTheFileAsItWas) {
    ASSERT_TRUE(write_file("config.json", kEnglishText));
    ConsoleCapture out, err(std::cerr);
    ConfigManager config("./config.json");
    config.load();
    config.document_["operator"] = std::string(4096, 'k');
    bool saved = true;
    {
        FileSizeLimit limit(100);
        saved = config.save();
    }
    EXPECT_FALSE(saved);
    EXPECT_FALSE(config.save_error().empty());
    EXPECT_EQ(file_text("config.json"), kEnglishText);
}

// Each broken file of a later start gets its own copy, named on the console.
TEST_F(ConfigManagerTest, EveryBrokenLoadKeepsItsOwnCopy) {
    for (const std::string text : {"{broken one", "{broken two"}) {
        ASSERT_TRUE(write_file("config.json", text));
        ConsoleCapture out;
        ConfigManager config("./config.json");
        config.load();
        const QStringList copies = backups();
        ASSERT_FALSE(copies.isEmpty());
        bool named = false;
        for (const QString& c : copies)
            if (file_text(c) == text) named = out.contains(c.toStdString());
        EXPECT_TRUE(named) << out.text();
    }
    QStringList contents;
    for (const QString& c : backups()) contents << QString::fromStdString(file_text(c));
    EXPECT_EQ(contents.size(), 2);
    EXPECT_TRUE(contents.contains("{broken one"));
    EXPECT_TRUE(contents.contains("{broken two"));
}

// A file that can be neither read nor written: warnings, the defaults, no crash and
// nothing created in its place.
TEST_F(ConfigManagerTest, UnreachableFileGivesTheDefaultsAndWarnings) {
    ASSERT_TRUE(QDir(".").mkdir("config.json"));
    struct Row {
        const char* path;
        std::string lan;  // what lookups answer after the load
    };
    const Row rows[] = {{"./missing-folder/config.json", "zh"}, {"./config.json", "zh"}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.path);
        ConsoleCapture err(std::cerr);
        {
            ConsoleCapture out;
            ConfigManager config(row.path);
            EXPECT_NO_THROW(config.load());
            EXPECT_FALSE(out.lines_starting("[WARN] ").empty());
            EXPECT_EQ(config.get_value("lan"), row.lan);
            config.document_["lan"] = "en";
            config.save();
        }
        EXPECT_TRUE(err.contains("[WARN] Failed to open file for writing."));
    }
    EXPECT_FALSE(QDir("missing-folder").exists());
    EXPECT_TRUE(QFileInfo("config.json").isDir());
}

// A file that can be neither read nor made: the defaults hold, so the code's texts
// are in the language of the untranslated forms, and the store knows it cannot save.
// A file that is there but cannot be read keeps the operator's settings: neither the
// language menu nor the end writes over it.
TEST_F(ConfigManagerTest, UnreadableFileGivesTheDefaultsAndCannotBeSaved) {
    const std::string settings = "{\"lan\":\"en\",\"operator\":\"kim\"}";
    const struct {
        const char* name;
        std::function<bool()> make;
        bool can_save;
        bool kept;
    } rows[] = {
        {"plain", [] { return true; }, true, false},
        {"a link to itself", [] { return ::symlink("config.json", "config.json") == 0; }, false, false},
        {"a link into a missing folder", [] { return ::symlink("gone/config.json", "config.json") == 0; }, false, false},
        {"a folder", [] { return QDir().mkdir("config.json"); }, false, false},
        {"write-only", [&] { return write_file("config.json", settings) && ::chmod("config.json", 0200) == 0; }, false,
         true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QFile::remove("config.json");
        QDir().rmdir("config.json");
        ASSERT_TRUE(row.make());
        {
            ConsoleCapture out, err(std::cerr);
            ConfigManager config("./config.json");
            {
                FileModesHold modes;  // mode 0200 is readable to root otherwise
                ASSERT_TRUE(modes.held());
                config.load();
            }
            EXPECT_EQ(config.get_value("lan"), "zh");
            EXPECT_EQ(config.can_save(), row.can_save);
            if (row.kept) {
                config.document_["lan"] = "zh";  // the language menu
                config.save();
            }
        }
        if (row.kept) {
            ASSERT_EQ(::chmod("config.json", 0600), 0);
            EXPECT_EQ(file_text("config.json"), settings);
        }
    }
}

}  // namespace

