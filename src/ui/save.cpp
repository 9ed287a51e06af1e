#include "save.h"

#include <QFileDialog>

#include "console_log.h"
#include "resources_init.h"
#include "ui_save.h"

Save::Save() : QDialog(nullptr), selected_dir(""), ui(new Ui::Save) {
    setAttribute(Qt::WA_QuitOnClose, false);
    // The form's window and folder icons come from the embedded resources.
    hv_init_resources();
    ui->setupUi(this);
}

Save::~Save() {
    hv::log_info("Destruct Save");
    delete ui;
}

void Save::on_folder_pushButton_clicked() {
    // A cancelled chooser returns an empty text, which clears the earlier choice.
    selected_dir = QFileDialog::getExistingDirectory(this, QString::fromUtf8("请选择保存csv文件的目录"), selected_dir,
                                                     QFileDialog::ShowDirsOnly | QFileDialog::DontResolveSymlinks);
    ui->path_lineEdit->setText(selected_dir);
}

void Save::on_comfirm_pushButton_clicked() {
    emit selected_dir_signal(selected_dir);
    QDialog::accept();
}

void Save::on_cancel_pushButton_clicked() { QDialog::reject(); }
