#ifndef QUORVEL_TRANSPORT_SERIAL_IMPL_HPP
#define QUORVEL_TRANSPORT_SERIAL_IMPL_HPP

// The operating-system side of serial::Serial: termios, poll and ioctl on one
// descriptor. No method takes a lock; serial::Serial decides which lock each
// operation holds. Exported only so that the tests can reach it.

#include <pthread.h>
#include <time.h>

#include <cstdint>
#include <string>

#include "quorvel_transport/serial.hpp"

namespace serial {

// The file text that every IOException of the port carries.
extern const char* const kIOExceptionFile;

// A deadline on the monotonic clock.
class QUORVEL_API MillisecondTimer {
public:
    explicit MillisecondTimer(uint32_t millis);
    // Milliseconds left, truncated toward zero; 0 or negative once passed.
    int64_t remaining();
    static timespec timespec_now();

private:
    timespec expiry;
};

QUORVEL_API timespec timespec_from_ms(uint32_t millis);

class QUORVEL_API Serial::SerialImpl {
public:
    SerialImpl(const std::string& port, unsigned long baudrate, bytesize_t bytesize, parity_t parity,
               stopbits_t stopbits, flowcontrol_t flowcontrol);
    virtual ~SerialImpl();

    SerialImpl(const SerialImpl&) = delete;
    SerialImpl& operator=(const SerialImpl&) = delete;

    void open();
    void close();
    bool isOpen() const { return is_open; }

    size_t available();
    bool waitReadable(uint32_t timeout);
    void waitByteTimes(size_t count);

    size_t read(uint8_t* buf, size_t size);
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

    // Duration of one character at the current settings, in ns.
    uint32_t byteTimeNs() const { return byte_time_ns; }

    void reconfigurePort();

    void readLock();
    void readUnlock();
    void writeLock();
    void writeUnlock();

private:
    // Reads one modem-line state through TIOCMGET.
    bool modemLine(int bit, const char* name);
    // Sets or clears one modem line through TIOCMBIS / TIOCMBIC.
    void modemControl(int bit, bool level, const char* name);
    void reconfigureIfOpen();

    std::string port;
    int fd = -1;
    bool is_open = false;
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
};

}  // namespace serial

#endif
