// The POSIX side of serial::Serial: termios, poll and ioctl on one descriptor.

#include "serial/serial_impl.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <linux/serial.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <string>

namespace serial {

namespace {

// The file text that every IOException of the port carries.
constexpr const char* kIOExceptionFile = "include/serial/src/impl/unix";

// Every IOException names its failure point by one fixed line number.
enum FailureLine : int {
    kLineOpenTooManyFiles = 149,
    kLineOpen = 151,
    kLineNoDescriptor = 164,
    kLineGetAttr = 170,
    kLineGetSerial = 434,
    kLineSetSerial = 444,
    kLineClose = 472,
    kLineAvailable = 493,
    kLineReadWait = 515,
    kLineReadNotReady = 524,
    kLineWriteWait = 655,
    kLineWriteNotReady = 709,
    kLineReadLock = 1053,
    kLineReadUnlock = 1062,
    kLineWriteLock = 1071,
    kLineWriteUnlock = 1080,
};

[[noreturn]] void throwIO(int line, int errnum) { throw IOException(kIOExceptionFile, line, errnum); }
[[noreturn]] void throwIO(int line, const char* description) {
    throw IOException(kIOExceptionFile, line, description);
}

struct StandardSpeed {
    unsigned long rate;
    speed_t constant;
};

constexpr StandardSpeed kStandardSpeeds[] = {
    {0, B0},           {50, B50},         {75, B75},           {110, B110},         {134, B134},
    {150, B150},       {200, B200},       {300, B300},         {600, B600},         {1200, B1200},
    {1800, B1800},     {2400, B2400},     {4800, B4800},       {9600, B9600},       {19200, B19200},
    {38400, B38400},   {57600, B57600},   {115200, B115200},   {230400, B230400},   {460800, B460800},
    {500000, B500000}, {576000, B576000}, {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

const StandardSpeed* findStandardSpeed(unsigned long rate) {
    for (const StandardSpeed& s : kStandardSpeeds) {
        if (s.rate == rate) return &s;
    }
    return nullptr;
}

// A read's or write's total time-out. Saturates rather than wrapping, so a
// huge request never gets a short time-out.
uint32_t totalTimeout(uint32_t constant, uint32_t multiplier, size_t count) {
    uint64_t product = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(multiplier), static_cast<uint64_t>(count), &product)) {
        return std::numeric_limits<uint32_t>::max();
    }
    uint64_t total = product + constant;
    if (total < product || total > std::numeric_limits<uint32_t>::max()) return std::numeric_limits<uint32_t>::max();
    return static_cast<uint32_t>(total);
}

uint32_t clampMs(int64_t ms) {
    if (ms <= 0) return 0;
    return static_cast<uint32_t>(std::min<int64_t>(ms, std::numeric_limits<uint32_t>::max()));
}

timespec timespec_from_ms(uint32_t millis) {
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(millis / 1000);
    ts.tv_nsec = static_cast<long>(millis % 1000) * 1000000L;
    return ts;
}

enum class WaitResult { Ready, TimedOut, Interrupted, NotReady };

// One wait on one descriptor, with the readiness rules of select: a hang-up
// or an error counts as ready, so that the following read or write sees it
// instead of the caller waiting (or spinning) on a dead device.
WaitResult waitFor(int fd, short events, uint32_t timeout_ms, int errorLine) {
    pollfd p{};
    p.fd = fd;
    p.events = events;
    const timespec ts = timespec_from_ms(timeout_ms);
    const int r = ::ppoll(&p, 1, &ts, nullptr);
    if (r < 0) {
        if (errno == EINTR) return WaitResult::Interrupted;
        throwIO(errorLine, errno);
    }
    if (r == 0) return WaitResult::TimedOut;
    if (p.revents & POLLNVAL) throwIO(errorLine, EBADF);
    if (p.revents & (events | POLLERR | POLLHUP)) return WaitResult::Ready;
    return WaitResult::NotReady;
}

timespec monotonicNow() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

// The monotonic clock's time `ns` from now.
timespec monotonicAfter(uint64_t ns) {
    timespec t = monotonicNow();
    const uint64_t nsec = static_cast<uint64_t>(t.tv_nsec) + ns % 1000000000ULL;
    t.tv_sec += static_cast<time_t>(ns / 1000000000ULL + nsec / 1000000000ULL);
    t.tv_nsec = static_cast<long>(nsec % 1000000000ULL);
    return t;
}

// A deadline on the monotonic clock.
class MillisecondTimer {
public:
    explicit MillisecondTimer(uint32_t millis) : expiry(monotonicAfter(uint64_t{millis} * 1000000ULL)) {}
    // Milliseconds left, truncated toward zero; 0 or negative once passed.
    int64_t remaining() const {
        const timespec now = monotonicNow();
        const int64_t ns = (static_cast<int64_t>(expiry.tv_sec) - now.tv_sec) * 1000000000 +
                           (static_cast<int64_t>(expiry.tv_nsec) - now.tv_nsec);
        return ns / 1000000;
    }

private:
    timespec expiry;
};

// Sleeps `ns` nanoseconds on the monotonic clock; signals do not shorten it.
void sleepNs(uint64_t ns) {
    const timespec deadline = monotonicAfter(ns);
    while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}

uint64_t byteTimesNs(uint32_t byteTimeNs, size_t count) {
    uint64_t ns = 0;
    if (__builtin_mul_overflow(static_cast<uint64_t>(byteTimeNs), static_cast<uint64_t>(count), &ns)) {
        return std::numeric_limits<uint64_t>::max();
    }
    return ns;
}

std::string errnoText(int errnum) { return std::to_string(errnum) + " " + errorText(errnum); }

[[noreturn]] void throwIoctl(const char* what, const char* request, int errnum) {
    const std::string text = std::string(what) + " failed on a call to ioctl(" + request + "): " + errnoText(errnum);
    throw SerialException(text.c_str());
}

}  // namespace

// --- SerialImpl

Serial::SerialImpl::SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize,
                               parity_t parity, stopbits_t stopbits, flowcontrol_t flowcontrol)
    : port(port),
      baudrate(baudrate),
      parity(parity),
      bytesize(bytesize),
      stopbits(stopbits),
      flowcontrol(flowcontrol) {
    pthread_mutex_init(&read_mutex, nullptr);
    pthread_mutex_init(&write_mutex, nullptr);
    if (!this->port.empty()) {
        try {
            open();
        } catch (...) {
            pthread_mutex_destroy(&write_mutex);
            pthread_mutex_destroy(&read_mutex);
            throw;
        }
    }
}

Serial::SerialImpl::~SerialImpl() {
    try {
        close();
    } catch (...) {
        // close() has released the descriptor already; nothing is left to do.
    }
    pthread_mutex_destroy(&write_mutex);
    pthread_mutex_destroy(&read_mutex);
}

void Serial::SerialImpl::open() {
    for (;;) {
        if (port.empty()) throw std::invalid_argument("Empty port is invalid.");
        if (isOpen()) throw SerialException("Serial port already open.");
        fd = ::open(port.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        if (fd != -1) break;
        const int err = errno;
        if (err == EINTR) continue;
        if (err == ENFILE || err == EMFILE) throwIO(kLineOpenTooManyFiles, "Too many file handles open.");
        throwIO(kLineOpen, err);
    }
    try {
        reconfigurePort();
    } catch (...) {
        // A port that could not be configured is not open: do not leak its descriptor.
        ::close(fd);
        fd = -1;
        throw;
    }
    dropAhead();
}

void Serial::SerialImpl::reconfigurePort() {
    if (fd == -1) throwIO(kLineNoDescriptor, "Invalid file descriptor, is the serial port open?");

    termios options{};
    if (::tcgetattr(fd, &options) == -1) throwIO(kLineGetAttr, "::tcgetattr");

    // Raw mode: no line editing, echo, signals or byte translation.
    options.c_cflag |= (tcflag_t)(CLOCAL | CREAD);
    options.c_lflag &= (tcflag_t) ~(ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN);
    options.c_oflag &= (tcflag_t) ~(OPOST);
    options.c_iflag &= (tcflag_t) ~(IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK);

    const StandardSpeed* speed = findStandardSpeed(baudrate);
    if (speed != nullptr) {
        ::cfsetispeed(&options, speed->constant);
        ::cfsetospeed(&options, speed->constant);
    }

    options.c_cflag &= (tcflag_t)~CSIZE;
    switch (bytesize) {
        case eight_bits: options.c_cflag |= CS8; break;
        case seven_bits: options.c_cflag |= CS7; break;
        case six_bits: options.c_cflag |= CS6; break;
        case five_bits: options.c_cflag |= CS5; break;
        default: throw std::invalid_argument("invalid char len");
    }

    switch (stopbits) {
        case one_stop_bit: options.c_cflag &= (tcflag_t)~CSTOPB; break;
        case two_stop_bits:
        case one_and_half_stop_bits: options.c_cflag |= CSTOPB; break;
        default: throw std::invalid_argument("invalid stop bit");
    }

    // CMSPAR is cleared for the plain parities too: left over from mark or
    // space, it would turn odd into mark and even into space.
    options.c_iflag &= (tcflag_t) ~(INPCK | ISTRIP);
    switch (parity) {
        case no_parity: options.c_cflag &= (tcflag_t) ~(PARENB | PARODD | CMSPAR); break;
        case odd_parity:
            options.c_cflag &= (tcflag_t)~CMSPAR;
            options.c_cflag |= (PARENB | PARODD);
            break;
        case even_parity:
            options.c_cflag &= (tcflag_t) ~(PARODD | CMSPAR);
            options.c_cflag |= PARENB;
            break;
        case mark_parity: options.c_cflag |= (CMSPAR | PARENB | PARODD); break;
        case space_parity:
            options.c_cflag |= (CMSPAR | PARENB);
            options.c_cflag &= (tcflag_t)~PARODD;
            break;
        default: throw std::invalid_argument("invalid parity");
    }

    switch (flowcontrol) {
        case no_flow_control: xonxoff = false; rtscts = false; break;
        case software_flow_control: xonxoff = true; rtscts = false; break;
        case hardware_flow_control: xonxoff = false; rtscts = true; break;
        default: break;
    }
    if (xonxoff) {
        options.c_iflag |= (IXON | IXOFF);
    } else {
        options.c_iflag &= (tcflag_t) ~(IXON | IXOFF | IXANY);
    }
    if (rtscts) {
        options.c_cflag |= CRTSCTS;
    } else {
        options.c_cflag &= (tcflag_t)~CRTSCTS;
    }

    // Reads return at once with whatever is waiting; the waits do the timing.
    options.c_cc[VMIN] = 0;
    options.c_cc[VTIME] = 0;

    ::tcsetattr(fd, TCSANOW, &options);

    if (speed == nullptr) {
        serial_struct ser{};
        if (::ioctl(fd, TIOCGSERIAL, &ser) == -1) throwIO(kLineGetSerial, errno);
        ser.custom_divisor = static_cast<int>(static_cast<unsigned long>(ser.baud_base) / baudrate);
        ser.flags &= ~ASYNC_SPD_MASK;
        ser.flags |= ASYNC_SPD_CUST;
        if (::ioctl(fd, TIOCSSERIAL, &ser) == -1) throwIO(kLineSetSerial, errno);
    }

    byte_time_ns = characterTimeNs(baudrate, bytesize, parity, stopbits);
}

void Serial::SerialImpl::close() {
    if (!isOpen()) return;
    // What was read ahead belongs to this opening of the device, like the
    // kernel's input queue that closing discards.
    dropAhead();
    const int r = ::close(fd);
    const int err = errno;
    // Linux releases the descriptor even when close reports an error, so
    // it must never be closed a second time (it may belong to someone else).
    fd = -1;
    if (r != 0) throwIO(kLineClose, err);
}

size_t Serial::SerialImpl::available() {
    if (!isOpen()) return 0;
    int count = 0;
    if (::ioctl(fd, FIONREAD, &count) == -1) throwIO(kLineAvailable, errno);
    return static_cast<size_t>(count) + (ahead_end - ahead_begin);
}

bool Serial::SerialImpl::waitReadable(uint32_t timeout_ms) {
    if (ahead_begin != ahead_end) return true;
    switch (waitFor(fd, POLLIN, timeout_ms, kLineReadWait)) {
        case WaitResult::Ready: return true;
        case WaitResult::TimedOut:
        case WaitResult::Interrupted: return false;
        case WaitResult::NotReady: break;
    }
    throwIO(kLineReadNotReady, "select reports ready to read, but our fd isn't in the list, this shouldn't happen!");
}

void Serial::SerialImpl::waitByteTimes(size_t count) { sleepNs(byteTimesNs(byte_time_ns, count)); }

size_t Serial::SerialImpl::takeAhead(uint8_t* buf, size_t size) {
    const size_t n = std::min(size, ahead_end - ahead_begin);
    if (n > 0) std::memcpy(buf, ahead + ahead_begin, n);
    ahead_begin += n;
    if (ahead_begin == ahead_end) dropAhead();
    return n;
}

ssize_t Serial::SerialImpl::readSome(uint8_t* buf, size_t size) {
    // Only called with the read-ahead buffer empty.
    if (size >= kAheadSize) return ::read(fd, buf, size);
    const ssize_t n = ::read(fd, ahead, kAheadSize);
    if (n <= 0) return n;
    ahead_begin = 0;
    ahead_end = static_cast<size_t>(n);
    return static_cast<ssize_t>(takeAhead(buf, size));
}

size_t Serial::SerialImpl::read(uint8_t* buf, size_t size) {
    if (!isOpen()) throw PortNotOpenedException("Serial::read");
    size_t bytes_read = takeAhead(buf, size);
    if (bytes_read == size) return bytes_read;
    MillisecondTimer total_timeout(totalTimeout(timeout.read_constant_ms, timeout.read_multiplier_ms, size));

    // Whatever is already waiting is taken without any wait.
    const ssize_t first = readSome(buf + bytes_read, size - bytes_read);
    if (first > 0) bytes_read += static_cast<size_t>(first);

    while (bytes_read < size) {
        const int64_t remaining = total_timeout.remaining();
        if (remaining <= 0) break;
        // The inter-byte limit bounds each single wait; only the total ends the read.
        const uint32_t wait = static_cast<uint32_t>(
            std::min<int64_t>(remaining, static_cast<int64_t>(timeout.inter_byte_timeout_ms)));
        if (!waitReadable(wait)) continue;

        // For a long read, sleep until the rest should have arrived rather
        // than waking once per byte; never past the total time-out.
        if (size > 1 && timeout.inter_byte_timeout_ms == Timeout::max()) {
            size_t waiting = 0;
            try {
                waiting = available();
            } catch (const IOException&) {
                // A device that went away: hand back what came before it.
                if (bytes_read > 0) break;
                throw;
            }
            if (size > waiting + bytes_read) {
                const uint64_t ns = byteTimesNs(byte_time_ns, size - (waiting + bytes_read));
                const int64_t left_ms = total_timeout.remaining();
                const uint64_t cap_ns = left_ms > 0 ? static_cast<uint64_t>(left_ms) * 1000000ULL : 0;
                sleepNs(std::min(ns, cap_ns));
            }
        }

        const ssize_t now = readSome(buf + bytes_read, size - bytes_read);
        if (now < 1) {
            // Bytes already read are handed back rather than dropped with the
            // exception; the next read reports the device's state.
            if (bytes_read > 0) break;
            throw SerialException("device reports readiness to read but returned no data (device disconnected?)");
        }
        bytes_read += static_cast<size_t>(now);
        if (bytes_read == size) break;
        if (bytes_read > size) {
            throw SerialException(
                "read over read, too many bytes where read, this shouldn't happen, might be a logical error!");
        }
    }
    return bytes_read;
}

size_t Serial::SerialImpl::write(const uint8_t* data, size_t length) {
    if (!isOpen()) throw PortNotOpenedException("Serial::write");
    size_t bytes_written = 0;
    MillisecondTimer total_timeout(totalTimeout(timeout.write_constant_ms, timeout.write_multiplier_ms, length));

    // A zero time-out still polls once.
    bool first_pass = true;
    while (bytes_written < length) {
        int64_t remaining = total_timeout.remaining();
        if (first_pass) {
            first_pass = false;
        } else if (remaining <= 0) {
            break;
        }
        const WaitResult ready = waitFor(fd, POLLOUT, clampMs(remaining), kLineWriteWait);
        if (ready == WaitResult::Interrupted) continue;
        if (ready == WaitResult::TimedOut) break;
        if (ready == WaitResult::NotReady) {
            throwIO(kLineWriteNotReady,
                    "select reports ready to write, but our fd isn't in the list, this shouldn't happen!");
        }

        const ssize_t now = ::write(fd, data + bytes_written, length - bytes_written);
        if (now == -1 && errno == EINTR) continue;
        if (now < 1) {
            const std::string text =
                std::string("device reports readiness to write but returned no data (device disconnected?)") +
                " errno=" + std::to_string(errno) + " bytes_written_now= " + std::to_string(now) +
                " bytes_written=" + std::to_string(bytes_written) + " length=" + std::to_string(length);
            throw SerialException(text.c_str());
        }
        bytes_written += static_cast<size_t>(now);
        if (bytes_written == length) break;
        if (bytes_written > length) {
            throw SerialException(
                "write over wrote, too many bytes where written, this shouldn't happen, might be a logical error!");
        }
    }
    return bytes_written;
}

void Serial::SerialImpl::reconfigureIfOpen() {
    if (isOpen()) reconfigurePort();
}

void Serial::SerialImpl::setBaudrate(unsigned long value) {
    baudrate = value;
    reconfigureIfOpen();
}

void Serial::SerialImpl::setBytesize(bytesize_t value) {
    bytesize = value;
    reconfigureIfOpen();
}

void Serial::SerialImpl::setParity(parity_t value) {
    parity = value;
    reconfigureIfOpen();
}

void Serial::SerialImpl::setStopbits(stopbits_t value) {
    stopbits = value;
    reconfigureIfOpen();
}

void Serial::SerialImpl::setFlowcontrol(flowcontrol_t value) {
    flowcontrol = value;
    reconfigureIfOpen();
}

void Serial::SerialImpl::flush() {
    if (!isOpen()) throw PortNotOpenedException("Serial::flush");
    ::tcdrain(fd);
}

void Serial::SerialImpl::flushInput() {
    if (!isOpen()) throw PortNotOpenedException("Serial::flushInput");
    dropAhead();
    ::tcflush(fd, TCIFLUSH);
}

void Serial::SerialImpl::flushOutput() {
    if (!isOpen()) throw PortNotOpenedException("Serial::flushOutput");
    ::tcflush(fd, TCOFLUSH);
}

void Serial::SerialImpl::sendBreak(int duration) {
    if (!isOpen()) throw PortNotOpenedException("Serial::sendBreak");
    ::tcsendbreak(fd, duration / 4);  // NOLINT(concurrency-mt-unsafe): acts on this port's descriptor only
}

void Serial::SerialImpl::setBreak(bool level) {
    if (!isOpen()) throw PortNotOpenedException("Serial::setBreak");
    if (::ioctl(fd, level ? TIOCSBRK : TIOCCBRK) == -1) {
        throwIoctl("setBreak", level ? "TIOCSBRK" : "TIOCCBRK", errno);
    }
}

void Serial::SerialImpl::modemControl(int bit, bool level, const char* name) {
    if (!isOpen()) throw PortNotOpenedException((std::string("Serial::") + name).c_str());
    if (::ioctl(fd, level ? TIOCMBIS : TIOCMBIC, &bit) == -1) {
        throwIoctl(name, level ? "TIOCMBIS" : "TIOCMBIC", errno);
    }
}

void Serial::SerialImpl::setRTS(bool level) { modemControl(TIOCM_RTS, level, "setRTS"); }

void Serial::SerialImpl::setDTR(bool level) { modemControl(TIOCM_DTR, level, "setDTR"); }

bool Serial::SerialImpl::waitForChange() {
    const int mask = TIOCM_CTS | TIOCM_DSR | TIOCM_RNG | TIOCM_CAR;
    if (::ioctl(fd, TIOCMIWAIT, mask) == -1) throwIoctl("waitForDSR", "TIOCMIWAIT", errno);
    return true;
}

bool Serial::SerialImpl::modemLine(int bit, const char* name) {
    if (!isOpen()) throw PortNotOpenedException((std::string("Serial::") + name).c_str());
    int status = 0;
    if (::ioctl(fd, TIOCMGET, &status) == -1) throwIoctl(name, "TIOCMGET", errno);
    return (status & bit) != 0;
}

bool Serial::SerialImpl::getCTS() { return modemLine(TIOCM_CTS, "getCTS"); }

bool Serial::SerialImpl::getDSR() { return modemLine(TIOCM_DSR, "getDSR"); }

bool Serial::SerialImpl::getRI() { return modemLine(TIOCM_RNG, "getRI"); }

bool Serial::SerialImpl::getCD() { return modemLine(TIOCM_CAR, "getCD"); }

void Serial::SerialImpl::readLock() {
    if (const int r = pthread_mutex_lock(&read_mutex)) throwIO(kLineReadLock, r);
}

void Serial::SerialImpl::readUnlock() {
    if (const int r = pthread_mutex_unlock(&read_mutex)) throwIO(kLineReadUnlock, r);
}

void Serial::SerialImpl::writeLock() {
    if (const int r = pthread_mutex_lock(&write_mutex)) throwIO(kLineWriteLock, r);
}

void Serial::SerialImpl::writeUnlock() {
    if (const int r = pthread_mutex_unlock(&write_mutex)) throwIO(kLineWriteUnlock, r);
}

}  // namespace serial
