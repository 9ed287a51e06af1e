#include "serial_frame.h"

#include <cstring>

uint8_t byte_sum_checksum(const uint8_t* bytes, uint8_t count) {
    if (count < 2) return 0;
    uint8_t sum = 0;
    for (int i = 0; i < count - 1; ++i) sum = static_cast<uint8_t>(sum + bytes[i]);
    return sum;
}

bool is_serial_frame_length(uint32_t length) {
    return length == kSimpleFrameLength || length == kComplex1FrameLength ||
           length == kComplex3FrameLength || length == kComplex5FrameLength;
}

static void put_u32_le(char* out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

static uint32_t get_u32_le(const char* in) {
    uint32_t v = 0;
    for (int i = 3; i >= 0; --i) v = (v << 8) | static_cast<uint8_t>(in[i]);
    return v;
}

QByteArray build_serial_frame(uint8_t cmd, const float* values, int count) {
    const uint32_t length = 11 + 4 * static_cast<uint32_t>(count);
    QByteArray frame(static_cast<int>(length), '\0');
    char* p = frame.data();
    std::memcpy(p, kSerialHeader, 4);
    p[4] = 0x01;
    put_u32_le(p + 5, length);
    p[9] = static_cast<char>(cmd);
    for (int i = 0; i < count; ++i) {
        uint32_t bits;
        std::memcpy(&bits, &values[i], 4);
        put_u32_le(p + 10 + 4 * i, bits);
    }
    p[length - 1] = static_cast<char>(
        byte_sum_checksum(reinterpret_cast<const uint8_t*>(p), static_cast<uint8_t>(length)));
    return frame;
}

bool decode_serial_frame(const QByteArray& bytes, SerialFrame& frame) {
    const uint32_t size = static_cast<uint32_t>(bytes.size());
    if (!is_serial_frame_length(size)) return false;
    const char* p = bytes.constData();
    frame.header = get_u32_le(p);
    frame.type = static_cast<uint8_t>(p[4]);
    frame.length = get_u32_le(p + 5);
    frame.cmd = static_cast<uint8_t>(p[9]);
    const int n = static_cast<int>((size - 11) / 4);
    frame.payload.assign(static_cast<size_t>(n), 0.0f);
    for (int i = 0; i < n; ++i) {
        const uint32_t bits = get_u32_le(p + 10 + 4 * i);
        std::memcpy(&frame.payload[static_cast<size_t>(i)], &bits, 4);
    }
    frame.check_sum = static_cast<uint8_t>(p[size - 1]);
    return true;
}
