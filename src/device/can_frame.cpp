#include "can_frame.h"

#include <cstring>
#include <sstream>

CanFrame& CanFrame::operator=(const CanFrame& other) {
    if (this != &other) {
        id = other.id;
        dlc = other.dlc;
        std::memcpy(data, other.data, sizeof(data));
    }
    return *this;
}

void CanFrame::set_data_at(uint8_t i, uint8_t value) {
    if (i < 8) data[i] = value;
}

void CanFrame::set_data(const uint8_t* bytes) {
    std::memcpy(data, bytes, sizeof(data));
}

std::string CanFrame::to_hex_string() const {
    std::ostringstream os;
    os << std::hex;
    for (int i = 7; i >= 0; --i) os << ' ' << static_cast<unsigned>(data[i]);
    return os.str();
}
