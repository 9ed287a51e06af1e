#pragma once
#include <QByteArray>
#include <cstdint>
#include <mutex>

#include "serial_frame.h"

// Receive buffer of a serial link and the cutting of wire frames out of it.
// Shared by every serial link so they resynchronise on noise the same way.
//
// Bytes are appended by the port-reading thread and removed only by the thread
// that calls frame_available()/read_frame(); each step takes the buffer lock by
// itself, so the head cannot move between frame_available() and the read_frame()
// that follows it. Consumed bytes are skipped with a read offset and compacted
// from time to time, so extraction stays linear in the amount of data.
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

    // True when a complete frame that passed the checksum test heads the buffer;
    // discards garbage and bad frames from the head on the way.
    bool frame_available();
    // Takes the head frame; call only after frame_available() returned true.
    void read_frame(SerialFrame& frame);

    // Unread bytes.
    int size();
    QByteArray contents();
    void clear();

private:
    bool discard_to_header();
    bool has_min_length();
    bool header_matches();
    void drop_one_byte();
    bool length_fits();
    bool frame_complete();
    bool checksum_ok();
    void drop_bad_frame();
    // Copies the head frame into `out` (room for the longest frame) and removes it;
    // the number of bytes taken.
    int take_frame(char* out);

    int unread() const { return buffer_.size() - head_; }
    const uint8_t* head_ptr() const {
        return reinterpret_cast<const uint8_t*>(buffer_.constData()) + head_;
    }
    uint32_t head_length_field() const;
    void compact();

    const int headerless_limit_;
    const int backlog_limit_;
    std::mutex mutex_;
    QByteArray buffer_;
    int head_ = 0;
    bool backlog_reported_ = false;
};
