// The executable's start with a missing or unusable configuration file (the
// whole-tool test covers the usable ones): the language line, the file it leaves
// and a tool that keeps running.
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

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
    tool.start(QStringLiteral(HV_TOOL_PATH), QStringList());
    if (!tool.waitForStarted(5000)) return {};
    QByteArray out;
    QElapsedTimer t;
    t.start();
    while (!out.contains("Loaded language config is:") && t.elapsed() < 10000 && tool.state() == QProcess::Running) {
        tool.waitForReadyRead(100);
        out += tool.readAllStandardOutput();
    }
    tool.waitForFinished(500);  // a healthy tool keeps running
    *still_running = tool.state() == QProcess::Running;
    out += tool.readAllStandardOutput();
    tool.kill();
    tool.waitForFinished(3000);
    return out;
}

}  // namespace

TEST(MainExecutable, StartsWithMissingOrUnusableConfiguration) {
    struct Row {
        const char* file;  // nullptr: no configuration file
        const char* language;
    } rows[] = {
        // An unusable file is set aside with a warning first; the defaults are used.
        {nullptr, "zh"}, {"{\"lan\": 5}", "zh"}, {"not json", "zh"}, {"[1, 2]", "zh"}, {"{\"lan\": \"fr\"}", "fr"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.file ? row.file : "(none)");
        QTemporaryDir dir;
        const QString config = dir.filePath(QStringLiteral("config.json"));
        if (row.file) ASSERT_TRUE(write_file(config, row.file));
        bool running = false;
        const QByteArray out = run_tool(dir.path(), &running);
        const QByteArray line = QByteArray("[INFO] Loaded language config is: ") + row.language + "\n";
        EXPECT_TRUE(row.file ? out.contains(line) : out.startsWith(line)) << out.toStdString();
        EXPECT_TRUE(running);
        if (!row.file) EXPECT_EQ(file_bytes(config), "{\n    \"lan\": \"zh\"\n}");
    }
}
