// CsvFiles4Check on real files in a temporary working directory; bytes compared as GBK.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <array>
#include <cstdlib>
#include <locale>
#include <string>
#include <tuple>
#include <vector>

#include "console_capture.h"
#include "csv_files4check.h"
#include "decimal_comma_locale.h"
#include "file_contents.h"
#include "param_check.h"
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
const std::string kPassText = QByteArray::fromHex("d0a3d1e9b3c9b9a6").toStdString();  // 校验成功
const std::string kFailText = QByteArray::fromHex("b5e7b8d0b2bbbacfb8f1").toStdString() + "\xff";
const std::string kHalves = ", 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, 0.5, ";

const std::array<float, 12> kHalf = {0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f, 0.5f};

// A check record as both reply parsers build it.
CheckData make_check(bool pass, std::string text, std::array<float, 12> values = kHalf) {
    return make_check_data(pass, text, values);
}

// The rows after `prefix`, each with its leading time stamp checked and cut off.
std::vector<std::string> rows_after(const QByteArray& bytes, const QByteArray& prefix) {
    EXPECT_TRUE(bytes.startsWith(prefix)) << bytes.toStdString();
    std::vector<std::string> rows;
    for (const QByteArray& line : bytes.mid(prefix.size()).split('\n')) {
        if (line.isEmpty()) continue;
        const QDateTime t = QDateTime::fromString(QString::fromLatin1(line.left(19)), "yyyy-MM-dd HH:mm:ss");
        EXPECT_LT(std::abs(t.secsTo(QDateTime::currentDateTime())), 5) << line.toStdString();
        rows.push_back(line.mid(19).toStdString());
    }
    return rows;
}

using CheckFilesTest = WorkingDirTest;

// Each start appends; the head lines go only into a new or empty file.
TEST_F(CheckFilesTest, RowsAreAppendedAndTheHeadWrittenOnlyOnce) {
    const struct {
        const char* before;  // pass.csv before the run; nullptr: missing
        QByteArray kept;
    } rows[] = {{nullptr, kHead}, {"", kHead}, {"earlier row\n", "earlier row\n"}, {kHead.constData(), kHead}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.before ? row.before : "<missing>");
        QFile::remove("pass.csv");
        QFile::remove("not_pass.csv");
        ASSERT_TRUE(!row.before || write_file("pass.csv", row.before));
        for (int run = 12; run <= 13; ++run) {  // a restart of the tool in between
            CsvFiles4Check files;
            files.set_serial_number(run);
            files.update_csv_files_slot(make_check(true, kPassText));
        }
        EXPECT_EQ(rows_after(file_bytes("pass.csv"), row.kept),
                  (std::vector<std::string>{", 12" + kHalves + kPassText, ", 13" + kHalves + kPassText}));
        EXPECT_EQ(file_bytes("not_pass.csv"), kHead);
    }
}

// Field order and number format under a decimal-comma locale; a result before any
// serial number is kept with number -1.
TEST_F(CheckFilesTest, RowsGoToTheirFileInFieldOrder) {
    const std::locale old = std::locale::global(decimal_comma_locale());
    CsvFiles4Check files;
    files.update_csv_files_slot(make_check(false, kFailText));
    files.set_serial_number(1000);
    files.update_csv_files_slot(make_check(true, kPassText, {1.0f, 0.00001f, 36.6f, 40.0f, 0.123456789f, 0.0000456f,
                                                             1234567.0f, -0.25f, 100000.0f, 0.1f, 2.5f, 12.0f}));
    files.update_csv_files_slot(make_check(false, kFailText));
    std::locale::global(old);
    EXPECT_EQ(rows_after(file_bytes("pass.csv"), kHead),
              std::vector<std::string>{", 1000, 1, 1e-05, 36.6, 40, 0.123457, 4.56e-05, 1.23457e+06, -0.25, 100000, "
                                       "0.1, 2.5, 12, " + kPassText});
    EXPECT_EQ(rows_after(file_bytes("not_pass.csv"), kHead),
              (std::vector<std::string>{", -1" + kHalves + kFailText, ", 1000" + kHalves + kFailText}));
}

// pass.csv cannot be opened (a folder of that name, so even root fails): the failure
// names it, its results are lost, and not_pass.csv keeps working.
TEST_F(CheckFilesTest, UnopenablePassFileLeavesTheOtherWorking) {
    ASSERT_TRUE(QDir(".").mkdir("pass.csv"));
    CsvFiles4Check files;
    ConsoleCapture out;
    files.set_serial_number(4);
    EXPECT_TRUE(files.files_open());
    files.update_csv_files_slot(make_check(true, kPassText));
    files.update_csv_files_slot(make_check(false, kFailText));
    const std::vector<std::string> failed = out.lines_starting("[INFO] csv_file created failed");
    ASSERT_EQ(failed.size(), 1u) << out.text();
    EXPECT_NE(failed[0].find("pass.csv"), std::string::npos);
    EXPECT_EQ(failed[0].find("not_pass.csv"), std::string::npos);
    EXPECT_TRUE(QFileInfo("pass.csv").isDir());
    EXPECT_EQ(rows_after(file_bytes("not_pass.csv"), kHead), std::vector<std::string>{", 4" + kHalves + kFailText});
}

// No file before the first serial number; closing releases both (twice is harmless)
// and leaves what was written.
TEST_F(CheckFilesTest, FilesOpenFromTheSerialNumberUntilClosed) {
    CsvFiles4Check files;
    EXPECT_FALSE(files.files_open());
    EXPECT_FALSE(QFile::exists("pass.csv"));
    files.set_serial_number(5);
    EXPECT_TRUE(files.files_open());
    files.close_csv_files();
    EXPECT_FALSE(files.files_open());
    files.close_csv_files();
    EXPECT_FALSE(files.files_open());
    EXPECT_EQ(file_bytes("pass.csv"), kHead);
    EXPECT_EQ(file_bytes("not_pass.csv"), kHead);
}

// The reply parsers reach the slot through a queued connection with the registered record.
TEST_F(CheckFilesTest, SlotTakesQueuedCheckData) {
    qRegisterMetaType<CheckData>("CheckData");
    CsvFiles4Check files;
    files.set_serial_number(8);
    ASSERT_TRUE(QMetaObject::invokeMethod(&files, "update_csv_files_slot", Qt::QueuedConnection,
                                          Q_ARG(CheckData, make_check(true, kPassText))));
    EXPECT_EQ(file_bytes("pass.csv"), kHead);
    QCoreApplication::processEvents();
    EXPECT_EQ(rows_after(file_bytes("pass.csv"), kHead), std::vector<std::string>{", 8" + kHalves + kPassText});
}

// A result that cannot be written is handed on with its file, serial number and
// verdict; the other file keeps working.
TEST_F(CheckFilesTest, ResultsThatCannotBeWrittenAreHandedOn) {
    ASSERT_TRUE(QDir().mkdir("pass.csv"));
    CsvFiles4Check files;
    std::vector<std::tuple<QString, int, bool, std::string>> lost;
    QObject::connect(&files, &CsvFiles4Check::record_not_saved_signal,
                     [&](QString file, int n, CheckData d) { lost.emplace_back(file, n, d.pass, d.result); });
    files.set_serial_number(12);
    files.update_csv_files_slot(make_check(true, kPassText));
    files.update_csv_files_slot(make_check(false, kFailText));
    EXPECT_EQ(lost, (std::vector<std::tuple<QString, int, bool, std::string>>{{"pass.csv", 12, true, kPassText}}));
    EXPECT_EQ(rows_after(file_bytes("not_pass.csv"), kHead), std::vector<std::string>{", 12" + kHalves + kFailText});
}

}  // namespace

