// ConfigManager against real files in a temporary working directory.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <memory>
#include <string>

#include "config_manager.h"
#include "file_contents.h"
#include "working_dir_test.h"

namespace {

const std::string kDefaultText = "{\n    \"lan\": \"zh\"\n}";

void write_file(const QString& path, const std::string& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes.data(), static_cast<qint64>(bytes.size()));
}

QStringList backups() {
    return QDir(".").entryList(QStringList{"config.json.bad-*"}, QDir::Files, QDir::Name);
}

using ConfigManagerTest = WorkingDirTest;

TEST_F(ConfigManagerTest, MissingFileIsCreatedWithTheDefaultText) {
    {
        auto config = std::make_shared<ConfigManager>("./config.json");
        EXPECT_FALSE(QFile::exists("config.json"));  // the constructor does not touch the file
        config->load();
        EXPECT_EQ(file_text("config.json"), kDefaultText);
        EXPECT_EQ(config->get_value("lan"), "zh");
        EXPECT_EQ(config->get_value("absent"), "");
        testing::internal::CaptureStdout();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Destruct config manager\n");
    EXPECT_EQ(file_text("config.json"), kDefaultText);
}

TEST_F(ConfigManagerTest, ExtraKeysAreKeptAndWrittenInKeyOrder) {
    write_file("config.json", "{\"x\": 1, \"lan\": \"en\", \"name\": \"电机\", \"list\": [1, 2]}\n");
    {
        ConfigManager config("./config.json");
        config.load();
        EXPECT_EQ(config.get_value("lan"), "en");
        EXPECT_EQ(config.get_value("name"), "电机");
        EXPECT_EQ(config.get_value("x"), "");  // not a string
        EXPECT_EQ(config.get_value("list"), "");
    }
    EXPECT_EQ(file_text("config.json"),
              "{\n    \"lan\": \"en\",\n    \"list\": [\n        1,\n        2\n    ],\n"
              "    \"name\": \"电机\",\n    \"x\": 1\n}");
}

TEST_F(ConfigManagerTest, TrailingTextIsIgnoredAndDroppedOnSave) {
    write_file("config.json", "{\"lan\": \"en\"}\ngarbage that is not json");
    ConfigManager config("./config.json");
    config.load();
    EXPECT_EQ(config.get_value("lan"), "en");
    EXPECT_TRUE(backups().isEmpty());
    config.save();
    EXPECT_EQ(file_text("config.json"), "{\n    \"lan\": \"en\"\n}");
}

TEST_F(ConfigManagerTest, ChangeReachesTheFileOnlyOnSaveOrDestruction) {
    {
        ConfigManager config("./config.json");
        config.load();
        config.document_["lan"] = "en";
        EXPECT_EQ(file_text("config.json"), kDefaultText);
        EXPECT_EQ(config.get_value("lan"), "en");
    }
    EXPECT_EQ(file_text("config.json"), "{\n    \"lan\": \"en\"\n}");
}

TEST_F(ConfigManagerTest, NonObjectDocumentsAnswerEmptyStrings) {
    for (const std::string text : {"[\"lan\", \"zh\"]", "\"lan\"", "null", "42"}) {
        SCOPED_TRACE(text);
        write_file("config.json", text);
        {
            ConfigManager config("./config.json");
            config.load();
            EXPECT_EQ(config.get_value("lan"), "");
            EXPECT_EQ(config.get_value(""), "");
        }
        EXPECT_TRUE(backups().isEmpty());
        // Scalars are written back as read: a null document as the text "null".
        if (text[0] != '[') EXPECT_EQ(file_text("config.json"), text);
    }
}

// Empty, unparsable or with a non-string "lan": the process goes on with the
// default document and the old file survives as a copy beside it.
TEST_F(ConfigManagerTest, BrokenFilesAreCopiedAsideAndDefaultsUsed) {
    const std::string cases[] = {"", "{\"lan\": \"en\",", "lan=en\n", "{\"lan\": 5}",
                                 "{\"lan\": null, \"x\": 1}", "\xff\xfe{"};
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        for (const QString& old : backups()) QFile::remove(old);
        write_file("config.json", text);
        std::string out;
        {
            ConfigManager config("./config.json");
            testing::internal::CaptureStdout();
            EXPECT_NO_THROW(config.load());
            out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(config.get_value("lan"), "zh");
            EXPECT_EQ(config.document_, ConfigManager::default_document());
            // Not overwritten by the load itself.
            EXPECT_EQ(file_text("config.json"), text);
        }
        EXPECT_NE(out.find("[WARN] Config file ./config.json is not usable"), std::string::npos) << out;
        const QStringList copies = backups();
        ASSERT_EQ(copies.size(), 1);
        EXPECT_NE(out.find(copies.first().toStdString()), std::string::npos) << out;
        EXPECT_EQ(file_text(copies.first()), text);
        EXPECT_EQ(file_text("config.json"), kDefaultText);
    }
}

TEST_F(ConfigManagerTest, SecondBrokenLoadKeepsTheFirstCopy) {
    write_file("config.json", "{broken one");
    { ConfigManager a("./config.json"); a.load(); a.document_ = "oops"; }  // destructor writes "oops"
    write_file("config.json", "{broken two");
    { ConfigManager b("./config.json"); b.load(); }
    const QStringList copies = backups();
    ASSERT_EQ(copies.size(), 2);
    QStringList contents;
    for (const QString& c : copies) contents << QString::fromStdString(file_text(c));
    EXPECT_TRUE(contents.contains("{broken one"));
    EXPECT_TRUE(contents.contains("{broken two"));
}

TEST_F(ConfigManagerTest, UnreachableFolderIsReportedAndLookupsStayEmpty) {
    std::string out, err;
    {
        ConfigManager config("./missing-folder/config.json");
        testing::internal::CaptureStdout();
        config.load();
        out = testing::internal::GetCapturedStdout();
        EXPECT_TRUE(config.document_.is_null());
        EXPECT_EQ(config.get_value("lan"), "");
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
    }
    err = testing::internal::GetCapturedStderr();
    const std::string destruct = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[WARN] Failed to open file\n[WARN] Failed to open file\n");
    EXPECT_EQ(err, "[WARN] Failed to open file for writing.\n");
    EXPECT_EQ(destruct, "[INFO] Destruct config manager\n");
    EXPECT_FALSE(QDir("missing-folder").exists());
}

// A path that opens for reading but yields no JSON and cannot be copied or
// written: still no crash, defaults in memory.
TEST_F(ConfigManagerTest, DirectoryInPlaceOfTheFileDoesNotCrash) {
    ASSERT_TRUE(QDir(".").mkdir("config.json"));
    {
        ConfigManager config("./config.json");
        testing::internal::CaptureStdout();
        EXPECT_NO_THROW(config.load());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("could not be copied aside"), std::string::npos) << out;
        EXPECT_EQ(config.get_value("lan"), "zh");
        testing::internal::CaptureStdout();
        config.save();  // nothing to write over the unsaved original
        EXPECT_NE(testing::internal::GetCapturedStdout().find("left unchanged"), std::string::npos);
        testing::internal::CaptureStderr();
        config.document_["lan"] = "en";
        config.save();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARN] Failed to open file for writing.\n");
    }
    EXPECT_TRUE(QDir("config.json").exists());
}

}  // namespace
