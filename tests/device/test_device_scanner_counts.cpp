// Device counts that do not fit the scanner's 8-bit memory.
#include <QTest>
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "device_scanner.h"
#include "wait_until.h"

namespace {

class ManyDevices : public DeviceInterface {
public:
    std::size_t count = 0;
    void scan_devices(std::vector<std::string>& devices) override {
        for (std::size_t i = 0; i < count; ++i) devices.push_back("tty" + std::to_string(i));
    }
    int open(const std::string&) override { return 1; }
    int close() override { return 0; }
    bool is_open() override { return false; }
};

// 256 devices are reported on every tick; 255 fit, reported once, then quiet.
TEST(DeviceScannerCounts, TwoHundredFiftySixAreReportedOnEveryTick) {
    auto dev = std::make_shared<ManyDevices>();
    dev->count = 256;
    DeviceScanner scanner(dev);
    std::vector<std::size_t> sizes;
    QObject::connect(&scanner, &DeviceScanner::number_changed_signal,
                     [&](std::vector<std::string>& d) { sizes.push_back(d.size()); });
    ASSERT_TRUE(wait_until([&] { return sizes.size() >= 3; }, 3000));
    EXPECT_EQ(sizes, (std::vector<std::size_t>{256, 256, 256}));

    dev->count = 255;
    sizes.clear();
    ASSERT_TRUE(wait_until([&] { return !sizes.empty(); }, 1500));
    QTest::qWait(1100);  // two more ticks
    EXPECT_EQ(sizes, std::vector<std::size_t>{255});
}

}  // namespace
