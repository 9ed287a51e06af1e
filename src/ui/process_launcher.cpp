#include "process_launcher.h"

#include <QProcess>

ProcessLauncher::Launch& ProcessLauncher::launch() {
    static Launch replacement;
    return replacement;
}

bool ProcessLauncher::start_detached(const QString& program, const QStringList& arguments,
                                     const QString& working_directory) {
    if (launch()) return launch()(program, arguments, working_directory);
    return QProcess::startDetached(program, arguments, working_directory);
}

void ProcessLauncher::set_launch(Launch replacement) { launch() = std::move(replacement); }
