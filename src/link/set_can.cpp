#include "set_can.h"

#include <QIntValidator>
#include <QMessageBox>

#include "console_log.h"
#include "ui_setcan.h"

namespace {
// The id fills the low four bits of the identifier; a larger one would change the command.
constexpr int kMaxMotorId = 15;
}  // namespace

SetCan::SetCan(std::shared_ptr<CanInterface> device, std::string lan)
    : QDialog(nullptr), device_(std::move(device)), ui_(std::make_unique<Ui::SetCan>()), lan_(std::move(lan)) {
    setAttribute(Qt::WA_QuitOnClose, false);
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);
    setWindowFlags(windowFlags() & ~Qt::WindowMinimizeButtonHint & ~Qt::WindowMaximizeButtonHint);
    ui_->setupUi(this);
    ui_->can_id_lineEdit->setValidator(new QIntValidator(this));
}

SetCan::~SetCan() {
    hv::log_info("Dectruct SetCan");
    device_.reset();
}

void SetCan::show_tip(const QString& zh_text, const QString& en_text) {
    QMessageBox box(QMessageBox::NoIcon, chinese() ? QStringLiteral("提示") : QStringLiteral("Tip"),
                    chinese() ? zh_text : en_text);
    box.setWindowFlags(box.windowFlags() | Qt::WindowStaysOnTopHint);
    box.exec();
}

void SetCan::on_open_close_pushButton_clicked() {
    const QString text = ui_->can_id_lineEdit->text();
    if (text.isEmpty()) {
        show_tip(QStringLiteral("关节id未输入"), QStringLiteral("No motor id input"));
        return;
    }
    bool ok = false;
    const int id = text.toInt(&ok);
    if (!ok || id < 0 || id > kMaxMotorId) {
        hv::log_warn("Motor id out of range 0..15: ", text.toStdString());
        show_tip(QStringLiteral("关节id超出范围(0-15)"), QStringLiteral("Motor id out of range (0-15)"));
        return;
    }
    can_id_ = static_cast<uint8_t>(id);
    emit set_can_id_signal(can_id_);
    hv::log_info("can_id_: ", static_cast<unsigned>(can_id_));
    emit device_open_close_signal(ui_->device_select_comboBox->currentText());
}

void SetCan::on_cancle_pushButton_clicked() { close(); }

void SetCan::device_number_changed_slot(std::vector<std::string>& serials) {
    ui_->device_select_comboBox->clear();
    for (const auto& name : serials) ui_->device_select_comboBox->addItem(QString::fromStdString(name));
}

void SetCan::device_state_changed_slot(bool state) {
    shows_open_ = state;
    if (state) {
        ui_->open_close_pushButton->setText(chinese() ? QStringLiteral("关闭设备") : QStringLiteral("Close"));
    } else {
        ui_->open_close_pushButton->setText(chinese() ? QStringLiteral("打开设备") : QStringLiteral("Open"));
    }
}
