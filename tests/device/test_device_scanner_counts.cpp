// Device counts that do not fit the scanner's 8-bit memory.
#include <QTest>
#include <gtest/gtest.h>

#include "device_scanner.h"

namespace {

class ManyDevices : public DeviceInterface {
public:
    size_t count = 0;
    void scan_devices(std::vector<std::string>& devices) override {
        for (size_t i = 0; i < count; ++i) devices.push_back("tty" + std::to_string(i));
    }
    int open(const std::string&) override { return 1; }
    int close() override { return 0; }
    bool is_open() override { return false; }
};

TEST(DeviceScannerCounts, TwoHundredFiftySixDevicesAreReportedOnEveryTick) {
    auto dev = std::make_shared<ManyDevices>();
    dev->count = 256;
    DeviceScanner scanner(dev);
    std::vector<size_t> sizes;
    QObject::connect(&scanner, &DeviceScanner::number_changed_signal,
                     [&](std::vector<std::string>& d) { sizes.push_back(d.size()); });
    QTest::qWait(1700);  // ticks at 500, 1000 and 1500 ms
    EXPECT_EQ(sizes, (std::vector<size_t>{256, 256, 256}));

    // 255 fits: reported once, then quiet.
    dev->count = 255;
    sizes.clear();
    QTest::qWait(1500);
    EXPECT_EQ(sizes, (std::vector<size_t>{255}));
}

}  // namespace
