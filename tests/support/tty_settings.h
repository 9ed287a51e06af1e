#pragma once
#include <string>

// Line settings of a tty as the driver holds them (any descriptor of the line), in
// the form "256000/256000 8N1" (input/output baud, data bits, parity, stop bits),
// with " rtscts" when hardware flow control is on; empty when they cannot be read.
std::string tty_settings(int fd);
