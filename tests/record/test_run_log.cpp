// CsvFile rows, numbers and file handling on real files.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <string>

#include "csv_file.h"
#include "file_contents.h"

namespace {

const std::string kHead =
    "\nCreated by Halvren Motor Tool\nTime(s),Type,,Real,Target,,Real,Target,,Real,Target\n";

class RunLogTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir_.isValid()); }
    std::string path(const char* name) const { return dir_.filePath(name).toStdString(); }
    QString qpath(const char* name) const { return dir_.filePath(name); }
    QTemporaryDir dir_;
};

TEST_F(RunLogTest, RowsWithSixDigitNumbersAreFlushedBeforeTheEnd) {
    CsvFile log;
    testing::internal::CaptureStdout();
    log.create(path("run.csv"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] csv_file created successfully.\n");
    const float a[4] = {1.2345678f, 0.00001f, 1234567.0f, -0.25f};
    const float b[4] = {100000.0f, 1000000.0f, 0.0001f, 0.0f};
    const float c[4] = {3.0f, -0.0f, 1e-30f, 123456.5f};
    log.write(a, false);
    log.write(b, true);
    log.write(c, false);
    const std::string rows = kHead +
                             "1.23457,real,position,1e-05,,velocity,1.23457e+06,,torque,-0.25,\n"
                             "100000,target,position,,1e+06,velocity,,0.0001,torque,,0\n"
                             "3,real,position,-0,,velocity,1e-30,,torque,123456,\n";
    EXPECT_EQ(file_text(qpath("run.csv")), rows);
    log.end();
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(file_text(qpath("run.csv")), rows + "Log ended\n");
}

TEST_F(RunLogTest, ClosedLogIgnoresWriteAndEnd) {
    CsvFile log;
    const float s[4] = {1, 2, 3, 4};
    testing::internal::CaptureStdout();
    log.write(s, false);
    log.end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_TRUE(QDir(dir_.path()).entryList(QDir::Files).isEmpty());
    log.create(path("a.csv"));
    log.end();
    log.write(s, true);
    log.end();
    EXPECT_EQ(file_text(qpath("a.csv")), kHead + "Log ended\n");
}

// A new create closes the open log without its end line; an existing file gets a
// second head appended, and the destructor closes without "Log ended".
TEST_F(RunLogTest, CreateSwitchesFilesAndAppendsToExistingOnes) {
    const float s[4] = {0.5f, 1, 2, 3};
    const std::string real = "0.5,real,position,1,,velocity,2,,torque,3,\n";
    const std::string target = "0.5,target,position,,1,velocity,,2,torque,,3\n";
    {
        CsvFile log;
        log.create(path("first.csv"));
        log.write(s, false);
        log.create(path("second.csv"));
        log.write(s, true);
        log.end();
        log.create(path("first.csv"));
        log.write(s, true);
    }
    EXPECT_EQ(file_text(qpath("first.csv")), kHead + real + kHead + target);
    EXPECT_EQ(file_text(qpath("second.csv")), kHead + target + "Log ended\n");
}

TEST_F(RunLogTest, UnwritableTargetsAreReportedOnceAndNothingBreaks) {
    const std::string bad = path("no-such-folder/log.csv");
    const float s[4] = {1, 2, 3, 4};
    CsvFile log;
    testing::internal::CaptureStdout();
    log.create(bad);
    for (int i = 0; i < 3; ++i) log.write(s, i % 2 == 0);
    log.end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] csv_file created failed, file_path: " + bad + "\n");
    EXPECT_FALSE(log.is_open());
    EXPECT_FALSE(QDir(qpath("no-such-folder")).exists());

    log.create(path("ok.csv"));
    log.write(s, false);
    log.end();
    EXPECT_EQ(file_text(qpath("ok.csv")), kHead + "1,real,position,2,,velocity,3,,torque,4,\nLog ended\n");

    if (!QFile::exists("/dev/full")) return;
    testing::internal::CaptureStdout();
    log.create("/dev/full");
    for (int i = 0; i < 5; ++i) log.write(s, false);
    log.end();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[INFO] csv_file created successfully.\n"
              "[WARN] csv_file write failed, rows are not saved, file_path: /dev/full\n");
}

}  // namespace
