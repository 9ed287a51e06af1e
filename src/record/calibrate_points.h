#pragma once
// The two calibration series (angle offset table, cogging compensation), each
// numbered 0, 1, 2, ... in arrival order. Main thread only.
#include <QVector>

#include "points.h"

class CalibratePoints : public Points {
public:
    CalibratePoints() = default;

    void add_angle_point(float value);
    void add_compensation_point(float value);

    QVector<double>& angle_x() { return angle_x_; }
    QVector<double>& angle_y() { return angle_y_; }
    QVector<double>& compensation_x() { return compensation_x_; }
    QVector<double>& compensation_y() { return compensation_y_; }

    // Extremes of the y series; 0 for an empty series.
    double min_angle() const;
    double max_angle() const;
    double min_compensation() const;
    double max_compensation() const;

    void check_length() override;
    // Numbering restarts at 0; the vectors are emptied, capacity kept.
    void clear() override;

private:
    double angle_index_ = 0.0;
    QVector<double> angle_x_;
    QVector<double> angle_y_;
    double compensation_index_ = 0.0;
    QVector<double> compensation_x_;
    QVector<double> compensation_y_;
};
