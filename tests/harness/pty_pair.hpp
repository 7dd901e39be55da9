#ifndef QT_TESTS_PTY_PAIR_HPP
#define QT_TESTS_PTY_PAIR_HPP

// A pseudo-terminal pair for serial tests: the code under test opens the
// slave by its path like any serial device, and the test plays the device on
// the master side.

#include <termios.h>

#include <chrono>
#include <string>

namespace qt_test {

class PtyPair {
public:
    // Opens a new master; throws std::runtime_error when the system cannot.
    PtyPair();
    ~PtyPair();

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The slave device, e.g. /dev/pts/3.
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return masterFd_; }
    bool masterOpen() const { return masterFd_ != -1; }

    // Sends bytes to whoever reads the slave; throws when not all went out.
    void write(const std::string& bytes);
    // Collects what the slave side wrote until `count` bytes have come or
    // `timeout` has passed; returns what came (possibly fewer bytes).
    std::string read(size_t count, std::chrono::milliseconds timeout);
    // Everything the slave side wrote that arrives before `quiet` passes
    // without a byte.
    std::string drain(std::chrono::milliseconds quiet = std::chrono::milliseconds(100));

    // The slave's terminal settings as the slave's user last set them.
    termios slaveSettings() const;

    // Hangs up: the slave side then sees the device gone.
    void closeMaster();

private:
    int masterFd_ = -1;
    std::string slavePath_;
};

}  // namespace qt_test

#endif
