#pragma once
#include <cstdint>
#include <string>

// One classic CAN data frame. All eight data bytes are always present.
class CanFrame {
public:
    CanFrame() = default;
    CanFrame(const CanFrame& other) = default;
    CanFrame& operator=(const CanFrame& other);

    uint8_t* get_data() { return data; }
    const uint8_t* get_data() const { return data; }
    uint32_t& get_id() { return id; }
    uint8_t& get_dlc() { return dlc; }
    // i must be below 8.
    uint8_t& get_data_at(uint8_t i) { return data[i]; }
    // An index of 8 or more is ignored.
    void set_data_at(uint8_t i, uint8_t value);
    void set_id(uint32_t new_id) { id = new_id; }
    void set_dlc(uint8_t new_dlc) { dlc = new_dlc; }
    // Copies all eight bytes whatever dlc says.
    void set_data(const uint8_t* bytes);
    // " ff 0 0 ..." from data[7] down to data[0].
    std::string to_hex_string() const;

    uint32_t id = 0;
    uint8_t dlc = 0;
    uint8_t data[8] = {0, 0, 0, 0, 0, 0, 0, 0};
};
