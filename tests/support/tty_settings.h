#pragma once

// Line settings of a tty as the driver holds them (read through the pty master
// or any descriptor of the line), including non-standard baud rates.
struct TtySettings {
    unsigned input_baud = 0;
    unsigned output_baud = 0;
    int data_bits = 0;
    bool parity = false;
    int stop_bits = 0;
    bool rts_cts = false;
};

bool read_tty_settings(int fd, TtySettings& settings);
