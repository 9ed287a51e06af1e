#include "calibrate_points.h"

#include <algorithm>

#include "console_log.h"

namespace {

double min_of(const QVector<double>& v) {
    return v.isEmpty() ? 0.0 : *std::min_element(v.cbegin(), v.cend());
}

double max_of(const QVector<double>& v) {
    return v.isEmpty() ? 0.0 : *std::max_element(v.cbegin(), v.cend());
}

}  // namespace

void CalibratePoints::add_angle_point(float value) {
    const double x = angle_index_;
    angle_index_ += 1.0;
    angle_x_.append(x);
    angle_y_.append(static_cast<double>(value));
}

void CalibratePoints::add_compensation_point(float value) {
    const double x = compensation_index_;
    compensation_index_ += 1.0;
    compensation_x_.append(x);
    compensation_y_.append(static_cast<double>(value));
}

double CalibratePoints::min_angle() const { return min_of(angle_y_); }
double CalibratePoints::max_angle() const { return max_of(angle_y_); }
double CalibratePoints::min_compensation() const { return min_of(compensation_y_); }
double CalibratePoints::max_compensation() const { return max_of(compensation_y_); }

void CalibratePoints::check_length() {
    if (angle_x_.size() != angle_y_.size() || compensation_x_.size() != compensation_y_.size()) {
        hv::log_error("CalibratePoints check_length not equal");
    }
}

void CalibratePoints::clear() {
    angle_index_ = 0.0;
    compensation_index_ = 0.0;
    angle_x_.resize(0);
    angle_y_.resize(0);
    compensation_x_.resize(0);
    compensation_y_.resize(0);
}
