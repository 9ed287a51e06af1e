#include "pty_peer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {
using Clock = std::chrono::steady_clock;

// QSerialPort refuses a port whose lock file ("LCK..pts_3") another process still
// holds; with ptys handed out again quickly that happens to free numbers. A lock
// left by a process that is gone (a test killed midway) it takes over.
bool lock_file_present(std::string name) {
    if (name.rfind("/dev/", 0) == 0) name = name.substr(5);
    for (char& c : name)
        if (c == '/') c = '_';
    for (const char* dir : {"/var/lock/", "/etc/locks/", "/var/spool/locks/", "/var/spool/uucp/", "/tmp/"}) {
        FILE* file = std::fopen((std::string(dir) + "LCK.." + name).c_str(), "r");
        if (file == nullptr) continue;
        long pid = 0;
        const bool read = std::fscanf(file, "%ld", &pid) == 1;
        std::fclose(file);
        if (!read || pid <= 0 || ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM) return true;
    }
    return false;
}

void wait_for(int fd, short events, int ms) {
    pollfd pfd{fd, events, 0};
    // With no slave open the master reports a hang-up at once: don't spin on it.
    if (::poll(&pfd, 1, ms) > 0 && !(pfd.revents & events)) ::usleep(static_cast<useconds_t>(ms) * 1000);
}
}  // namespace

bool PtyPeer::open() {
    close_master();
    std::vector<std::pair<int, int>> skipped;  // kept open so the next try gets another number
    char name[128] = {0};
    termios tio{};
    cfmakeraw(&tio);
    for (int attempt = 0; attempt < 16 && master_fd_ < 0; ++attempt) {
        if (::openpty(&master_fd_, &slave_fd_, name, &tio, nullptr) != 0) break;
        if (lock_file_present(name)) skipped.emplace_back(std::exchange(master_fd_, -1), std::exchange(slave_fd_, -1));
    }
    for (const auto& fds : skipped) ::close(fds.first), ::close(fds.second);
    if (master_fd_ < 0) return false;
    slave_path_ = name;
    tcsetattr(master_fd_, TCSANOW, &tio);
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool PtyPeer::write(const QByteArray& bytes) {
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    for (int done = 0; done < bytes.size();) {
        if (master_fd_ < 0 || Clock::now() > deadline) return false;
        const ssize_t n = ::write(master_fd_, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) done += static_cast<int>(n);
        else if (n < 0 && errno != EINTR && errno != EAGAIN) return false;
        else wait_for(master_fd_, POLLOUT, 10);
    }
    return true;
}

QByteArray PtyPeer::read_available(int max_bytes) {
    QByteArray out;
    char chunk[4096];
    ssize_t n;
    while (master_fd_ >= 0 && out.size() < max_bytes &&
           ((n = ::read(master_fd_, chunk, std::min<size_t>(sizeof chunk, size_t(max_bytes - out.size())))) > 0 ||
            (n < 0 && errno == EINTR)))
        if (n > 0) out.append(chunk, static_cast<int>(n));
    return out;
}

QByteArray PtyPeer::read_until(int count, int timeout_ms) {
    QByteArray out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while ((out += read_available()).size() < count && master_fd_ >= 0 && Clock::now() < deadline)
        wait_for(master_fd_, POLLIN, 5);
    return out;
}

int PtyPeer::pending_at_slave() const {
    int n = 0;
    return slave_fd_ >= 0 && ::ioctl(slave_fd_, FIONREAD, &n) == 0 ? n : 0;
}

void PtyPeer::close_master() {
    if (master_fd_ >= 0) ::close(master_fd_);
    if (slave_fd_ >= 0) ::close(slave_fd_);
    master_fd_ = slave_fd_ = -1;
}
