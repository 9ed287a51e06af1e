#pragma once
#include <QByteArray>
#include <string>

// The far end of a serial line for tests: a raw pseudo-terminal whose slave side
// the code under test opens by path, while the test talks through the master side
// (non-blocking). The peer keeps a slave descriptor of its own open, so the line
// stays usable while the link closes and reopens it; close_master() plays an
// unplugged device.
class PtyPeer {
public:
    PtyPeer() = default;
    ~PtyPeer() { close_master(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool open();  // false when the system has no pty to give
    std::string slave_path() const { return slave_path_; }
    int master_fd() const { return master_fd_; }

    // Writes all bytes towards the link (waits up to 1 s for room).
    bool write(const QByteArray& bytes);
    // Whatever the link has written so far, at most `max_bytes`; never waits.
    QByteArray read_available(int max_bytes = 1 << 30);
    // Reads until at least `count` bytes arrived or `timeout_ms` passed.
    QByteArray read_until(int count, int timeout_ms);
    // Bytes written towards the link that it has not read from the line yet.
    int pending_at_slave() const;
    void close_master();

private:
    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string slave_path_;
};
