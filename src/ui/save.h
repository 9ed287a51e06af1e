#pragma once
#include <QDialog>
#include <QString>

namespace Ui {
class Save;
}

// Run-log folder dialog: the folder comes only from the chooser and is handed
// on when the operator confirms.
class Save : public QDialog {
    Q_OBJECT

public:
    Save();
    ~Save() override;

signals:
    void selected_dir_signal(QString selected_dir);

private slots:
    void on_folder_pushButton_clicked();
    void on_comfirm_pushButton_clicked();
    void on_cancel_pushButton_clicked();

private:
    QString selected_dir;
    Ui::Save* ui;
};
