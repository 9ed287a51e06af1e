// CsvFiles4Check on real files in a temporary working directory; bytes compared as GBK.
#include <gtest/gtest.h>

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <memory>
#include <string>
#include <vector>

#include "csv_files4check.h"
#include "file_contents.h"
#include "working_dir_test.h"

namespace {

// The column line in GBK, as produced by an independent encoder (iconv).
const QByteArray kColumnsGbk = QByteArray::fromHex(
    "bcecb2e2cab1bce42cd0f2c1d0bac52cb5e7c1f7b2c9d1f9cfb5cafdcef3b2ee2cb5e7c1f7b2c9d1f9cafdd6b5cef3"
    "b2ee2841292cb5e7bbfacec2b6c828a1e6292cc7fdb6afc6f7cec2b6c828a1e6292cb5e7bbfacfe0b5e7d7e8284f68"
    "6d292cb5e7bbfacfe0b5e7b8d02848292cb5e7bbfabfd5d4d8c1a6bed8b5e7c1f7bef9d6b52841292cb5e7bbfabfd5"
    "d4d8c1a6bed8b5e7c1f7cec6b2a8b7e5b7e5d6b52841292cb5e7bbfab7b4b5e7b6afcac6cfb5cafd28562f6b72706d"
    "292cb5e7bbfac1a6bed8cfb5cafd284ea1a46d2f41292cb5e7bbfabfd5d4d8d7e8c1a6bed8284ea1a46d292cb5e7bb"
    "fad7aab6afb9dfc1bf286b67a1a46d2f735e32292cbcecb2e2bde1b9fb");
const QByteArray kHead = QByteArray("Created by Halvren Motor Tool\n") + kColumnsGbk + "\n";
// "校验成功" and a failure text as GBK bytes.
const std::string kPassText = QByteArray::fromHex("d0a3d1e9b3c9b9a6").toStdString();
const std::string kFailText = QByteArray::fromHex("cae7b9f5b2e2cad4").toStdString() + "\xff";

// All twelve measurements set to value, or to each[i] in column order.
CheckData make_check(bool pass, float value, const std::string& text, const std::vector<float>& each = {}) {
    CheckData d;
    d.pass = pass;
    d.result = text;
    float* fields[12] = {&d.current_sample_error_k, &d.current_sample_error_b, &d.motor_temp,
                         &d.driver_temp, &d.phase_R, &d.phase_L, &d.non_load_current_average,
                         &d.non_load_current_peak, &d.back_EMF, &d.torque_k, &d.non_load_torque,
                         &d.moment_of_inertia};
    for (int i = 0; i < 12; ++i) *fields[i] = each.empty() ? value : each.at(i);
    return d;
}

// Row = "yyyy-MM-dd HH:mm:ss" + tail; checks the time lies within the call.
void expect_row(const QByteArray& line, const QDateTime& before, const QDateTime& after,
                const std::string& tail) {
    ASSERT_GE(line.size(), 19);
    const QDateTime t = QDateTime::fromString(QString::fromLatin1(line.left(19)), "yyyy-MM-dd HH:mm:ss");
    ASSERT_TRUE(t.isValid()) << line.toStdString();
    EXPECT_GE(t, before.addMSecs(-before.time().msec()));
    EXPECT_LE(t, after);
    EXPECT_EQ(line.mid(19).toStdString(), tail);
}

std::string repeat(const std::string& s, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += s;
    return out;
}

using CheckFilesTest = WorkingDirTest;

TEST_F(CheckFilesTest, SerialNumberCreatesBothFilesEmptyingOldOnes) {
    QFile old("pass.csv");
    ASSERT_TRUE(old.open(QIODevice::WriteOnly));
    old.write("previous run\n");
    old.close();
    CsvFiles4Check files;
    EXPECT_FALSE(files.files_open());
    EXPECT_FALSE(QFile::exists("not_pass.csv"));
    testing::internal::CaptureStdout();
    files.set_serial_number(12);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "[INFO] csv_file created successfully.\n[INFO] csv_file created successfully.\n");
    EXPECT_TRUE(files.files_open());
    EXPECT_EQ(file_bytes("pass.csv"), kHead);
    EXPECT_EQ(file_bytes("not_pass.csv"), kHead);
}

TEST_F(CheckFilesTest, RowsGoToTheirOwnFileInFieldOrder) {
    auto files = std::make_shared<CsvFiles4Check>();
    files->set_serial_number(7);
    const CheckData d = make_check(true, 0.0f, kPassText, {1.0f, 0.00001f, 36.6f, 40.0f, 0.123456789f, 0.0000456f,
                                                           1234567.0f, -0.25f, 100000.0f, 0.1f, 2.5f, 12.0f});
    const QDateTime before = QDateTime::currentDateTime();
    files->update_csv_files_slot(d);
    const QByteArray pass = file_bytes("pass.csv");  // flushed: readable while open
    ASSERT_TRUE(pass.startsWith(kHead));
    ASSERT_TRUE(pass.endsWith('\n'));
    expect_row(pass.mid(kHead.size()).chopped(1), before, QDateTime::currentDateTime(),
               ", 7, 1, 1e-05, 36.6, 40, 0.123457, 4.56e-05, 1.23457e+06, -0.25, 100000, 0.1, 2.5, 12, " + kPassText);
    EXPECT_EQ(file_bytes("not_pass.csv"), kHead);

    files->update_csv_files_slot(make_check(false, 0.5f, kFailText));
    EXPECT_EQ(file_bytes("pass.csv"), pass);
    const QByteArray fail = file_bytes("not_pass.csv");
    ASSERT_TRUE(fail.startsWith(kHead));
    ASSERT_TRUE(fail.endsWith('\n'));
    expect_row(fail.mid(kHead.size()).chopped(1), before, QDateTime::currentDateTime(),
               ", 7" + repeat(", 0.5", 12) + ", " + kFailText);

    files->close_csv_files();
    files->close_csv_files();  // twice is harmless
    EXPECT_FALSE(files->files_open());
    files.reset();
    EXPECT_EQ(file_bytes("pass.csv"), pass);
}

// Without a serial number the result is kept: both files are made, number -1.
TEST_F(CheckFilesTest, ResultBeforeSerialNumberIsNotLost) {
    CsvFiles4Check files;
    testing::internal::CaptureStdout();
    files.update_csv_files_slot(make_check(false, 0.5f, kFailText));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("[WARN] Check result arrived before a serial number"), std::string::npos) << out;
    EXPECT_TRUE(files.files_open());
    EXPECT_EQ(file_bytes("pass.csv"), kHead);
    EXPECT_EQ(file_bytes("not_pass.csv").mid(kHead.size() + 19).toStdString(),
              ", -1" + repeat(", 0.5", 12) + ", " + kFailText + "\n");

    files.set_serial_number(9);  // files already open: not emptied
    files.update_csv_files_slot(make_check(false, 0.5f, kFailText));
    const QList<QByteArray> lines = file_bytes("not_pass.csv").split('\n');
    ASSERT_EQ(lines.size(), 5);
    EXPECT_TRUE(lines[2].mid(19).startsWith(", -1, "));
    EXPECT_TRUE(lines[3].mid(19).startsWith(", 9, "));
}

TEST_F(CheckFilesTest, UnwritableFileIsReportedAndTheOtherKeepsWorking) {
    ASSERT_TRUE(QDir(".").mkdir("pass.csv"));  // cannot be opened as a file, even by root
    CsvFiles4Check files;
    testing::internal::CaptureStdout();
    files.set_serial_number(4);
    files.update_csv_files_slot(make_check(true, 0.5f, kPassText));
    files.update_csv_files_slot(make_check(false, 0.5f, kFailText));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.substr(0, out.find('\n') + 1), "[INFO] csv_file created failed, file_path: pass.csv\n");
    EXPECT_NE(out.find("[WARN] Check result not saved, pass.csv cannot be written"), std::string::npos) << out;
    EXPECT_EQ(file_bytes("not_pass.csv").mid(kHead.size() + 19).toStdString(),
              ", 4" + repeat(", 0.5", 12) + ", " + kFailText + "\n");
}

}  // namespace
