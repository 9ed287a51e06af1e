// The run log (CsvFile) on real files: rows, numbers, heads and closed logs.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <algorithm>
#include <locale>
#include <string>
#include <vector>

#include "console_capture.h"
#include "csv_file.h"
#include "decimal_comma_locale.h"
#include "file_contents.h"
#include "file_size_limit.h"
#include "working_dir_test.h"

namespace {

const std::string kHead = "\nCreated by Halvren Motor Tool\nTime(s),Type,,Real,Target,,Real,Target,,Real,Target\n";

using RunLogTest = WorkingDirTest;

// Six significant digits whatever the global locale; each row is on disk at once.
TEST_F(RunLogTest, RowsAreFlushedWithPointDecimals) {
    const std::locale old = std::locale::global(decimal_comma_locale());
    CsvFile log;
    log.create("run.csv");
    const float rows[5][4] = {{1.2345678f, 0.00001f, 1234567.0f, -0.25f},
                              {100000.0f, 1000000.0f, 0.0001f, 0.0f},
                              {3.0f, -0.0f, 1e-30f, 123456.5f},
                              {1.5f, 0.25f, -2.0f, 0.1f},
                              {1.5f, 0.25f, -2.0f, 0.1f}};
    for (int i = 0; i < 5; ++i) log.write(rows[i], i % 2 == 1);
    std::locale::global(old);
    const std::string written = kHead +
                                "1.23457,real,position,1e-05,,velocity,1.23457e+06,,torque,-0.25,\n"
                                "100000,target,position,,1e+06,velocity,,0.0001,torque,,0\n"
                                "3,real,position,-0,,velocity,1e-30,,torque,123456,\n"
                                "1.5,target,position,,0.25,velocity,,-2,torque,,0.1\n"
                                "1.5,real,position,0.25,,velocity,-2,,torque,0.1,\n";
    EXPECT_EQ(file_text("run.csv"), written);
    log.end();
    EXPECT_EQ(file_text("run.csv"), written + "Log ended\n");
}

// Nothing is written while no log is open; a new create closes the open log
// without its end line, and an existing file gets a second head appended.
TEST_F(RunLogTest, ClosedLogsTakeNothingAndFilesAreAppended) {
    const float s[4] = {0.5f, 1, 2, 3};
    const std::string real = "0.5,real,position,1,,velocity,2,,torque,3,\n";
    const std::string target = "0.5,target,position,,1,velocity,,2,torque,,3\n";
    {
        CsvFile log;
        log.write(s, false);
        log.end();
        EXPECT_TRUE(QDir().entryList(QDir::Files).isEmpty());
        log.create("first.csv");
        log.write(s, false);
        log.create("second.csv");
        log.write(s, true);
        log.end();
        log.create("first.csv");
        log.write(s, true);
    }
    EXPECT_EQ(file_text("first.csv"), kHead + real + kHead + target);
    EXPECT_EQ(file_text("second.csv"), kHead + target + "Log ended\n");
}

// A log that cannot be opened (missing folder) or stops taking rows (full disk) is
// reported once with its path; nothing is created and the next good path works.
TEST_F(RunLogTest, FailedLogsAreReportedOnceAndTheNextOneWorks) {
    struct Row {
        std::string path;
        const char* reported;  // the part of the one console line naming the failure
    };
    std::vector<Row> rows = {{"no-such-folder/log.csv", "created failed"}};
    if (QFile::exists("/dev/full")) rows.push_back({"/dev/full", "write failed"});
    const float s[4] = {1, 2, 3, 4};
    for (const Row& row : rows) {
        CsvFile log;
        ConsoleCapture out;
        log.create(row.path);
        for (int i = 0; i < 3; ++i) log.write(s, i % 2 == 0);
        log.end();
        EXPECT_FALSE(log.is_open()) << row.path;
        int reports = 0;
        for (const std::string& line : out.lines_starting("["))
            if (line.find(row.path) != std::string::npos) {
                ++reports;
                EXPECT_NE(line.find(row.reported), std::string::npos) << line;
            }
        EXPECT_EQ(reports, 1) << out.text();
        EXPECT_FALSE(QDir("no-such-folder").exists());

        log.create("ok.csv");
        log.write(s, false);
        log.end();
        EXPECT_EQ(file_text("ok.csv"), kHead + "1,real,position,2,,velocity,3,,torque,4,\nLog ended\n") << row.path;
        QFile::remove("ok.csv");
    }
}

// A log that cannot be created says so and why; a later one in a good place works.
TEST_F(RunLogTest, ALogThatCannotBeCreatedGivesTheReason) {
    ASSERT_TRUE(QDir().mkdir("folder"));
    const struct {
        const char* path;
        const char* reason;
    } rows[] = {{"gone/run.csv", "No such file or directory"},
                {"folder", "Is a directory"},
                {"/dev/full", "No space left on device"}};
    CsvFile log;
    for (const auto& row : rows) {
        ConsoleCapture quiet;
        EXPECT_FALSE(log.create(row.path)) << row.path;
        EXPECT_FALSE(log.is_open()) << row.path;
        EXPECT_EQ(log.error(), row.reason) << row.path;
    }
    EXPECT_TRUE(log.create("run.csv"));
    EXPECT_EQ(log.error(), "");
}

// A log whose file can grow no further (as on a full disk) closes at the head, row or
// end line that failed, with the reason; the file keeps the whole lines before it and
// nothing of the one that failed, also when the log was added to an older file.
TEST_F(RunLogTest, ALogThatStopsTakingRowsClosesWithTheReason) {
    const float s[4] = {1, 2, 3, 4};
    const std::string row = "1,real,position,2,,velocity,3,,torque,4,\n";
    const std::string five_rows = row + row + row + row + row;
    const std::string older = "an older log\n";
    const struct {
        const char* name;
        std::string before;  // the file's content ahead of the log
        size_t room;         // bytes the file may grow to
        std::vector<bool> open_after;
        std::string kept;
    } rows[] = {
        {"4th row cut", "", kHead.size() + 3 * row.size() + 5, {true, true, true, false, false},
         kHead + row + row + row},
        {"end line not begun", "", kHead.size() + 5 * row.size(), {true, true, true, true, true}, kHead + five_rows},
        {"end line cut", "", kHead.size() + 5 * row.size() + 4, {true, true, true, true, true}, kHead + five_rows},
        {"head cut after an older log", older, older.size() + 10, {false, false, false, false, false}, older},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.name);
        const QString name = QString(r.name) + ".csv";
        ASSERT_TRUE(r.before.empty() || write_file(name, r.before));
        CsvFile log;
        ConsoleCapture quiet;
        std::vector<bool> open_after;
        {
            FileSizeLimit limit(r.room);
            log.create(name.toStdString());
            for (int i = 0; i < 5; ++i) log.write(s, false), open_after.push_back(log.is_open());
            log.end();
        }
        EXPECT_EQ(open_after, r.open_after);
        EXPECT_EQ(log.error(), "File too large");
        EXPECT_EQ(file_text(name), r.kept);
    }
}

}  // namespace
