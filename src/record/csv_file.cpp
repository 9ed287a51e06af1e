#include "csv_file.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <locale>
#include <system_error>

#include "console_log.h"

CsvFile::~CsvFile() {
    hv::log_info("Destruct CsvFile");
    stream_.reset();
}

bool CsvFile::create(const std::string& path) {
    stream_.reset();
    path_ = path;
    error_.clear();

    stream_ = std::make_unique<std::fstream>();
    // Numbers must not pick up a decimal comma from a global locale.
    stream_->imbue(std::locale::classic());
    errno = 0;
    stream_->open(path, std::ios::out | std::ios::app);
    if (!stream_->is_open()) {
        error_ = errno != 0 ? std::strerror(errno) : "cannot be opened";
        hv::log_info("csv_file created failed, file_path: ", path);
        stream_.reset();
        return false;
    }
    hv::log_info("csv_file created successfully.");
    // An older log in the file ends here; a head that does not fit is cut back to it.
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    whole_size_ = ec ? -1 : static_cast<std::streamoff>(size);
    errno = 0;
    *stream_ << '\n' << std::flush;
    *stream_ << "Created by Halvren Motor Tool\n" << std::flush;
    *stream_ << "Time(s),Type,,Real,Target,,Real,Target,,Real,Target\n" << std::flush;
    // A full device opens but takes no byte: a log without its head is no log.
    return check_stream();
}

bool CsvFile::write(const float state[4], bool target) {
    if (!stream_) return true;
    std::fstream& out = *stream_;
    errno = 0;
    const double t = state[0];
    const double p = state[1];
    const double v = state[2];
    const double q = state[3];
    if (target) {
        out << t << ",target,position,," << p << ",velocity,," << v << ",torque,," << q << '\n';
    } else {
        out << t << ",real,position," << p << ",,velocity," << v << ",,torque," << q << ",\n";
    }
    out.flush();
    return check_stream();
}

bool CsvFile::end() {
    if (!stream_) return true;
    errno = 0;
    *stream_ << "Log ended\n" << std::flush;
    if (!check_stream()) return false;
    stream_->close();
    stream_.reset();
    return true;
}

// A log that stops taking rows (disk full, medium removed) is reported once and
// closed: the whole lines that reached the file stay, later rows would only fail again.
bool CsvFile::check_stream() {
    if (!stream_) return true;
    if (stream_->good()) {
        whole_size_ = stream_->tellp();
        return true;
    }
    error_ = errno != 0 ? std::strerror(errno) : "write failed";
    hv::log_warn("csv_file write failed, rows are not saved, file_path: ", path_, " (", error_, ")");
    stream_.reset();  // closing may still write part of the failed line
    drop_cut_line();
    return false;
}

// The part of a line that reached the file would read as a valid row with wrong
// numbers: the file is cut back to its last whole line.
void CsvFile::drop_cut_line() {
    std::error_code ec;
    if (whole_size_ < 0 || !std::filesystem::is_regular_file(path_, ec)) return;
    std::filesystem::resize_file(path_, static_cast<std::uintmax_t>(whole_size_), ec);
    if (ec) hv::log_warn("csv_file ", path_, " may end in a cut row: ", ec.message());
}
