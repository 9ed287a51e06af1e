// ConfigManager against real files in a temporary working directory.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
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

TEST_F(ConfigManagerTest, MissingFileGetsTheDefaultAndChangesLandOnDestruction) {
    {
        ConfigManager config("./config.json");
        EXPECT_FALSE(QFile::exists("config.json"));
        config.load();
        EXPECT_EQ(file_text("config.json"), kDefaultText);
        EXPECT_EQ(config.get_value("lan"), "zh");
        EXPECT_EQ(config.get_value("absent"), "");
        config.document_["lan"] = "en";
        EXPECT_EQ(file_text("config.json"), kDefaultText);
        testing::internal::CaptureStdout();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Destruct config manager\n");
    EXPECT_EQ(file_text("config.json"), "{\n    \"lan\": \"en\"\n}");
}

TEST_F(ConfigManagerTest, ExtraKeysAreKeptAndTrailingTextDropped) {
    write_file("config.json", "{\"x\": 1, \"lan\": \"en\", \"name\": \"电机\", \"list\": [1, 2]}\ngarbage");
    {
        ConfigManager config("./config.json");
        config.load();
        EXPECT_EQ(config.get_value("lan"), "en");
        EXPECT_EQ(config.get_value("name"), "电机");
        EXPECT_EQ(config.get_value("x"), "");  // not a string
        EXPECT_EQ(config.get_value("list"), "");
    }
    EXPECT_TRUE(backups().isEmpty());
    EXPECT_EQ(file_text("config.json"),
              "{\n    \"lan\": \"en\",\n    \"list\": [\n        1,\n        2\n    ],\n"
              "    \"name\": \"电机\",\n    \"x\": 1\n}");
}

TEST_F(ConfigManagerTest, NonObjectDocumentsAnswerEmptyStrings) {
    for (const std::string text : {"[\"lan\", \"zh\"]", "\"lan\"", "null", "42"}) {
        SCOPED_TRACE(text);
        write_file("config.json", text);
        {
            ConfigManager config("./config.json");
            config.load();
            EXPECT_EQ(config.get_value("lan"), "");
        }
        EXPECT_TRUE(backups().isEmpty());
        if (text[0] != '[') EXPECT_EQ(file_text("config.json"), text);
    }
}

// Each unusable file survives as its own copy; the process runs on the defaults.
TEST_F(ConfigManagerTest, BrokenFilesAreCopiedAsideAndDefaultsUsed) {
    const std::string cases[] = {"", "{\"lan\": \"en\",", "lan=en\n", "{\"lan\": 5}",
                                 "{\"lan\": null, \"x\": 1}", "\xff\xfe{"};
    int n = 0;
    for (const std::string& text : cases) {
        SCOPED_TRACE(text);
        write_file("config.json", text);
        std::string out;
        {
            ConfigManager config("./config.json");
            testing::internal::CaptureStdout();
            EXPECT_NO_THROW(config.load());
            out = testing::internal::GetCapturedStdout();
            EXPECT_EQ(config.get_value("lan"), "zh");
            EXPECT_EQ(config.document_, ConfigManager::default_document());
            EXPECT_EQ(file_text("config.json"), text);
        }
        EXPECT_NE(out.find("[WARN] Config file ./config.json is not usable"), std::string::npos) << out;
        const QStringList copies = backups();
        ASSERT_EQ(copies.size(), ++n);
        QString mine;  // the longest name in the line: a "-1" suffix extends an older one
        for (const QString& c : copies)
            if (out.find(c.toStdString()) != std::string::npos && c.size() > mine.size()) mine = c;
        ASSERT_FALSE(mine.isEmpty()) << out;
        EXPECT_EQ(file_text(mine), text);
        EXPECT_EQ(file_text("config.json"), kDefaultText);
    }
}

TEST_F(ConfigManagerTest, UnreachableFolderIsReportedAndLookupsStayEmpty) {
    {
        ConfigManager config("./missing-folder/config.json");
        testing::internal::CaptureStdout();
        config.load();
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "[WARN] Failed to open file\n[WARN] Failed to open file\n");
        EXPECT_EQ(config.get_value("lan"), "");
        testing::internal::CaptureStderr();
    }
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "[WARN] Failed to open file for writing.\n");
    EXPECT_FALSE(QDir("missing-folder").exists());
}

// Opens for reading but yields no JSON and cannot be copied or written.
TEST_F(ConfigManagerTest, DirectoryInPlaceOfTheFileDoesNotCrash) {
    ASSERT_TRUE(QDir(".").mkdir("config.json"));
    {
        ConfigManager config("./config.json");
        testing::internal::CaptureStdout();
        EXPECT_NO_THROW(config.load());
        EXPECT_NE(testing::internal::GetCapturedStdout().find("could not be copied aside"), std::string::npos);
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
