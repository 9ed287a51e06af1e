#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include "device_scanner.h"

namespace {

// A link whose device list and open state the test sets.
class ListedDevice : public DeviceInterface {
public:
    std::vector<std::string> names;
    bool open_state = false;
    void scan_devices(std::vector<std::string>& devices) override {
        devices.insert(devices.end(), names.begin(), names.end());
    }
    int open(const std::string&) override { open_state = true; return 0; }
    int close() override { open_state = false; return 1; }
    bool is_open() override { return open_state; }
};

TEST(DeviceScanner, ReportsOnlyChanges) {
    auto dev = std::make_shared<ListedDevice>();
    dev->names = {"ttyUSB0", "ttyUSB1", "ttyUSB2"};
    DeviceScanner scanner(dev);
    std::vector<std::vector<std::string>> lists;
    std::vector<bool> states;
    QObject::connect(&scanner, &DeviceScanner::number_changed_signal,
                     [&](std::vector<std::string>& d) { lists.push_back(d); });
    QObject::connect(&scanner, &DeviceScanner::state_changed_signal,
                     [&](bool s) { states.push_back(s); });

    QTest::qWait(400);
    EXPECT_TRUE(lists.empty());  // first tick comes at 500 ms
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(lists.size()), 1, 1000);
    EXPECT_EQ(lists[0].size(), 3u);
    EXPECT_TRUE(states.empty());

    dev->open_state = true;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(states.size()), 1, 1000);
    EXPECT_TRUE(states[0]);

    dev->names = {"ttyUSB0", "ttyUSB1", "ttyACM0"};  // replaced, same count
    QTest::qWait(1100);
    EXPECT_EQ(lists.size(), 1u);
    EXPECT_EQ(states.size(), 1u);

    dev->names = {"ttyUSB0", "ttyUSB1"};
    dev->open_state = false;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(lists.size()), 2, 1000);
    EXPECT_EQ(lists[1], (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    ASSERT_EQ(states.size(), 2u);
    EXPECT_FALSE(states[1]);
}

TEST(DeviceScanner, NothingEmittedWithoutDevices) {
    auto dev = std::make_shared<ListedDevice>();
    DeviceScanner scanner(dev);
    QSignalSpy n(&scanner, &DeviceScanner::number_changed_signal);
    QSignalSpy s(&scanner, &DeviceScanner::state_changed_signal);
    QTest::qWait(700);
    EXPECT_EQ(n.count(), 0);
    EXPECT_EQ(s.count(), 0);
}

}  // namespace
