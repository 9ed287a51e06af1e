#pragma once
// Captures what the console log writes to std::cout while it lives.
// The stream buffer is swapped under the console lock, so lines written by other
// threads (receive, sender) land either before or inside the capture, never torn.
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

class ConsoleCapture {
public:
    ConsoleCapture();
    ~ConsoleCapture();
    ConsoleCapture(const ConsoleCapture&) = delete;
    ConsoleCapture& operator=(const ConsoleCapture&) = delete;

    std::string text();
    std::vector<std::string> lines();
    bool contains(const std::string& needle);
    // Lines that start with `prefix`.
    std::vector<std::string> lines_starting(const std::string& prefix);
    void clear();

private:
    std::ostringstream buffer_;
    std::streambuf* previous_ = nullptr;
};
