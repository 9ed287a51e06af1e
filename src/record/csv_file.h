#pragma once
// The run log: one CSV row per measured or target motion sample, every line
// flushed as it is written so an aborted run loses no row. Main thread only.
#include <fstream>
#include <memory>
#include <string>

class CsvFile {
public:
    CsvFile() = default;
    ~CsvFile();
    CsvFile(const CsvFile&) = delete;
    CsvFile& operator=(const CsvFile&) = delete;

    // Opens path (UTF-8) in append mode and writes the head: an empty line, the
    // maker line and the column line. A log still open is closed without "Log ended".
    // False, with no log open, when the file could not be opened or took no head;
    // error() then tells why.
    bool create(const std::string& path);
    // state: time, position, velocity, torque; target false: measured row,
    // true: target row. Nothing while no log is open. False when this row could
    // not be written: the log is then closed, the rows before it kept, no part of
    // this one, and error() tells why.
    bool write(const float state[4], bool target);
    // Writes "Log ended" and closes the log. Nothing while no log is open. False
    // when the end line could not be written; error() then tells why.
    bool end();

    bool is_open() const { return stream_ != nullptr; }
    // The system's reason why the log last failed; "" after a good create().
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

private:
    // False once the stream has failed; the log is then closed, cut back to its
    // last whole line, and error_ set.
    bool check_stream();
    void drop_cut_line();

    std::unique_ptr<std::fstream> stream_;
    std::string path_;
    std::string error_;
    // Bytes of the file up to its last whole line; -1 when the file has no position.
    std::streamoff whole_size_ = -1;
};
