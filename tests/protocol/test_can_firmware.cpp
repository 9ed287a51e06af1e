// The firmware update over the emulated adapter: the image the driver gets and its
// CRC against the driver double's own, the dialogs, and every way it ends early.
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <random>

#include "can_manager_fixture.h"

namespace {

using Answer = CanDriverPeer::Answer;
using Seen = std::vector<std::string>;

QByteArray random_bytes(int n, unsigned seed) {
    std::mt19937 rng(seed);
    QByteArray bytes(n, '\0');
    for (char& b : bytes) b = char(rng());
    return bytes;
}

uint32_t u32_at(const CanFrame& f, int k) {
    return uint32_t{f.data[k]} << 24 | uint32_t{f.data[k + 1]} << 16 | uint32_t{f.data[k + 2]} << 8 | f.data[k + 3];
}

class CanFirmwareTest : public CanManagerTest {
protected:
    QString write_image(const QByteArray& bytes) {
        const QString path = dir.filePath(QString("fw%1.bin").arg(++images));
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
        return path;
    }
    // Runs the update to its end with the dialogs answered; the requests the driver
    // got after it, once a last request has come through behind them.
    std::vector<CanDriverPeer::Request> update(const QString& path, bool confirm) {
        peer->clear_requests();
        writes_before = adapter->host_write_times().size();
        events.clear();
        dialogs = {};
        {
            auto answers = answer_firmware_dialogs(path, confirm);
            const auto t0 = std::chrono::steady_clock::now();
            manager->update_firmware();
            EXPECT_TRUE(wait_until([&] { return !manager->firmware_updating(); }, 60000));
            took = std::chrono::steady_clock::now() - t0;
        }
        manager->reset_motor();
        EXPECT_TRUE(peer->wait_for_requests(CanCommand::kResetMotor, 1, 2000));
        return peer->requests();
    }
    QTemporaryDir dir;
    int images = 0;
    std::size_t writes_before = 0;  // the adapter's record of writes before the last update
    std::chrono::steady_clock::duration took{};
};

int count(const std::vector<CanDriverPeer::Request>& requests, uint8_t cmd) {
    return int(std::count_if(requests.begin(), requests.end(), [cmd](const auto& r) { return r.cmd == cmd; }));
}

// When the tool wrote its first frame of `cmd` in the last update (pauses are timed
// there: the emulated bus may pass a frame on late on a busy machine).
std::chrono::steady_clock::time_point written(EmulatedGsUsbAdapter& adapter, std::size_t from, uint8_t cmd) {
    const auto writes = adapter.host_write_times();
    for (std::size_t i = from; i < writes.size(); ++i)
        if (((writes[i].can_id >> 5) & 0x3F) == cmd) return writes[i].at;
    ADD_FAILURE() << "no write of command " << int(cmd);
    return {};
}

// 1024 chunks of 8 KiB arrive unchanged, with the size and a CRC equal to the driver
// double's bit-by-bit one; DFU start before success, the version request 30 polls later.
TEST_F(CanFirmwareTest, UpdateOf8KiBMatchesTheIndependentCrc) {
    const QByteArray image = random_bytes(8 * 1024, 7);
    // Unpaced chunks queue their 1024 acknowledgements ahead of the check's: a longer poll.
    const int poll_ms = 30;
    manager->set_intervals(0, poll_ms, kCalibrationMs);
    ASSERT_TRUE(toggle_link(true));
    const auto requests = update(write_image(image), true);
    EXPECT_EQ(dialogs.seen, (Seen{"file", "box"}));
    EXPECT_EQ(dialogs.file_caption, "Please choose the firmware");
    EXPECT_TRUE(dialogs.file_filters.contains("bin file (*.bin)"));
    EXPECT_EQ(dialogs.box_title, "Tips");
    EXPECT_EQ(dialogs.box_text, "Click OK to burn the firmware");
    EXPECT_EQ(events, (Seen{"start", "success"}));
    EXPECT_EQ(count(requests, CanCommand::kWriteAppBack), 1024);
    EXPECT_EQ(peer->image(), image);
    const auto check = peer->requests(CanCommand::kCheckAppBack);
    ASSERT_EQ(check.size(), 1u);
    EXPECT_EQ(u32_at(check[0].frame, 0), 8192u);
    EXPECT_EQ(u32_at(check[0].frame, 4), CanDriverPeer::reference_crc32(image));
    EXPECT_EQ(dfu_before_success, 1);
    const auto dfu = peer->requests(CanCommand::kDfuStart), version = peer->requests(CanCommand::kGetFwVersion);
    ASSERT_EQ(dfu.size(), 1u);
    ASSERT_EQ(version.size(), 1u);
    EXPECT_GE(written(*adapter, writes_before, CanCommand::kGetFwVersion) -
                  written(*adapter, writes_before, CanCommand::kDfuStart),
              std::chrono::milliseconds(30 * poll_ms));
}

// Short images, the driver's silences and the operator's cancels, in both languages.
TEST_F(CanFirmwareTest, PaddingSilencesAndCancels) {
    struct Row {
        const char* name;
        std::string lan;
        int size;  // -1: the file choice is cancelled
        bool confirm;
        Answer start, check;
        Seen seen, outcome;
        std::array<int, 5> sent;  // start, chunks, check, DFU start, version request
        int poll_ms, min_polls, max_polls;  // how long the update took, in polls
        int chunk_ms = 0;  // the pause after each chunk
    } rows[] = {
        {"13 bytes, padded", "en", 13, true, Answer::Ack, Answer::Ack, {"file", "box"}, {"start", "success"}, {1, 2, 1, 1, 1}, kPollMs, 30, 1000},
        {"20 bytes, paced", "en", 20, true, Answer::Ack, Answer::Ack, {"file", "box"}, {"start", "success"}, {1, 3, 1, 1, 1}, kPollMs, 30, 1000, 40},
        {"file choice cancelled", "en", -1, true, Answer::Ack, Answer::Ack, {"file"}, {}, {0, 0, 0, 0, 0}, kPollMs, 0, 1000},
        {"confirmation cancelled", "en", 40, false, Answer::Ack, Answer::Ack, {"file", "box"}, {}, {1, 0, 0, 0, 0}, kPollMs, 0, 1000},
        {"silent start", "en", 3, true, Answer::Silent, Answer::Ack, {"file"}, {"failed"}, {1, 0, 0, 0, 0}, kPollMs, 30, 1000},
        {"silent image check", "en", 16, true, Answer::Ack, Answer::Silent, {"file", "box"}, {"start", "failed"}, {1, 2, 1, 0, 0}, kPollMs, CanManager::kImageCheckPolls, 1000},
        // A rejected image ends at the next poll, long before the silent image check's bound.
        {"image rejected", "en", 16, true, Answer::Ack, Answer::Reject, {"file", "box"}, {"start", "failed"}, {1, 2, 1, 0, 0}, 100, 0, CanManager::kImageCheckPolls / 2},
        {"Chinese, cancelled", "zh", 24, false, Answer::Ack, Answer::Ack, {"file", "box"}, {}, {1, 0, 0, 0, 0}, kPollMs, 0, 1000},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        if (row.lan != "en" || !adapter->is_open()) {
            if (row.lan != "en") make_manager(row.lan);
            ASSERT_TRUE(toggle_link(true));
        }
        peer->set_answers(row.start, row.check, Answer::Ack);
        manager->set_intervals(row.chunk_ms, row.poll_ms, kCalibrationMs);
        const QByteArray image = random_bytes(std::max(row.size, 0), unsigned(row.size));
        const auto requests = update(row.size < 0 ? QString() : write_image(image), row.confirm);
        EXPECT_EQ(dialogs.seen, row.seen);
        EXPECT_EQ(events, row.outcome);
        EXPECT_GE(took, std::chrono::milliseconds(row.min_polls * row.poll_ms));
        EXPECT_LT(took, std::chrono::milliseconds(row.max_polls * row.poll_ms));
        const uint8_t cmds[5] = {CanCommand::kWriteAppBackStart, CanCommand::kWriteAppBack, CanCommand::kCheckAppBack,
                                 CanCommand::kDfuStart, CanCommand::kGetFwVersion};
        for (int i = 0; i < 5; ++i) EXPECT_EQ(count(requests, cmds[i]), row.sent[i]) << int(cmds[i]);
        const bool zh = row.lan == "zh";
        EXPECT_EQ(dialogs.file_caption, zh ? QStringLiteral("请选择固件") : QStringLiteral("Please choose the firmware"));
        EXPECT_TRUE(dialogs.file_filters.contains(zh ? QStringLiteral("bin文件 (*.bin)") : QStringLiteral("bin file (*.bin)")));
        if (row.seen.size() > 1) {
            EXPECT_EQ(dialogs.box_title, zh ? QStringLiteral("提示") : QStringLiteral("Tips"));
            EXPECT_EQ(dialogs.box_text, zh ? QStringLiteral("点击OK开始烧录固件") : QStringLiteral("Click OK to burn the firmware"));
        }
        if (row.sent[2] == 0) continue;
        // Whole chunks, the last one padded with zeros; size and CRC over what was sent.
        const QByteArray sent = image + QByteArray((8 - image.size() % 8) % 8, '\0');
        EXPECT_EQ(peer->image(), sent);
        for (const auto& chunk : peer->requests(CanCommand::kWriteAppBack)) EXPECT_EQ(chunk.frame.dlc, 8);
        const CanFrame check = peer->requests(CanCommand::kCheckAppBack)[0].frame;
        EXPECT_EQ(u32_at(check, 0), uint32_t(sent.size()));
        EXPECT_EQ(u32_at(check, 4), CanDriverPeer::reference_crc32(sent));
        // The pause follows every chunk, the last one included, before the check frame.
        const auto chunks = peer->requests(CanCommand::kWriteAppBack);
        const auto paced = written(*adapter, writes_before, CanCommand::kCheckAppBack) -
                           written(*adapter, writes_before, CanCommand::kWriteAppBack);
        EXPECT_GE(paced, std::chrono::milliseconds(int(chunks.size()) * row.chunk_ms - row.chunk_ms / 4));
    }
}

}  // namespace
