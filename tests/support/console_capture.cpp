#include "console_capture.h"

#include <iostream>
#include <mutex>

#include "console_log.h"

ConsoleCapture::ConsoleCapture(std::ostream& stream) : stream_(stream) {
    std::lock_guard<std::mutex> lock(hv::console_mutex());
    stream_.flush();
    previous_ = stream_.rdbuf(buffer_.rdbuf());
}

ConsoleCapture::~ConsoleCapture() {
    std::string captured;
    {
        std::lock_guard<std::mutex> lock(hv::console_mutex());
        stream_.rdbuf(previous_);
        captured = buffer_.str();
    }
    // Keep the log visible in the test output.
    stream_ << captured << std::flush;
}

std::string ConsoleCapture::text() {
    std::lock_guard<std::mutex> lock(hv::console_mutex());
    return buffer_.str();
}

bool ConsoleCapture::contains(const std::string& needle) { return text().find(needle) != std::string::npos; }

std::vector<std::string> ConsoleCapture::lines_starting(const std::string& prefix) {
    std::vector<std::string> out;
    std::istringstream in(text());
    for (std::string line; std::getline(in, line);)
        if (line.compare(0, prefix.size(), prefix) == 0) out.push_back(line);
    return out;
}
