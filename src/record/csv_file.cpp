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
    failure_reported_ = false;
    error_.clear();

    stream_ = std::make_unique<std::fstream>();
    // Numbers must not pick up a decimal comma from a global locale.
    stream_->imbue(std::locale::classic());
    errno = 0;
    stream_->open(path, std::ios::out | std::ios::app);
    const bool opened = stream_->is_open();
    if (!opened) error_ = errno != 0 ? std::strerror(errno) : "cannot be opened";
    if (opened) {
        hv::log_info("csv_file created successfully.");
        *stream_ << '\n' << std::flush;
    } else {
        // The failed stream stays; its writes have no effect and end() releases it.
        hv::log_info("csv_file created failed, file_path: ", path);
        failure_reported_ = true;
    }
    *stream_ << "Created by Halvren Motor Tool\n" << std::flush;
    *stream_ << "Time(s),Type,,Real,Target,,Real,Target,,Real,Target\n" << std::flush;
    check_stream();
    return opened;
}

void CsvFile::write(const float state[4], bool target) {
    if (!stream_) return;
    std::fstream& out = *stream_;
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
    check_stream();
}

void CsvFile::end() {
    if (!stream_) return;
    *stream_ << "Log ended\n" << std::flush;
    check_stream();
    stream_->close();
    stream_.reset();
}

// A log that stops taking rows (disk full, medium removed) is reported once.
void CsvFile::check_stream() {
    if (failure_reported_ || !stream_ || stream_->good()) return;
    failure_reported_ = true;
    hv::log_warn("csv_file write failed, rows are not saved, file_path: ", path_);
}
