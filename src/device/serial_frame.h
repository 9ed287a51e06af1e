#pragma once
#include <QByteArray>
#include <cstdint>
#include <vector>

// Wire frame: FF 31 8A 23, type 01, u32 LE total length, cmd, n LE floats, 8-bit sum.
constexpr uint8_t kSerialHeader[4] = {0xFF, 0x31, 0x8A, 0x23};
constexpr uint32_t kSerialHeaderWord = 0x238A31FF;
constexpr uint32_t kSimpleFrameLength = 11;
constexpr uint32_t kComplex1FrameLength = 15;
constexpr uint32_t kComplex3FrameLength = 23;
constexpr uint32_t kComplex5FrameLength = 31;
constexpr uint32_t kMaxSerialFrameLength = kComplex5FrameLength;

// One received serial frame, fields mirroring the wire.
struct SerialFrame {
    uint32_t header = 0;
    uint8_t type = 0;
    uint32_t length = 0;
    uint8_t cmd = 0;
    std::vector<float> payload;
    uint8_t check_sum = 0;
};

// Sum modulo 256 of the first count-1 bytes; 0 when count is below 2.
uint8_t byte_sum_checksum(const uint8_t* bytes, uint8_t count);

// True for the four lengths a frame can have.
bool is_serial_frame_length(uint32_t length);

// Builds one request frame; `count` must be 0, 1, 3 or 5.
QByteArray build_serial_frame(uint8_t cmd, const float* values = nullptr, int count = 0);

// Fills `frame` from exactly one whole frame of a known length; false leaves it untouched.
bool decode_serial_frame(const QByteArray& bytes, SerialFrame& frame);
