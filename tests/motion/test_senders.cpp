// The curve sender streaming through the real serial manager over a pseudo-terminal
// to the simulated driver (device 1, 100 Hz); the step sender is driven by the
// window tests.
#include <QTest>
#include <array>
#include <cmath>
#include <gtest/gtest.h>

#include "can_manager.h"
#include "curve_sender.h"
#include "serial_driver_peer.h"
#include "serial_manager.h"
#include "wait_until.h"

namespace {

using Clock = std::chrono::steady_clock;
using Target = std::vector<float>;
constexpr uint8_t kMotion = 16;

// The curve target at time t as the driver tooling defines it, rounding included.
Target curve_target(uint8_t type, float t, const Target& p) {
    const float w = 6.283185f * p[1];
    const double x = static_cast<double>(t * w);
    if (type == 0) return {0.0f, 0.0f, static_cast<float>(std::sin(x) * p[0] + p[2]), p[3], p[4]};
    const float peak = p[0] * w;
    return {static_cast<float>(std::sin(x) * p[0] + p[2]), static_cast<float>(std::cos(x) * peak), 0.0f, p[3], p[4]};
}

class Senders : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(peer.start());
        serial->device_open_close_slot(QString::fromStdString(peer.slave_path()));
        ASSERT_TRUE(serial->serial_interface()->is_open());
    }
    std::vector<Target> received() {
        QTest::qWait(100);  // what is on its way arrives
        std::vector<Target> out;
        for (const auto& r : peer.requests(kMotion)) out.push_back(r.values);
        return out;
    }

    SerialDriverPeer peer;
    std::shared_ptr<SerialManager> serial = std::make_shared<SerialManager>("en");
    std::shared_ptr<CanManager> can = std::make_shared<CanManager>("en");
};

}  // namespace

// Every published point went out once, in order, as the reference curve; halt
// adds nothing, stop one zero. An unknown type sends only that zero. A rate of
// 0 Hz is refused.
TEST_F(Senders, CurvesFollowTheReference) {
    for (uint8_t type : {0, 1, 2}) {
        SCOPED_TRACE(int(type));
        QTest::qWait(50);  // the previous sender's last zero (its destructor stops again)
        peer.clear_received();
        CurveSender sender(serial, can);
        QVector<StampedMoitonState> published;
        QObject::connect(&sender, &CurveSender::target_motion_state_signal, &sender,
                         [&published](QVector<StampedMoitonState> batch) { published += batch; });
        const Target p{1.5f, 2.0f, 0.5f, 20.0f, 0.8f};
        sender.set_param(type, p.data(), Clock::now(), 1, 100);
        sender.set_param(type, p.data(), Clock::now(), 1, 0);
        sender.start();
        sender.start();  // a second thread would replace the running one: terminate
        EXPECT_TRUE(type == 2 || peer.wait_for_requests(kMotion, 25, 3000));
        sender.halt();
        const auto got = received();
        ASSERT_EQ(got.size(), size_t(published.size()));
        for (int i = 0; i < published.size(); ++i) {
            ASSERT_EQ(got[i], curve_target(type, published[i].time, p)) << "point " << i;
            ASSERT_EQ(Target({published[i].position, published[i].velocity, published[i].torque, p[3], p[4]}), got[i]);
        }
        sender.stop();
        ASSERT_EQ(received().size(), got.size() + 1);
        EXPECT_EQ(peer.requests(kMotion).back().values, Target(5));
    }
}
