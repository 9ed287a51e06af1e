#pragma once
// The last 3 seconds of motion samples (time, position, velocity, torque) for the
// motion plots. append() may run in any thread; readers of the vectors hold lock().
#include <QVector>
#include <array>
#include <mutex>

#include "points.h"

class PvtPoints : public Points {
public:
    PvtPoints() = default;
    ~PvtPoints();
    PvtPoints(const PvtPoints&) = delete;
    PvtPoints& operator=(const PvtPoints&) = delete;

    // state: time, position, velocity, torque. Drops the oldest sample when the new
    // time lies more than 3 s after it or before it (at most one per append).
    void append(const float state[4]);
    void check_length() override;
    // Empties the vectors (capacity kept); the updated flag is left as it is.
    void clear() override;

    bool is_updated();
    void set_updated(bool updated);

    void lock() { data_mutex_.lock(); }
    void unlock() { data_mutex_.unlock(); }
    // The vectors themselves; hold lock() while using them.
    QVector<double>& time() { return time_; }
    QVector<double>& position() { return position_; }
    QVector<double>& velocity() { return velocity_; }
    QVector<double>& torque() { return torque_; }

    // Smallest / largest entry of time, position, velocity and torque, narrowed to
    // float. An empty vector yields 0 for its entry; use is_empty() to leave an
    // empty buffer out of an axis range.
    std::array<float, 4> min_values();
    std::array<float, 4> max_values();
    // True when the buffer holds no sample (taken under the data lock).
    bool is_empty();

private:
    QVector<double> time_;
    QVector<double> position_;
    QVector<double> velocity_;
    QVector<double> torque_;
    std::mutex data_mutex_;
    bool updated_ = false;
    std::mutex flag_mutex_;
};
