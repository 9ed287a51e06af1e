#include "pty_peer.h"

#include <cerrno>
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

int ms_left(Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}
}  // namespace

PtyPeer::~PtyPeer() { close_master(); }

namespace {
// QSerialPort refuses a port whose lock file ("LCK..pts_3") another process still
// holds; with ptys handed out again quickly that happens to free numbers.
bool lock_file_present(const std::string& slave_path) {
    std::string name = slave_path.rfind("/dev/", 0) == 0 ? slave_path.substr(5) : slave_path;
    for (char& c : name)
        if (c == '/') c = '_';
    for (const char* dir : {"/var/lock/", "/etc/locks/", "/var/spool/locks/", "/var/spool/uucp/", "/tmp/"}) {
        if (::access((std::string(dir) + "LCK.." + name).c_str(), F_OK) == 0) return true;
    }
    return false;
}
}  // namespace

bool PtyPeer::open() {
    close_master();
    std::vector<std::pair<int, int>> skipped;  // kept open so the next try gets another number
    bool ok = false;
    for (int attempt = 0; attempt < 16 && !ok; ++attempt) {
        char name[128] = {0};
        termios tio{};
        cfmakeraw(&tio);
        int master = -1, slave = -1;
        if (::openpty(&master, &slave, name, &tio, nullptr) != 0) break;
        if (lock_file_present(name)) {
            skipped.emplace_back(master, slave);
            continue;
        }
        master_fd_ = master;
        slave_fd_ = slave;
        slave_path_ = name;
        ok = true;
    }
    for (const auto& fds : skipped) {
        ::close(fds.first);
        ::close(fds.second);
    }
    if (!ok) return false;
    // Raw on both ends: the master's settings are the line's settings.
    termios tio{};
    cfmakeraw(&tio);
    tcsetattr(master_fd_, TCSANOW, &tio);
    fcntl(master_fd_, F_SETFL, fcntl(master_fd_, F_GETFL) | O_NONBLOCK);
    fcntl(master_fd_, F_SETFD, FD_CLOEXEC);
    fcntl(slave_fd_, F_SETFD, FD_CLOEXEC);
    return true;
}

bool PtyPeer::write(const QByteArray& bytes) {
    if (master_fd_ < 0) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(1);
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_fd_, bytes.constData() + done,
                                  static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return false;
        const int left = ms_left(deadline);
        if (left == 0) return false;
        pollfd pfd{master_fd_, POLLOUT, 0};
        ::poll(&pfd, 1, left < 10 ? left : 10);
    }
    return true;
}

QByteArray PtyPeer::read_available() {
    QByteArray out;
    if (master_fd_ < 0) return out;
    char chunk[4096];
    for (;;) {
        const ssize_t n = ::read(master_fd_, chunk, sizeof chunk);
        if (n > 0) {
            out.append(chunk, static_cast<int>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;  // EAGAIN: nothing more now; EIO: no slave open
    }
    return out;
}

QByteArray PtyPeer::read_for(int ms) {
    QByteArray out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    do {
        out.append(read_available());
        const int left = ms_left(deadline);
        if (left == 0 || master_fd_ < 0) break;
        wait_readable(left < 5 ? left : 5);
    } while (true);
    return out;
}

QByteArray PtyPeer::read_until(int count, int timeout_ms) {
    QByteArray out;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        out.append(read_available());
        if (out.size() >= count || master_fd_ < 0) break;
        const int left = ms_left(deadline);
        if (left == 0) break;
        wait_readable(left < 5 ? left : 5);
    }
    return out;
}

void PtyPeer::wait_readable(int ms) {
    pollfd pfd{master_fd_, POLLIN, 0};
    const int r = ::poll(&pfd, 1, ms);
    // With no slave open the master reports a hang-up at once; don't spin on it.
    if (r > 0 && !(pfd.revents & POLLIN)) ::usleep(static_cast<useconds_t>(ms) * 1000);
}

int PtyPeer::pending_at_slave() const {
    int n = 0;
    if (slave_fd_ < 0 || ::ioctl(slave_fd_, FIONREAD, &n) != 0) return 0;
    return n;
}

bool PtyPeer::wait_pending_at_slave(int count, int timeout_ms) const {
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
    while (pending_at_slave() < count) {
        if (ms_left(deadline) == 0) return false;
        ::usleep(1000);
    }
    return true;
}

void PtyPeer::close_master() {
    if (master_fd_ >= 0) ::close(master_fd_);
    if (slave_fd_ >= 0) ::close(slave_fd_);
    master_fd_ = slave_fd_ = -1;
}
