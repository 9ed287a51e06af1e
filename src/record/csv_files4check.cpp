#include "csv_files4check.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QString>
#include <locale>

#include "console_log.h"
#include "gbk_text.h"

namespace {

const char* const kPassFile = "pass.csv";
const char* const kNotPassFile = "not_pass.csv";

const char* const kColumnLine =
    u8"检测时间,序列号,电流采样系数误差,电流采样数值误差(A),电机温度(℃),驱动器温度(℃),"
    u8"电机相电阻(Ohm),电机相电感(H),电机空载力矩电流均值(A),电机空载力矩电流纹波峰峰值(A),"
    u8"电机反电动势系数(V/krpm),电机力矩系数(N·m/A),电机空载阻力矩(N·m),"
    u8"电机转动惯量(kg·m/s^2),检测结果";


}  // namespace

CsvFiles4Check::CsvFiles4Check() : QObject(nullptr) {}

CsvFiles4Check::~CsvFiles4Check() {
    close_csv_files();
    hv::log_info("Destruct CsvFiles4Check");
}

bool CsvFiles4Check::can_write_files() {
    for (const char* name : {kPassFile, kNotPassFile}) {
        if (QFileInfo::exists(QString::fromLatin1(name))) {
            std::ofstream probe(name, std::ios::out | std::ios::app);
            if (!probe.is_open()) return false;
        } else {
            QTemporaryFile probe(QDir::current().filePath(QStringLiteral("check-probe-XXXXXX")));
            if (!probe.open()) return false;
        }
    }
    return true;
}

const QByteArray& CsvFiles4Check::column_line_gbk() {
    static const QByteArray line = utf8_to_gbk(kColumnLine);
    return line;
}

bool CsvFiles4Check::files_open() const {
    return pass_file_ != nullptr && not_pass_file_ != nullptr;
}

std::unique_ptr<std::fstream> CsvFiles4Check::create_file(const char* name) {
    // Earlier runs' results stay: rows are appended, the head goes only into a new or empty file.
    const bool fresh = QFileInfo(QString::fromLatin1(name)).size() == 0;
    auto file = std::make_unique<std::fstream>();
    file->imbue(std::locale::classic());
    file->open(name, std::ios::out | std::ios::app);
    if (file->is_open()) {
        hv::log_info("csv_file created successfully.");
    } else {
        hv::log_info("csv_file created failed, file_path: ", name);
    }
    if (fresh) {
        const QByteArray& columns = column_line_gbk();
        *file << "Created by Halvren Motor Tool\n" << std::flush;
        file->write(columns.constData(), columns.size());
        *file << '\n' << std::flush;
    }
    return file;
}

void CsvFiles4Check::create_csv_files() {
    pass_file_.reset();
    not_pass_file_.reset();
    pass_file_ = create_file(kPassFile);
    not_pass_file_ = create_file(kNotPassFile);
}

void CsvFiles4Check::set_serial_number(int n) {
    if (!files_open()) create_csv_files();
    serial_number_ = n;
}

void CsvFiles4Check::update_csv_files_slot(CheckData check_data) {
    if (!files_open()) {
        hv::log_warn("Check result arrived before a serial number was entered; "
                     "creating the check files, serial number ", serial_number_);
        create_csv_files();
    }
    const std::string time =
        QDateTime::currentDateTime().toString("yyyy-MM-dd HH:mm:ss").toStdString();
    const char* name = check_data.pass ? kPassFile : kNotPassFile;
    std::fstream& out = check_data.pass ? *pass_file_ : *not_pass_file_;

    const float values[12] = {
        check_data.current_sample_error_k, check_data.current_sample_error_b,
        check_data.motor_temp,             check_data.driver_temp,
        check_data.phase_R,                check_data.phase_L,
        check_data.non_load_current_average, check_data.non_load_current_peak,
        check_data.back_EMF,               check_data.torque_k,
        check_data.non_load_torque,        check_data.moment_of_inertia,
    };
    out << time << ", " << serial_number_ << ", ";
    for (float value : values) out << static_cast<double>(value) << ", ";
    out.write(check_data.result.data(), static_cast<std::streamsize>(check_data.result.size()));
    out << '\n' << std::flush;
    if (!out.good()) {
        hv::log_warn("Check result not saved, ", name, " cannot be written (serial number ",
                     serial_number_, ", ", time, ")");
        emit record_not_saved_signal(QString::fromLatin1(name), serial_number_, check_data);
    }
}

void CsvFiles4Check::close_csv_files() {
    if (pass_file_) {
        pass_file_->close();
        pass_file_.reset();
    }
    if (not_pass_file_) {
        not_pass_file_->close();
        not_pass_file_.reset();
    }
}
