#include "pvt_points.h"

#include <algorithm>

#include "console_log.h"

namespace {

constexpr double kWindowSeconds = 3.0;

float min_of(const QVector<double>& v) {
    if (v.isEmpty()) return 0.0f;
    return static_cast<float>(*std::min_element(v.cbegin(), v.cend()));
}

float max_of(const QVector<double>& v) {
    if (v.isEmpty()) return 0.0f;
    return static_cast<float>(*std::max_element(v.cbegin(), v.cend()));
}

}  // namespace

PvtPoints::~PvtPoints() {
    hv::log_info("Destruct PvtPoints");
}

void PvtPoints::append(const float state[4]) {
    {
        std::lock_guard<std::mutex> lock(data_mutex_);
        time_.append(static_cast<double>(state[0]));
        position_.append(static_cast<double>(state[1]));
        velocity_.append(static_cast<double>(state[2]));
        torque_.append(static_cast<double>(state[3]));

        // A jump back in time (new run start) drains the old samples one per append.
        const double d = time_.last() - time_.first();
        if (d > kWindowSeconds || d < 0.0) {
            time_.removeFirst();
            position_.removeFirst();
            velocity_.removeFirst();
            torque_.removeFirst();
        }
    }
    set_updated(true);
}

void PvtPoints::check_length() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    const int n = time_.size();
    if (position_.size() != n || velocity_.size() != n || torque_.size() != n) {
        hv::log_plain("target length not equal");
    }
}

void PvtPoints::clear() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    // resize(0) keeps the allocation, unlike QVector::clear().
    time_.resize(0);
    position_.resize(0);
    velocity_.resize(0);
    torque_.resize(0);
}

bool PvtPoints::is_updated() {
    std::lock_guard<std::mutex> lock(flag_mutex_);
    return updated_;
}

void PvtPoints::set_updated(bool updated) {
    std::lock_guard<std::mutex> lock(flag_mutex_);
    updated_ = updated;
}

std::array<float, 4> PvtPoints::min_values() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return {min_of(time_), min_of(position_), min_of(velocity_), min_of(torque_)};
}

std::array<float, 4> PvtPoints::max_values() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return {max_of(time_), max_of(position_), max_of(velocity_), max_of(torque_)};
}

bool PvtPoints::is_empty() {
    std::lock_guard<std::mutex> lock(data_mutex_);
    return time_.isEmpty();
}
