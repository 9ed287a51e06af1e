// The executable's start: configuration file, language line, no crash on bad input.
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

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

QByteArray read_file(const QString& path) {
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void write_file(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

}  // namespace

TEST(MainExecutable, CreatesTheDefaultConfigurationAndLogsTheLanguage) {
    QTemporaryDir dir;
    bool running = false;
    const QByteArray out = run_tool(dir.path(), &running);
    EXPECT_TRUE(out.startsWith("[INFO] Loaded language config is: zh\n")) << out.toStdString();
    EXPECT_TRUE(running);
    EXPECT_EQ(read_file(dir.path() + "/config.json"), QByteArray("{\n    \"lan\": \"zh\"\n}"));
}

TEST(MainExecutable, EnglishConfiguration) {
    QTemporaryDir dir;
    write_file(dir.path() + "/config.json", "{\"lan\": \"en\"}");
    bool running = false;
    const QByteArray out = run_tool(dir.path(), &running);
    EXPECT_TRUE(out.startsWith("[INFO] Loaded language config is: en\n")) << out.toStdString();
    EXPECT_TRUE(running);
}

TEST(MainExecutable, UnusableConfigurationStartsWithAnEmptyOrDefaultLanguage) {
    for (const QByteArray& text : {QByteArray("{\"lan\": 5}"), QByteArray("not json"), QByteArray("[1, 2]")}) {
        QTemporaryDir dir;
        write_file(dir.path() + "/config.json", text);
        bool running = false;
        const QByteArray out = run_tool(dir.path(), &running);
        EXPECT_TRUE(out.contains("[INFO] Loaded language config is: ")) << text.toStdString();
        EXPECT_TRUE(running) << text.toStdString();
    }
}
