#ifndef QUORVEL_TRANSPORT_SERIAL_IMPL_HPP
#define QUORVEL_TRANSPORT_SERIAL_IMPL_HPP

// The operating-system side of serial::Serial: termios, poll and ioctl on one
// descriptor. No method takes a lock; serial::Serial decides which lock each
// operation holds. Nothing here is exported.

#include <pthread.h>

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "quorvel_transport/serial.hpp"

namespace serial {

// strerror's text for errnum, safe to call from several threads at once.
std::string errorText(int errnum);

// Duration of one character on the line, in ns: start bit, data bits, parity
// bit and stop bits (one and a half counted as such) at `baudrate`; 0 at 0
// bit/s (hang-up), where nothing is on the line. Header-only so that the tests
// check it without the library exporting it.
inline uint32_t characterTimeNs(unsigned long baudrate, bytesize_t bytesize, parity_t parity, stopbits_t stopbits) {
    const uint32_t bit_time_ns = baudrate == 0 ? 0 : static_cast<uint32_t>(1e9 / static_cast<double>(baudrate));
    const uint64_t bits = 1ULL + static_cast<uint64_t>(bytesize) + (parity == no_parity ? 0ULL : 1ULL) +
                          static_cast<uint64_t>(stopbits);
    uint64_t byte_time = static_cast<uint64_t>(bit_time_ns) * bits;
    if (stopbits == one_and_half_stop_bits) byte_time -= static_cast<uint64_t>(bit_time_ns * 1.5);
    return static_cast<uint32_t>(byte_time > UINT32_MAX ? UINT32_MAX : byte_time);
}

// Holds a small read-ahead buffer: a read takes whatever the device has
// waiting (up to the buffer's size) in one system call, and every later read
// form, available, waitReadable and flushInput see those bytes first. The
// buffer belongs to the read side: only what runs under the read lock (and
// the lock-free calls a caller must not run beside a reader) touches it.
class QUORVEL_LOCAL Serial::SerialImpl {
public:
    SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize, parity_t parity,
               stopbits_t stopbits, flowcontrol_t flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool isOpen() const { return fd != -1; }

    size_t available();
    bool waitReadable(uint32_t timeout);
    void waitByteTimes(size_t count);

    size_t read(uint8_t* buf, size_t size);
    // One byte, as read(&byte, 1) gives it, but taken from the read-ahead
    // buffer without a system call or a clock read when one is there.
    size_t readByte(uint8_t& byte) {
        if (ahead_begin == ahead_end) return read(&byte, 1);
        byte = ahead[ahead_begin++];
        return 1;
    }
    size_t write(const uint8_t* data, size_t length);

    void flush();
    void flushInput();
    void flushOutput();

    void sendBreak(int duration);
    void setBreak(bool level);
    void setRTS(bool level);
    void setDTR(bool level);
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    void setPort(const std::string& port) { this->port = port; }
    std::string getPort() const { return port; }
    void setTimeout(const Timeout& timeout) { this->timeout = timeout; }
    Timeout getTimeout() const { return timeout; }
    void setBaudrate(unsigned long baudrate);
    unsigned long getBaudrate() const { return baudrate; }
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const { return bytesize; }
    void setParity(parity_t parity);
    parity_t getParity() const { return parity; }
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const { return stopbits; }
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const { return flowcontrol; }

    void reconfigurePort();

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

private:
    // Reads one modem-line state through TIOCMGET. In both, `name` is the
    // operation's, as its exceptions give it (a closed port included).
    bool modemLine(int bit, const char* name);
    // Sets or clears one modem line through TIOCMBIS / TIOCMBIC.
    void modemControl(int bit, bool level, const char* name);
    void reconfigureIfOpen();
    // Moves up to `size` read-ahead bytes into buf; returns how many.
    size_t takeAhead(uint8_t* buf, size_t size);
    // One non-blocking read toward buf: a short request goes through the
    // read-ahead buffer, so that what came beyond it is kept. The result of
    // ::read (errno kept) for what reached buf.
    ssize_t readSome(uint8_t* buf, size_t size);
    void dropAhead() { ahead_begin = ahead_end = 0; }

    std::string port;
    int fd = -1;
    bool xonxoff = false;
    bool rtscts = false;
    Timeout timeout;
    unsigned long baudrate;
    uint32_t byte_time_ns = 0;
    parity_t parity;
    bytesize_t bytesize;
    stopbits_t stopbits;
    flowcontrol_t flowcontrol;
    pthread_mutex_t read_mutex;
    pthread_mutex_t write_mutex;

    // Read-ahead: bytes [ahead_begin, ahead_end) are read and not yet taken.
    // About nine adapter lines, so that a burst of them costs one system call.
    static constexpr size_t kAheadSize = 256;
    uint8_t ahead[kAheadSize];
    size_t ahead_begin = 0;
    size_t ahead_end = 0;
};

}  // namespace serial

#endif
