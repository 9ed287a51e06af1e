#include "csv_file.h"

#include <cerrno>
#include <cstring>
#include <locale>

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
// closed: what reached the file stays, later rows would only fail again.
bool CsvFile::check_stream() {
    if (!stream_ || stream_->good()) return true;
    error_ = errno != 0 ? std::strerror(errno) : "write failed";
    hv::log_warn("csv_file write failed, rows are not saved, file_path: ", path_, " (", error_, ")");
    stream_.reset();
    return false;
}
