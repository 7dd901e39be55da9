#ifndef QT_TESTS_PTY_PAIR_HPP
#define QT_TESTS_PTY_PAIR_HPP

// A pseudo-terminal pair for serial tests: the code under test opens the
// slave by its path like any serial device, and the test plays the device on
// the master side.

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>

namespace qt_test {

class PtyPair {
public:
    // Opens a new master; throws std::runtime_error when the system cannot.
    PtyPair() : masterFd_(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC)) {
        char name[128];
        if (masterFd_ == -1 || ::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 ||
            ::ptsname_r(masterFd_, name, sizeof name) != 0) {
            closeMaster();
            fail("pty setup");
        }
        slavePath_ = name;
    }
    ~PtyPair() { closeMaster(); }
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    // The slave device, e.g. /dev/pts/3.
    const std::string& slavePath() const { return slavePath_; }
    int masterFd() const { return masterFd_; }

    // Sends bytes to whoever reads the slave; throws when not all went out.
    void write(const std::string& bytes) {
        for (size_t done = 0; done < bytes.size();) {
            const ssize_t n = ::write(masterFd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno != EINTR) fail("write");
            done += n > 0 ? static_cast<size_t>(n) : 0;
        }
    }
    // Collects what the slave side wrote until `count` bytes have come or
    // `timeout` has passed; returns what came (possibly fewer bytes).
    std::string read(size_t count, std::chrono::milliseconds timeout) {
        using Clock = std::chrono::steady_clock;
        const auto deadline = Clock::now() + timeout;
        std::string out;
        char buf[4096];
        for (pollfd p{masterFd_, POLLIN, 0}; out.size() < count && Clock::now() < deadline;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;  // EINTR or nothing yet
            // EIO: no slave is open any more.
            const ssize_t n = ::read(masterFd_, buf, std::min(sizeof buf, count - out.size()));
            if (n <= 0) break;
            out.append(buf, static_cast<size_t>(n));
        }
        return out;
    }

    // The slave's terminal settings: the master's termios requests act on the slave's terminal.
    termios slaveSettings() const {
        termios t{};
        if (::tcgetattr(masterFd_, &t) != 0) fail("tcgetattr");
        return t;
    }
    // Neither echo nor translation, like a real device's port before the host configures it.
    void makeRaw() {
        termios t = slaveSettings();
        ::cfmakeraw(&t);
        if (::tcsetattr(masterFd_, TCSANOW, &t) != 0) fail("tcsetattr");
    }

    // Hangs up: the slave side then sees the device gone.
    void closeMaster() {
        if (masterFd_ != -1) ::close(masterFd_);
        masterFd_ = -1;
    }

private:
    [[noreturn]] static void fail(const char* what) {
        throw std::runtime_error(std::string("PtyPair: ") + what + ": " + std::strerror(errno));
    }

    int masterFd_;
    std::string slavePath_;
};

}  // namespace qt_test

#endif
