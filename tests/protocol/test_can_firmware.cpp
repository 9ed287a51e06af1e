#include "can_link_fixture.h"

namespace {

TEST(Crc32, CheckVectorChunksAndReference) {
    const char* text = "123456789";
    EXPECT_EQ(crc32_calculate(reinterpret_cast<const uint8_t*>(text), 9), 0x89A1897Fu);
    EXPECT_EQ(crc32_calculate(nullptr, 0), 0u);
    // Running over chunks equals one pass, and agrees with a bit-by-bit reference.
    const QByteArray data = QByteArray("The quick brown fox jumps over the lazy dog").repeated(37);
    uint32_t running = 0;
    for (int i = 0; i < data.size(); i += 8)
        running = crc32_update(running, reinterpret_cast<const uint8_t*>(data.constData()) + i,
                               static_cast<uint32_t>(std::min(8, data.size() - i)));
    EXPECT_EQ(running, crc32_calculate(reinterpret_cast<const uint8_t*>(data.constData()), data.size()));
    EXPECT_EQ(running, CanDriverPeer::reference_crc32(data));
}

TEST_F(CanManagerTest, FirmwareUpdateOf64KiBMatchesDriversOwnCrc) {
    const QByteArray image = random_bytes(64 * 1024, 7);
    const QString path = write_image(image);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(path, true);
    manager->update_firmware();
    const auto returned = Clock::now();

    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_EQ(dialogs.file_caption, QStringLiteral("Please choose the firmware"));
    EXPECT_TRUE(dialogs.file_filters.contains(QStringLiteral("bin file (*.bin)")));
    EXPECT_EQ(dialogs.box_title, QStringLiteral("Tips"));
    EXPECT_EQ(dialogs.box_text, QStringLiteral("Click OK to burn the firmware"));
    EXPECT_EQ(events, (std::vector<std::string>{"start", "success"}));

    EXPECT_EQ(peer->request_count(19), 8192);
    EXPECT_EQ(peer->image(), image);
    const auto check = peer->last_check();
    ASSERT_TRUE(check.done);
    EXPECT_EQ(check.claimed_size, 65536u);
    EXPECT_EQ(check.own_crc, check.claimed_crc);
    EXPECT_EQ(check.claimed_crc, CanDriverPeer::reference_crc32(image));
    EXPECT_TRUE(check.accepted);
    EXPECT_EQ(peer->dfu_count(), 1);

    // DFU start, then the success signal, then the version request about 3 s later.
    ASSERT_TRUE(peer->wait_for_requests(22, 1, 2000));
    const auto dfu = peer->requests(21);
    const auto version = peer->requests(22);
    ASSERT_EQ(dfu.size(), 1u);
    EXPECT_EQ(dfu_sent_before_success, 1);
    const auto pause = std::chrono::duration_cast<milliseconds>(version[0].at - dfu[0].at).count();
    EXPECT_GE(pause, 2950);
    EXPECT_LT(pause, 4000);
    EXPECT_LE(version[0].at, returned + milliseconds(100));
    EXPECT_TRUE(console.contains("[INFO] App back check passed"));
    EXPECT_TRUE(console.contains("[INFO] CAN get firmware version"));
}

TEST_F(CanManagerTest, LastChunkIsPaddedWithZerosAndAnEmptyImageSendsNone) {
    const QByteArray image = random_bytes(13, 11);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(image), true);
    manager->update_firmware();
    const auto chunks = peer->requests(19);
    ASSERT_EQ(chunks.size(), 2u);
    for (const auto& c : chunks) EXPECT_EQ(c.frame.dlc, 8);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(chunks[1].frame.data), 8), image.mid(8) + QByteArray(3, '\0'));
    EXPECT_EQ(peer->last_check().claimed_size, 16u);
    EXPECT_EQ(peer->last_check().claimed_crc, CanDriverPeer::reference_crc32(image + QByteArray(3, '\0')));
    EXPECT_TRUE(peer->last_check().accepted);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "success"}));
    EXPECT_TRUE(console.contains("[INFO] size: 10 crc32: "));

    peer->clear_requests();
    events.clear();
    answer_firmware_dialogs(write_image(QByteArray(), "empty.bin"), true);
    manager->update_firmware();
    EXPECT_EQ(peer->request_count(19), 0);
    const auto checks = peer->requests(20);
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0].frame.dlc, 8);
    EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(checks[0].frame.data), 8), QByteArray(8, '\0'));
    EXPECT_TRUE(console.contains("[INFO] size: 0 crc32: 0"));
    EXPECT_TRUE(peer->last_check().accepted);
    EXPECT_EQ(events, (std::vector<std::string>{"start", "success"}));
}

TEST_F(CanManagerTest, CancelledConfirmationInChineseSendsNothing) {
    make_manager("zh");
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image(random_bytes(24, 1)), false);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_EQ(dialogs.file_caption, QStringLiteral("请选择固件"));
    EXPECT_TRUE(dialogs.file_filters.contains(QStringLiteral("bin文件 (*.bin)")));
    EXPECT_EQ(dialogs.box_title, QStringLiteral("提示"));
    EXPECT_EQ(dialogs.box_text, QStringLiteral("点击OK开始烧录固件"));
    EXPECT_TRUE(console.contains("[INFO] Cancel clicked"));
    QTest::qWait(50);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->request_count(19), 0);
}

TEST_F(CanManagerTest, NoStartAcknowledgementFailsWithoutDialogs) {
    peer->set_start_answer(CanDriverPeer::Answer::Silent);
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(write_image("abc"), true);
    const auto t0 = Clock::now();
    manager->update_firmware();
    const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - t0).count();
    EXPECT_GE(waited, 2900);
    EXPECT_LT(waited, 4000);
    EXPECT_TRUE(console.contains("[INFO] Can start write app back"));
    QTest::qWait(50);
    EXPECT_EQ(events, std::vector<std::string>{"failed"});
    EXPECT_TRUE(dialogs.seen.empty());
    EXPECT_EQ(peer->request_count(19), 0);
}

TEST_F(CanManagerTest, RejectedImageEndsAtOnceAndASilentCheckIsBounded) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    const std::pair<CanDriverPeer::Answer, std::pair<int, int>> cases[] = {
        {CanDriverPeer::Answer::Reject, {0, 1000}}, {CanDriverPeer::Answer::Silent, {4500, 7000}}};
    for (const auto& [answer, bounds] : cases) {
        SCOPED_TRACE(answer == CanDriverPeer::Answer::Reject ? "rejected" : "silent");
        peer->set_check_answer(answer);
        peer->clear_requests();
        events.clear();
        answer_firmware_dialogs(write_image(random_bytes(64, 3)), true);
        manager->update_firmware();
        const auto checks = peer->requests(20);
        ASSERT_EQ(checks.size(), 1u);
        const auto waited = std::chrono::duration_cast<milliseconds>(Clock::now() - checks[0].at).count();
        EXPECT_GE(waited, bounds.first);
        EXPECT_LT(waited, bounds.second);
        QTest::qWait(50);
        EXPECT_EQ(events, (std::vector<std::string>{"start", "failed"}));
        EXPECT_EQ(peer->request_count(21), 0);
        EXPECT_EQ(peer->request_count(22), 0);
    }
}

TEST_F(CanManagerTest, CancelledFileChoiceAndOversizedImageSendNothing) {
    ASSERT_TRUE(toggle_via_dialog("3", true));
    answer_firmware_dialogs(QString(), true);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, std::vector<std::string>{"file"});
    EXPECT_TRUE(console.contains("[INFO] User cancel file selection"));

    answer_firmware_dialogs(write_image(QByteArray(1024 * 1024 + 1, '\x5A')), true);
    manager->update_firmware();
    EXPECT_EQ(dialogs.seen, (std::vector<std::string>{"file", "box"}));
    EXPECT_EQ(dialogs.box_title, QStringLiteral("Tips"));
    EXPECT_NE(dialogs.box_text, QStringLiteral("Click OK to burn the firmware"));

    QTest::qWait(50);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(peer->request_count(19), 0);
    EXPECT_EQ(peer->request_count(20), 0);
}

}  // namespace
