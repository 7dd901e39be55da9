#ifndef QUORVEL_TRANSPORT_SERIAL_HPP
#define QUORVEL_TRANSPORT_SERIAL_HPP

// A small serial-port library for POSIX terminals: raw mode, bit rate and
// framing, reads and writes with millisecond time-outs, line reads, flushing,
// break and modem lines, and enumeration of the host's serial devices.
//
// Thread safety: one reader and one writer may use a port at the same time.
// Every read form (readline and readlines included, for the whole line) holds
// the port's read lock, every write form its write lock, so whole reads and
// whole writes never interleave with others of their kind. open, close, the
// setters, available, waitReadable, waitByteTimes and the break and modem-line
// operations take no lock: do not call them while another thread reads or
// writes the same port.
//
// Errors are exceptions: SerialException, IOException, PortNotOpenedException
// and std::invalid_argument for settings the terminal cannot take.
//
// Reads take whatever the device has waiting in one system call and keep
// what the caller did not ask for in a small read-ahead buffer, which every
// later read, readline, available, waitReadable and flushInput sees first.
// close() and setPort() discard it, as they discard the device's own queue.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "config.hpp"

namespace serial {

enum bytesize_t { five_bits = 5, six_bits = 6, seven_bits = 7, eight_bits = 8 };

enum parity_t { no_parity = 0, odd_parity = 1, even_parity = 2, mark_parity = 3, space_parity = 4 };

enum stopbits_t { one_stop_bit = 1, two_stop_bits = 2, one_and_half_stop_bits = 3 };

enum flowcontrol_t { no_flow_control = 0, software_flow_control = 1, hardware_flow_control = 2 };

// Time-outs in milliseconds. A read of n bytes may take read_constant_ms +
// read_multiplier_ms * n in total, and waits at most inter_byte_timeout_ms for
// any single byte (max() means no such limit); writes likewise. A read or write
// that runs out of time returns the count transferred so far.
struct QUORVEL_API Timeout {
    // 4294967295: "no limit" for inter_byte_timeout_ms.
    static uint32_t max();
    // No inter-byte limit; `timeout` ms for every read and every write call.
    static Timeout simpleTimeout(uint32_t timeout);

    explicit Timeout(uint32_t inter_byte_timeout = 0, uint32_t read_timeout_constant = 0,
                     uint32_t read_timeout_multiplier = 0, uint32_t write_timeout_constant = 0,
                     uint32_t write_timeout_multiplier = 0);

    uint32_t inter_byte_timeout_ms;
    uint32_t read_constant_ms;
    uint32_t read_multiplier_ms;
    uint32_t write_constant_ms;
    uint32_t write_multiplier_ms;
};

class QUORVEL_API Serial {
public:
    // Opens the port at once when `port` is not empty (every exception of
    // open() passes out of the constructor).
    explicit Serial(const std::string& port = "", uint32_t baudrate = 9600, Timeout timeout = Timeout(),
                    bytesize_t bytesize = eight_bits, parity_t parity = no_parity,
                    stopbits_t stopbits = one_stop_bit, flowcontrol_t flowcontrol = no_flow_control);
    // Closes an open port; never throws.
    virtual ~Serial();

    Serial(const Serial&) = delete;
    Serial& operator=(const Serial&) = delete;

    // Opens the device and puts it into raw mode with the stored settings.
    // Throws std::invalid_argument for an empty name, SerialException when
    // already open, IOException when the device cannot be opened or
    // configured (the device is then left closed).
    void open();
    // Does nothing on a closed port.
    void close();
    bool isOpen() const;

    // Bytes waiting to be read, those the port has read ahead included; 0 on
    // a closed port.
    size_t available();
    // True when input is waiting, false after read_constant_ms (or when a
    // signal interrupted the wait).
    bool waitReadable();
    // Sleeps for `count` character times at the current settings.
    void waitByteTimes(size_t count);

    // Reads up to `size` bytes; returns how many came before the time-out.
    size_t read(uint8_t* buffer, size_t size);
    // These append what was read to `buffer`.
    size_t read(std::vector<uint8_t>& buffer, size_t size = 1);
    size_t read(std::string& buffer, size_t size = 1);
    std::string read(size_t size = 1);

    // Reads one line: up to and including `eol`, at most `size` bytes, or what
    // came before a byte's time-out. Appends it to `buffer` and returns its
    // length. Never reads more than `size` bytes (none when size is 0).
    size_t readline(std::string& buffer, size_t size = 65536, std::string eol = "\n");
    std::string readline(size_t size = 65536, std::string eol = "\n");
    // Lines until `size` bytes or a time-out; the last may lack its eol.
    std::vector<std::string> readlines(size_t size = 65536, std::string eol = "\n");

    // Writes; returns how many bytes went out before the time-out.
    size_t write(const uint8_t* data, size_t size);
    size_t write(const std::vector<uint8_t>& data);
    size_t write(const std::string& data);

    // An open port is closed and reopened under the new name.
    void setPort(const std::string& port);
    std::string getPort() const;

    // Takes effect at the next read or write.
    void setTimeout(const Timeout& timeout);
    Timeout getTimeout() const;

    // Each setter stores its value and reconfigures an open port at once. A
    // value the terminal cannot take throws and leaves the device's settings
    // as they were; the value stays stored, so every later reconfiguration
    // throws until a valid one is set.
    void setBaudrate(uint32_t baudrate);
    uint32_t getBaudrate() const;
    void setBytesize(bytesize_t bytesize);
    bytesize_t getBytesize() const;
    void setParity(parity_t parity);
    parity_t getParity() const;
    void setStopbits(stopbits_t stopbits);
    stopbits_t getStopbits() const;
    void setFlowcontrol(flowcontrol_t flowcontrol);
    flowcontrol_t getFlowcontrol() const;

    // Waits until all output has been sent.
    void flush();
    // Discards unread input.
    void flushInput();
    // Discards unsent output.
    void flushOutput();

    // tcsendbreak with duration / 4.
    void sendBreak(int duration);
    void setBreak(bool level = true);
    void setRTS(bool level = true);
    void setDTR(bool level = true);
    // Blocks until CTS, DSR, RI or CD changes; true then.
    bool waitForChange();
    bool getCTS();
    bool getDSR();
    bool getRI();
    bool getCD();

    // The operating-system side of a port; see serial_impl.hpp.
    class SerialImpl;

private:
    std::unique_ptr<SerialImpl> pimpl_;
};

class QUORVEL_API SerialException : public std::exception {
public:
    explicit SerialException(const char* description);
    ~SerialException() override;
    const char* what() const noexcept override;

private:
    std::string e_what_;
};

class QUORVEL_API IOException : public std::exception {
public:
    IOException(std::string file, int line, int errnum);
    IOException(std::string file, int line, const char* description);
    ~IOException() override;
    const char* what() const noexcept override;

    int getErrorNumber() const { return errno_; }

private:
    std::string file_;
    int line_;
    std::string e_what_;
    int errno_ = 0;
};

class QUORVEL_API PortNotOpenedException : public std::exception {
public:
    explicit PortNotOpenedException(const char* description);
    ~PortNotOpenedException() override;
    const char* what() const noexcept override;

private:
    std::string e_what_;
};

// One serial device of the host.
struct QUORVEL_API PortInfo {
    // The device file, e.g. /dev/ttyACM0.
    std::string device_path;
    // USB: manufacturer, product and serial number joined by blanks;
    // otherwise the device's file name.
    std::string description;
    // USB: "USB VID:PID=vvvv:pppp SNR=..."; otherwise the sysfs id or "n/a".
    std::string hardware_id;
};

// Every device matching /dev/ttyACM*, /dev/ttyS*, /dev/ttyUSB*, /dev/tty.*,
// /dev/cu.* and /dev/rfcomm*, in that pattern order and sorted within one
// pattern (byte order of the names). Reads the file system afresh on each
// call; safe on any thread, also several at once and while ports are open.
QUORVEL_API std::vector<PortInfo> list_ports();

}  // namespace serial

#endif
