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

TEST_F(RunLogTest, MeasuredAndTargetRowsAndEnd) {
    CsvFile log;
    testing::internal::CaptureStdout();
    log.create(path("run.csv"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] csv_file created successfully.\n");
    const float s[4] = {1.5f, 0.25f, -2.0f, 0.1f};
    log.write(s, false);
    log.write(s, true);
    // Each line is flushed as written: visible before the log ends.
    EXPECT_EQ(file_text(qpath("run.csv")),
              kHead + "1.5,real,position,0.25,,velocity,-2,,torque,0.1,\n"
                      "1.5,target,position,,0.25,velocity,,-2,torque,,0.1\n");
    log.end();
    EXPECT_FALSE(log.is_open());
    EXPECT_EQ(file_text(qpath("run.csv")),
              kHead + "1.5,real,position,0.25,,velocity,-2,,torque,0.1,\n"
                      "1.5,target,position,,0.25,velocity,,-2,torque,,0.1\nLog ended\n");
}

TEST_F(RunLogTest, NumbersUseSixSignificantDigits) {
    CsvFile log;
    log.create(path("num.csv"));
    const float a[4] = {1.2345678f, 0.00001f, 1234567.0f, -0.25f};
    const float b[4] = {100000.0f, 1000000.0f, 0.0001f, 0.0f};
    const float c[4] = {3.0f, -0.0f, 1e-30f, 123456.5f};
    log.write(a, false);
    log.write(b, true);
    log.write(c, false);
    log.end();
    EXPECT_EQ(file_text(qpath("num.csv")),
              kHead +
                  "1.23457,real,position,1e-05,,velocity,1.23457e+06,,torque,-0.25,\n"
                  "100000,target,position,,1e+06,velocity,,0.0001,torque,,0\n"
                  "3,real,position,-0,,velocity,1e-30,,torque,123456,\n"
                  "Log ended\n");
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
    log.write(s, true);  // after end: closed again
    log.end();
    EXPECT_EQ(file_text(qpath("a.csv")), kHead + "Log ended\n");
}

TEST_F(RunLogTest, CreateWhileOpenStartsSecondFileSilently) {
    CsvFile log;
    const float s[4] = {0.5f, 1, 2, 3};
    log.create(path("first.csv"));
    log.write(s, false);
    log.create(path("second.csv"));
    log.write(s, true);
    log.end();
    EXPECT_EQ(file_text(qpath("first.csv")), kHead + "0.5,real,position,1,,velocity,2,,torque,3,\n");
    EXPECT_EQ(file_text(qpath("second.csv")),
              kHead + "0.5,target,position,,1,velocity,,2,torque,,3\nLog ended\n");
}

TEST_F(RunLogTest, ExistingFileGetsASecondHeadAppended) {
    const float s[4] = {0.5f, 1, 2, 3};
    {
        CsvFile log;
        log.create(path("same.csv"));
        log.write(s, false);
        log.end();
        log.create(path("same.csv"));
        log.write(s, true);
    }  // destructor closes without "Log ended"
    EXPECT_EQ(file_text(qpath("same.csv")),
              kHead + "0.5,real,position,1,,velocity,2,,torque,3,\nLog ended\n" + kHead +
                  "0.5,target,position,,1,velocity,,2,torque,,3\n");
}

TEST_F(RunLogTest, DestructorLogsAndLeavesNoEndLine) {
    {
        CsvFile log;
        log.create(path("d.csv"));
        testing::internal::CaptureStdout();
    }
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "[INFO] Destruct CsvFile\n");
    EXPECT_EQ(file_text(qpath("d.csv")), kHead);
}

TEST_F(RunLogTest, UnwritableFolderIsReportedAndNothingBreaks) {
    const std::string bad = path("no-such-folder/log.csv");
    CsvFile log;
    testing::internal::CaptureStdout();
    log.create(bad);
    const float s[4] = {1, 2, 3, 4};
    for (int i = 0; i < 3; ++i) log.write(s, i % 2 == 0);
    log.end();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "[INFO] csv_file created failed, file_path: " + bad + "\n");
    EXPECT_FALSE(log.is_open());
    EXPECT_FALSE(QDir(qpath("no-such-folder")).exists());

    // A later good path works again on the same object.
    log.create(path("ok.csv"));
    log.write(s, false);
    log.end();
    EXPECT_EQ(file_text(qpath("ok.csv")),
              kHead + "1,real,position,2,,velocity,3,,torque,4,\nLog ended\n");
}

TEST_F(RunLogTest, LostWritesAreReportedOnce) {
    if (!QFile::exists("/dev/full")) GTEST_SKIP() << "no /dev/full";
    CsvFile log;
    testing::internal::CaptureStdout();
    log.create("/dev/full");
    const float s[4] = {1, 2, 3, 4};
    for (int i = 0; i < 5; ++i) log.write(s, false);
    log.end();
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string warn = "[WARN] csv_file write failed, rows are not saved, file_path: /dev/full\n";
    EXPECT_EQ(out, "[INFO] csv_file created successfully.\n" + warn);
}

}  // namespace
