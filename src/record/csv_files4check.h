#pragma once
// Parameter self-check results: passed checks go to "pass.csv", failed ones to
// "not_pass.csv" in the working directory, GBK text, one flushed line per result.
#include <QObject>
#include <QString>
#include <fstream>
#include <memory>

#include "motor_types.h"

class CsvFiles4Check : public QObject {
    Q_OBJECT

public:
    CsvFiles4Check();
    ~CsvFiles4Check() override;

    // True when both streams exist (even one that failed to open).
    bool files_open() const;
    // (Re)opens both files for appending; a new or empty file first gets the maker
    // and column lines.
    void create_csv_files();
    // Creates both files unless they exist already, then keeps n for later rows.
    void set_serial_number(int n);
    void close_csv_files();

    // Whether both files can take rows in the working folder: existing ones open
    // for appending, missing ones can be made there.
    static bool can_write_files();

    // The column line as GBK bytes.
    static const QByteArray& column_line_gbk();

signals:
    // A result that could not be written to `file_name`; the operator must see it.
    void record_not_saved_signal(QString file_name, int serial_number, CheckData check_data);

public slots:
    // Appends one row to the pass or not-pass file. A result arriving before any
    // serial number creates both files first and is written with number -1.
    void update_csv_files_slot(CheckData check_data);

private:
    std::unique_ptr<std::fstream> create_file(const char* name);

    std::unique_ptr<std::fstream> pass_file_;
    std::unique_ptr<std::fstream> not_pass_file_;
    int serial_number_ = -1;
};
