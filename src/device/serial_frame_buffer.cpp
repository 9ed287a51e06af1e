#include "serial_frame_buffer.h"

#include <cstring>

#include "console_log.h"

namespace {
// Consumed bytes are compacted away once there are at least this many of them
// and they make up at least half of the buffer.
constexpr int kCompactThreshold = 4096;
// Header (4) + type (1) + length field (4) + cmd (1).
constexpr int kMinHeadLength = 10;
}  // namespace

SerialFrameBuffer::SerialFrameBuffer(int headerless_limit, int backlog_limit)
    : headerless_limit_(headerless_limit), backlog_limit_(backlog_limit) {
    buffer_.reserve(kCompactThreshold * 2);
}

void SerialFrameBuffer::append(const char* data, int size) {
    if (size <= 0) return;
    std::lock_guard<std::mutex> lock(mutex_);
    compact();
    // Only the consumer may move the head, so an overflowing backlog drops the
    // newest bytes instead of the oldest.
    const int room = backlog_limit_ - unread();
    if (size > room) {
        if (!backlog_reported_) {
            hv::log_warn("Receive buffer full (", unread(), " bytes unread), dropping ",
                         size - (room > 0 ? room : 0), " received bytes");
            backlog_reported_ = true;
        }
        if (room <= 0) return;
        size = room;
    } else if (unread() + size < backlog_limit_ / 2) {
        backlog_reported_ = false;
    }
    buffer_.append(data, size);
}

bool SerialFrameBuffer::frame_available() {
    if (!discard_to_header()) return false;
    if (!has_min_length()) return false;
    if (!header_matches()) {
        drop_one_byte();
        return false;
    }
    if (!length_fits()) return false;
    if (!frame_complete()) return false;
    if (!checksum_ok()) {
        drop_bad_frame();
        return false;
    }
    return true;
}

void SerialFrameBuffer::read_frame(SerialFrame& frame) {
    char bytes[kMaxSerialFrameLength];
    const int taken = take_frame(bytes);
    if (!decode_serial_frame(QByteArray::fromRawData(bytes, taken), frame)) {
        hv::log_warn("Bytearray.size() is: ", taken, " ,not fitting into any size");
    }
}

int SerialFrameBuffer::size() {
    std::lock_guard<std::mutex> lock(mutex_);
    return unread();
}

QByteArray SerialFrameBuffer::contents() {
    std::lock_guard<std::mutex> lock(mutex_);
    return buffer_.mid(head_);
}

void SerialFrameBuffer::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    buffer_.resize(0);
    head_ = 0;
    backlog_reported_ = false;
}

bool SerialFrameBuffer::discard_to_header() {
    std::lock_guard<std::mutex> lock(mutex_);
    const int n = unread();
    const void* ff = n > 0 ? std::memchr(head_ptr(), 0xFF, static_cast<size_t>(n)) : nullptr;
    if (ff == nullptr) {
        // Nothing here can start a frame. A short remnant is kept as it is, but a
        // backlog that never forms a frame must not grow without bound.
        if (n > headerless_limit_) {
            hv::log_warn("No frame header in ", n, " buffered bytes, disgarding them");
            head_ += n;
            compact();
        }
        return false;
    }
    const int k = static_cast<int>(static_cast<const uint8_t*>(ff) - head_ptr());
    if (k > 0) {
        hv::log_warn("Disgarding buffer of size:", k);
        head_ += k;
    }
    return true;
}

bool SerialFrameBuffer::has_min_length() {
    std::lock_guard<std::mutex> lock(mutex_);
    return unread() >= kMinHeadLength;
}

bool SerialFrameBuffer::header_matches() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint8_t* p = head_ptr();
    return p[1] == kSerialHeader[1] && p[2] == kSerialHeader[2] && p[3] == kSerialHeader[3];
}

void SerialFrameBuffer::drop_one_byte() {
    std::lock_guard<std::mutex> lock(mutex_);
    head_ += 1;
}

uint32_t SerialFrameBuffer::head_length_field() const {
    const uint8_t* p = head_ptr() + 5;
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool SerialFrameBuffer::length_fits() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t length = head_length_field();
    if (length != 0 && length <= kMaxSerialFrameLength) return true;
    // A zero length would be offered again without end, a longer one would wait
    // for bytes that never come: drop the FF and resynchronise on the next one.
    hv::log_warn("Frame length field ", length, " fits no frame, header discarded.");
    head_ += 1;
    return false;
}

bool SerialFrameBuffer::frame_complete() {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<uint32_t>(unread()) >= head_length_field();
}

bool SerialFrameBuffer::checksum_ok() {
    std::lock_guard<std::mutex> lock(mutex_);
    const uint32_t length = head_length_field();
    const uint8_t* p = head_ptr();
    const uint8_t expected = is_serial_frame_length(length) ? p[length - 1] : 0;
    return byte_sum_checksum(p, static_cast<uint8_t>(length)) == expected;
}

void SerialFrameBuffer::drop_bad_frame() {
    hv::log_warn("A simple command frame with incorrect check_sum is discarded.");
    std::lock_guard<std::mutex> lock(mutex_);
    head_ += 4;
}

int SerialFrameBuffer::take_frame(char* out) {
    std::lock_guard<std::mutex> lock(mutex_);
    // Guard against a call without a preceding successful frame_available().
    if (unread() < kMinHeadLength) return 0;
    const uint32_t length = head_length_field();
    if (length == 0 || length > kMaxSerialFrameLength || static_cast<uint32_t>(unread()) < length)
        return 0;
    std::memcpy(out, head_ptr(), length);
    head_ += static_cast<int>(length);
    return static_cast<int>(length);
}

void SerialFrameBuffer::compact() {
    if (head_ == 0) return;
    if (head_ == buffer_.size()) {
        buffer_.resize(0);
        head_ = 0;
    } else if (head_ >= kCompactThreshold && head_ >= buffer_.size() - head_) {
        buffer_.remove(0, head_);
        head_ = 0;
    }
}
