#pragma once
#include <QByteArray>
#include <chrono>
#include <cstdint>
#include <mutex>

#include "serial_frame.h"

// Receive buffer of a serial link and the cutting of wire frames out of it.
// Shared by every serial link so they resynchronise on noise the same way.
//
// Bytes are appended by the port-reading thread and removed only by the thread
// that calls frame_available()/read_frame(), so the head cannot move between
// frame_available() and the read_frame() that follows it. One frame_available()
// call resynchronises over the whole backlog (a line that read as 0xFF for a
// second must not delay the next reply by the time it takes to drop it byte by
// byte). Consumed bytes are skipped with a read offset and compacted from time to
// time, so extraction stays linear in the amount of data.
class SerialFrameBuffer {
public:
    // A backlog without any FF is dropped once it exceeds this many bytes.
    static constexpr int kDefaultHeaderlessLimit = 4096;
    // Bytes arriving while this many are still unread are dropped (no consumer).
    static constexpr int kDefaultBacklogLimit = 4 * 1024 * 1024;

    explicit SerialFrameBuffer(int headerless_limit = kDefaultHeaderlessLimit,
                               int backlog_limit = kDefaultBacklogLimit);

    void append(const char* data, int size);
    void append(const QByteArray& bytes) { append(bytes.constData(), bytes.size()); }

    // True when a complete frame of one of the four lengths that passed the
    // checksum test heads the buffer; discards everything before it: bytes before
    // a header, false headers and heads of another length (one byte each, so the
    // next FF is tried), frames with a bad sum (their four header bytes). What it
    // drops is logged at most once a second.
    bool frame_available();
    // Takes the head frame; call only after frame_available() returned true.
    void read_frame(SerialFrame& frame);

    // Unread bytes.
    int size();
    QByteArray contents();
    void clear();

private:
    // Copies the head frame into `out` (room for the longest frame) and removes it;
    // the number of bytes taken.
    int take_frame(char* out);

    int unread() const { return buffer_.size() - head_; }
    const uint8_t* head_ptr() const {
        return reinterpret_cast<const uint8_t*>(buffer_.constData()) + head_;
    }
    uint32_t head_length_field() const;
    void compact();

    // What frame_available() dropped and has not reported yet.
    struct NoiseReport {
        int skipped = 0;     // bytes before a header
        int headerless = 0;  // bytes of a backlog without any header
        int odd_heads = 0;   // heads whose length fits no frame
        uint32_t odd_length = 0;
        int bad_sums = 0;
    };

    const int headerless_limit_;
    const int backlog_limit_;
    std::mutex mutex_;
    QByteArray buffer_;
    int head_ = 0;
    bool backlog_reported_ = false;
    NoiseReport noise_;
    std::chrono::steady_clock::time_point last_noise_report_{};
};
