// The executable's start: configuration file, language line, no crash on bad input.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <tuple>

#include "file_contents.h"

namespace {

// Starts the tool in `dir`, waits for its language line, lets it run a moment and
// ends it. Returns what it wrote to standard output.
QByteArray run_tool(const QString& dir, bool* still_running) {
    QProcess tool;
    tool.setWorkingDirectory(dir);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    tool.setProcessEnvironment(env);
    tool.setProcessChannelMode(QProcess::SeparateChannels);
    tool.start(QStringLiteral(HV_TOOL_PATH), QStringList());
    if (!tool.waitForStarted(5000)) return {};
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("Loaded language config is:") && t.elapsed() < 10000) {
        tool.waitForReadyRead(100);
        out += tool.readAllStandardOutput();
    }
    tool.waitForFinished(800);  // a healthy tool keeps running
    *still_running = tool.state() == QProcess::Running;
    out += tool.readAllStandardOutput();
    tool.kill();
    tool.waitForFinished(3000);
    return out;
}

}  // namespace

// No configuration file: the default one is written; a readable one is used; an
// unusable one never stops the start.
TEST(MainExecutable, StartsWithAnyConfigurationAndLogsTheLanguage) {
    // The language line comes first, except after a warning about an unusable file.
    const std::tuple<QByteArray, QByteArray, bool> cases[] = {
        {"", "[INFO] Loaded language config is: zh\n", true},
        {"{\"lan\": \"en\"}", "[INFO] Loaded language config is: en\n", true},
        {"{\"lan\": 5}", "[INFO] Loaded language config is: ", false},
        {"not json", "[INFO] Loaded language config is: ", false},
        {"[1, 2]", "[INFO] Loaded language config is: ", false},
    };
    for (const auto& [config, line, first] : cases) {
        SCOPED_TRACE(config.toStdString());
        QTemporaryDir dir;
        const QString path = dir.path() + "/config.json";
        if (!config.isEmpty()) {
            QFile f(path);
            ASSERT_TRUE(f.open(QIODevice::WriteOnly) && f.write(config) == config.size());
        }
        bool running = false;
        const QByteArray out = run_tool(dir.path(), &running);
        EXPECT_TRUE(first ? out.startsWith(line) : out.contains(line)) << out.toStdString();
        EXPECT_TRUE(running);
        if (config.isEmpty()) {
            EXPECT_EQ(file_bytes(path), QByteArray("{\n    \"lan\": \"zh\"\n}"));
        }
    }
}
