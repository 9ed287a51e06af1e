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

struct Reports {
    std::vector<std::vector<std::string>> lists;
    std::vector<bool> states;
    explicit Reports(DeviceScanner& scanner) {
        QObject::connect(&scanner, &DeviceScanner::number_changed_signal,
                         [this](std::vector<std::string>& d) { lists.push_back(d); });
        QObject::connect(&scanner, &DeviceScanner::state_changed_signal,
                         [this](bool s) { states.push_back(s); });
    }
};

TEST(DeviceScanner, ReportsOnlyChanges) {
    auto dev = std::make_shared<ListedDevice>();
    dev->names = {"ttyUSB0", "ttyUSB1", "ttyUSB2"};
    DeviceScanner scanner(dev);
    Reports r(scanner);

    QTest::qWait(400);
    EXPECT_TRUE(r.lists.empty());  // first tick comes at 500 ms
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(r.lists.size()), 1, 1000);
    EXPECT_EQ(r.lists[0].size(), 3u);
    EXPECT_TRUE(r.states.empty());

    dev->open_state = true;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(r.states.size()), 1, 1000);
    EXPECT_TRUE(r.states[0]);

    dev->names = {"ttyUSB0", "ttyUSB1", "ttyACM0"};  // replaced, same count
    QTest::qWait(1100);
    EXPECT_EQ(r.lists.size(), 1u);
    EXPECT_EQ(r.states.size(), 1u);

    dev->names = {"ttyUSB0", "ttyUSB1"};
    dev->open_state = false;
    QTRY_COMPARE_WITH_TIMEOUT(static_cast<int>(r.lists.size()), 2, 1000);
    EXPECT_EQ(r.lists[1], (std::vector<std::string>{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(r.states, (std::vector<bool>{true, false}));
}

// The last count is kept in 8 bits: 256 devices read back as 0 and are
// reported on every tick, 255 once.
TEST(DeviceScanner, NoDevicesAreQuietCountsBeyondEightBitsRepeat) {
    auto dev = std::make_shared<ListedDevice>();
    DeviceScanner scanner(dev);
    Reports r(scanner);
    QTest::qWait(700);
    EXPECT_TRUE(r.lists.empty());
    EXPECT_TRUE(r.states.empty());

    for (int i = 0; i < 256; ++i) dev->names.push_back("tty" + std::to_string(i));
    QTest::qWait(1000);  // ticks at 1000 and 1500 ms
    ASSERT_EQ(r.lists.size(), 2u);
    EXPECT_EQ(r.lists[1].size(), 256u);

    dev->names.pop_back();
    r.lists.clear();
    QTest::qWait(1500);
    ASSERT_EQ(r.lists.size(), 1u);
    EXPECT_EQ(r.lists[0].size(), 255u);
}

}  // namespace
