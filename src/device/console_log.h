#pragma once
// Console log lines: one prefix, the parts streamed in order, a newline and a flush.
// Each line is assembled first and written in one piece so lines from the receive
// and sender threads never interleave; stream manipulators (std::hex) stay local to
// the line they appear in.
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

namespace hv {

std::mutex& console_mutex();

template <typename... Args>
std::string concat(Args&&... args) {
    std::ostringstream os;
    (os << ... << std::forward<Args>(args));
    return os.str();
}

template <typename... Args>
void log_to(std::ostream& out, Args&&... args) {
    const std::string line = concat(std::forward<Args>(args)...);
    std::lock_guard<std::mutex> lock(console_mutex());
    out << line << '\n';
    out.flush();
}

template <typename... Args>
void log_info(Args&&... args) { log_to(std::cout, "[INFO] ", std::forward<Args>(args)...); }

template <typename... Args>
void log_warn(Args&&... args) { log_to(std::cout, "[WARN] ", std::forward<Args>(args)...); }

template <typename... Args>
void log_error(Args&&... args) { log_to(std::cout, "[ERROR] ", std::forward<Args>(args)...); }

// Lines that carry no prefix.
template <typename... Args>
void log_plain(Args&&... args) { log_to(std::cout, std::forward<Args>(args)...); }

}  // namespace hv
