#pragma once
// Starts a detached process. Tests replace the launch to observe a restart
// without starting anything.
#include <QString>
#include <QStringList>
#include <functional>

class ProcessLauncher {
public:
    using Launch = std::function<bool(const QString& program, const QStringList& arguments,
                                      const QString& working_directory)>;

    // QProcess::startDetached, or the installed replacement.
    static bool start_detached(const QString& program, const QStringList& arguments,
                               const QString& working_directory);
    // An empty function restores the real launch.
    static void set_launch(Launch launch);

private:
    static Launch& launch();
};
