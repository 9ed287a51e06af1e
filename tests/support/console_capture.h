#pragma once
// Captures what the console log writes to std::cout (or, when given, std::cerr)
// while it lives. The stream buffer is swapped under the console lock, so lines
// written by other threads (receive, sender) land either before or inside the
// capture, never torn.
#include <iostream>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

class ConsoleCapture {
public:
    explicit ConsoleCapture(std::ostream& stream = std::cout);
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string text();
    bool contains(const std::string& needle);
    // Every line, in order.
    std::vector<std::string> lines() { return lines_starting(""); }
    // Lines that start with `prefix`.
    std::vector<std::string> lines_starting(const std::string& prefix);

private:
    std::ostream& stream_;
    std::ostringstream buffer_;
    std::streambuf* previous_ = nullptr;
};
