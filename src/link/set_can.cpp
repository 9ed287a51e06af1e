#include "set_can.h"

#include <QIntValidator>
#include <QLabel>
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
    problem_label_ = new QLabel(this);
    problem_label_->setObjectName(QStringLiteral("adapter_problem_label"));
    problem_label_->setWordWrap(true);
    problem_label_->hide();
    ui_->verticalLayout->insertWidget(1, problem_label_);
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

QString SetCan::reason(const AdapterProblem& problem) const {
    switch (problem.kind) {
        case AdapterProblem::Kind::kNoPermission:
            return chinese() ? QStringLiteral("没有打开它的权限；请安装 README 中给出的 udev 规则，然后重新插入适配器")
                             : QStringLiteral("no permission to open it; install the udev rule given in the README, "
                                              "then plug the adapter in again");
        case AdapterProblem::Kind::kKernelInterfaceUp:
            return (chinese() ? QStringLiteral("内核的 CAN 接口 %1 正在使用它（该接口已启用）；请先关闭该接口（ip link set %1 down）")
                              : QStringLiteral("the kernel's CAN interface %1 uses it (the interface is up); "
                                               "take it down first (ip link set %1 down)"))
                .arg(QString::fromStdString(problem.detail));
        case AdapterProblem::Kind::kFailed:
            return QString::fromStdString(problem.detail);
        case AdapterProblem::Kind::kNone:
        case AdapterProblem::Kind::kGone:
            break;
    }
    return QString();
}

void SetCan::show_unusable_adapters(const std::vector<AdapterProblem>& problems) {
    QStringList lines;
    for (const AdapterProblem& problem : problems) {
        const QString line =
            (chinese() ? QStringLiteral("有适配器未列出：") : QStringLiteral("An adapter is not listed: ")) + reason(problem);
        if (!lines.contains(line)) lines << line;
    }
    problem_label_->setText(lines.join(QLatin1Char('\n')));
    problem_label_->setVisible(!lines.isEmpty());
}

void SetCan::show_open_failure(const QString& device_name, const AdapterProblem& problem) {
    const QString why = reason(problem);
    if (why.isEmpty()) return;
    const QString text =
        device_name.isEmpty()
            ? (chinese() ? QStringLiteral("无法打开CAN适配器：%1") : QStringLiteral("Cannot open a CAN adapter: %1")).arg(why)
            : (chinese() ? QStringLiteral("无法打开CAN适配器 %1：%2") : QStringLiteral("Cannot open CAN adapter %1: %2"))
                  .arg(device_name, why);
    // Not waited on: the open's caller goes on while the operator reads it.
    auto* box = new QMessageBox(QMessageBox::Warning, chinese() ? QStringLiteral("警告") : QStringLiteral("Warning"),
                                text, QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::ApplicationModal);
    box->setWindowFlags(box->windowFlags() | Qt::WindowStaysOnTopHint);
    box->show();
}
