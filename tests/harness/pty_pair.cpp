#include "pty_pair.hpp"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace qt_test {

namespace {

[[noreturn]] void fail(const char* what) {
    throw std::runtime_error(std::string("PtyPair: ") + what + ": " + std::strerror(errno));
}

}  // namespace

PtyPair::PtyPair() {
    masterFd_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (masterFd_ == -1) fail("posix_openpt");
    char name[128];
    if (::grantpt(masterFd_) != 0 || ::unlockpt(masterFd_) != 0 || ::ptsname_r(masterFd_, name, sizeof name) != 0) {
        const int err = errno;
        ::close(masterFd_);
        errno = err;
        fail("pty setup");
    }
    slavePath_ = name;
}

PtyPair::~PtyPair() { closeMaster(); }

void PtyPair::write(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(masterFd_, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR) continue;
            fail("write");
        }
        done += static_cast<size_t>(n);
    }
}

std::string PtyPair::read(size_t count, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    std::string out;
    while (out.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;
        pollfd p{masterFd_, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) break;
        char buf[4096];
        const size_t want = std::min(sizeof buf, count - out.size());
        const ssize_t n = ::read(masterFd_, buf, want);
        // EIO: no slave is open any more.
        if (n <= 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string PtyPair::drain(std::chrono::milliseconds quiet) {
    std::string out;
    for (;;) {
        const std::string more = read(65536, quiet);
        if (more.empty()) return out;
        out += more;
    }
}

termios PtyPair::slaveSettings() const {
    termios t{};
    // The master's termios requests act on the slave's terminal.
    if (::tcgetattr(masterFd_, &t) != 0) fail("tcgetattr");
    return t;
}

void PtyPair::closeMaster() {
    if (masterFd_ != -1) {
        ::close(masterFd_);
        masterFd_ = -1;
    }
}

}  // namespace qt_test
