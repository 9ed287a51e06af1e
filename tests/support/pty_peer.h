#pragma once
#include <QByteArray>
#include <string>

// The far end of a serial line for tests: a pseudo-terminal whose slave side the
// code under test opens by path (slave_path()), while the test talks through the
// master side.
//
// - The line is raw (cfmakeraw): bytes pass both ways unchanged, no echo, no
//   CR/LF translation.
// - All master-side I/O is non-blocking; the waiting helpers poll in short steps
//   and never block longer than the time they are given.
// - The peer keeps its own slave descriptor open so the pty stays usable while the
//   link under test closes and reopens it.
// - close_master() plays an unplugged device: the link's reads and writes fail
//   from then on.
//
// Typical use:
//   PtyPeer peer; ASSERT_TRUE(peer.open());
//   link.open(peer.slave_path());
//   peer.write(frame);                    // bytes towards the link
//   QByteArray got = peer.read_until(11, 1000);  // bytes the link wrote
class PtyPeer {
public:
    PtyPeer() = default;
    ~PtyPeer();
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    // Creates the pty; false when the system has none to give.
    bool open();
    // Path of the slave side, e.g. "/dev/pts/3"; empty before open().
    std::string slave_path() const { return slave_path_; }
    bool is_open() const { return master_fd_ >= 0; }
    int master_fd() const { return master_fd_; }

    // Writes all bytes towards the link (waits up to 1 s for room).
    bool write(const QByteArray& bytes);
    bool write(const char* bytes, int size) { return write(QByteArray(bytes, size)); }

    // Whatever the link has written so far; never waits.
    QByteArray read_available();
    // Everything that arrives within `ms` milliseconds.
    QByteArray read_for(int ms);
    // Reads until at least `count` bytes arrived or `timeout_ms` passed; returns
    // what arrived (possibly more, or fewer on time-out).
    QByteArray read_until(int count, int timeout_ms);

    // Bytes the peer wrote that wait at the slave side, not yet read by the link.
    int pending_at_slave() const;
    // Waits until `count` bytes wait at the slave side; false on time-out.
    bool wait_pending_at_slave(int count, int timeout_ms) const;

    // Simulates unplugging: closes the master (and the peer's slave descriptor).
    void close_master();

private:
    void wait_readable(int ms);

    int master_fd_ = -1;
    int slave_fd_ = -1;
    std::string slave_path_;
};
