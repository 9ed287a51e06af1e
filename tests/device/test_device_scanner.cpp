// The device scanner reports a link's open state and its device list, changes only.
#include <QElapsedTimer>
#include <QSignalSpy>
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "device_scanner.h"
#include "wait_until.h"

namespace {

using Names = std::vector<std::string>;

// A link whose device list and open state the test sets. The list is read on the
// scanner's thread; the open state only on the GUI thread.
class ListedDevice : public DeviceInterface {
public:
    bool open_state = false;
    void set_names(Names n) {
        std::lock_guard<std::mutex> lock(names_mutex_);
        names_ = std::move(n);
    }
    Names names() {
        std::lock_guard<std::mutex> lock(names_mutex_);
        return names_;
    }
    void scan_devices(Names& devices) override {
        const Names listed = names();
        devices.insert(devices.end(), listed.begin(), listed.end());
    }
    int open(const std::string&) override { return open_state = true, 0; }
    int close() override { return open_state = false, 1; }
    bool is_open() override { return open_state; }

private:
    std::mutex names_mutex_;
    Names names_;
};

TEST(DeviceScanner, ReportsOnlyChanges) {
    auto dev = std::make_shared<ListedDevice>();
    dev->set_names({"ttyUSB0", "ttyUSB1", "ttyUSB2"});
    QElapsedTimer since_start;
    since_start.start();
    DeviceScanner scanner(dev);
    std::vector<Names> lists;
    std::vector<bool> states;
    qint64 first_list_at = -1;
    QObject::connect(&scanner, &DeviceScanner::number_changed_signal, [&](Names& d) {
        if (lists.empty()) first_list_at = since_start.elapsed();
        lists.push_back(d);
    });
    QObject::connect(&scanner, &DeviceScanner::state_changed_signal, [&](bool s) { states.push_back(s); });

    // The first tick, 500 ms after construction, lists the three ports; nothing is open.
    // (The waits are long for a busy host; each ends with what it waits for.)
    ASSERT_TRUE(wait_until([&] { return !lists.empty(); }, 5000));
    EXPECT_GE(first_list_at, 450);
    EXPECT_EQ(lists, std::vector<Names>{dev->names()});
    EXPECT_TRUE(states.empty());

    dev->open_state = true;
    ASSERT_TRUE(wait_until([&] { return !states.empty(); }, 5000));
    EXPECT_EQ(states, std::vector<bool>{true});

    // One port replaced by another: the count stays, nothing is reported.
    dev->set_names({"ttyUSB0", "ttyUSB1", "ttyACM0"});
    QTest::qWait(1100);
    EXPECT_EQ(lists.size(), 1u);
    EXPECT_EQ(states.size(), 1u);

    dev->set_names({"ttyUSB0", "ttyUSB1"});
    dev->open_state = false;
    ASSERT_TRUE(wait_until([&] { return lists.size() == 2; }, 5000));
    EXPECT_EQ(lists[1], (Names{"ttyUSB0", "ttyUSB1"}));
    EXPECT_EQ(states, (std::vector<bool>{true, false}));
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
