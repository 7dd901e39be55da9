// serial::Serial: takes the port's read or write lock where needed and hands
// the work to its SerialImpl. Also the time-outs and the exceptions.

#include "quorvel_transport/serial.hpp"

#include <cstring>
#include <exception>
#include <limits>

#include "serial/serial_impl.hpp"

namespace serial {

// --- Timeout

uint32_t Timeout::max() { return std::numeric_limits<uint32_t>::max(); }

Timeout Timeout::simpleTimeout(uint32_t timeout) { return Timeout(max(), timeout, 0, timeout, 0); }

Timeout::Timeout(uint32_t inter_byte_timeout, uint32_t read_timeout_constant, uint32_t read_timeout_multiplier,
                 uint32_t write_timeout_constant, uint32_t write_timeout_multiplier)
    : inter_byte_timeout_ms(inter_byte_timeout),
      read_constant_ms(read_timeout_constant),
      read_multiplier_ms(read_timeout_multiplier),
      write_constant_ms(write_timeout_constant),
      write_multiplier_ms(write_timeout_multiplier) {}

// --- Exceptions

namespace {
// strerror_r comes in two flavours; either way the text ends up in buf or
// is returned.
[[maybe_unused]] const char* pickErrorText(int result, const char* buf) { return result == 0 ? buf : "Unknown error"; }
[[maybe_unused]] const char* pickErrorText(const char* result, const char*) { return result; }
}  // namespace

std::string errorText(int errnum) {
    char buf[128] = {0};
    return pickErrorText(::strerror_r(errnum, buf, sizeof buf), buf);
}

SerialException::SerialException(const char* description)
    : e_what_(std::string("SerialException ") + description + " failed.") {}
SerialException::~SerialException() = default;
const char* SerialException::what() const noexcept { return e_what_.c_str(); }

PortNotOpenedException::PortNotOpenedException(const char* description)
    : e_what_(std::string("PortNotOpenedException ") + description + " failed.") {}
PortNotOpenedException::~PortNotOpenedException() = default;
const char* PortNotOpenedException::what() const noexcept { return e_what_.c_str(); }

IOException::IOException(std::string file, int line, int errnum)
    : file_(std::move(file)),
      line_(line),
      e_what_("IO Exception (" + std::to_string(errnum) + "): " + errorText(errnum) + ", file " + file_ +
              ", line " + std::to_string(line_) + "."),
      errno_(errnum) {}

IOException::IOException(std::string file, int line, const char* description)
    : file_(std::move(file)),
      line_(line),
      e_what_(std::string("IO Exception: ") + description + ", file " + file_ + ", line " + std::to_string(line_) +
              "."),
      errno_(0) {}

IOException::~IOException() = default;
const char* IOException::what() const noexcept { return e_what_.c_str(); }

// --- Locks

namespace {

// Holds one of the port's two locks for a scope. A mutex that cannot be
// released leaves the port unusable for good.
template <void (Serial::SerialImpl::*Lock)(), void (Serial::SerialImpl::*Unlock)()>
class ScopedLock {
public:
    explicit ScopedLock(Serial::SerialImpl* pimpl) : pimpl_(pimpl) { (pimpl_->*Lock)(); }
    ~ScopedLock() {
        try {
            (pimpl_->*Unlock)();
        } catch (...) {
            std::terminate();
        }
    }
    ScopedLock(const ScopedLock&) = delete;
    ScopedLock& operator=(const ScopedLock&) = delete;

private:
    Serial::SerialImpl* pimpl_;
};

using ScopedReadLock = ScopedLock<&Serial::SerialImpl::readLock, &Serial::SerialImpl::readUnlock>;
using ScopedWriteLock = ScopedLock<&Serial::SerialImpl::writeLock, &Serial::SerialImpl::writeUnlock>;

enum class LineEnd { Eol, Full, Silence };

// Takes byte by byte into `out` from offset `start` until the bytes from
// there end with `eol`, `limit` bytes have come or a byte times out. Each
// byte gets the read's full time-out. Never takes more than `limit` bytes;
// what the port read beyond them stays in its read-ahead buffer.
LineEnd readLineInto(Serial::SerialImpl& impl, std::string& out, size_t start, size_t limit,
                     const std::string& eol) {
    size_t n = 0;
    while (n < limit) {
        uint8_t byte = 0;
        if (impl.readByte(byte) == 0) return LineEnd::Silence;
        out.push_back(static_cast<char>(byte));
        ++n;
        if (n >= eol.size() && out.compare(start + n - eol.size(), eol.size(), eol) == 0) return LineEnd::Eol;
    }
    return LineEnd::Full;
}

// Reads into the tail of a byte container and trims it to what came; on an
// exception the container is left as it was.
template <typename Container>
size_t readAppend(Serial::SerialImpl& impl, Container& buffer, size_t size) {
    const size_t old_size = buffer.size();
    buffer.resize(old_size + size);
    size_t count = 0;
    try {
        count = impl.read(reinterpret_cast<uint8_t*>(buffer.data()) + old_size, size);
    } catch (...) {
        buffer.resize(old_size);
        throw;
    }
    buffer.resize(old_size + count);
    return count;
}

}  // namespace

// --- Serial

Serial::Serial(const std::string& port, uint32_t baudrate, Timeout timeout, bytesize_t bytesize, parity_t parity,
               stopbits_t stopbits, flowcontrol_t flowcontrol)
    : pimpl_(new SerialImpl(port, baudrate, bytesize, parity, stopbits, flowcontrol)) {
    pimpl_->setTimeout(timeout);
}

Serial::~Serial() = default;

void Serial::open() { pimpl_->open(); }

void Serial::close() { pimpl_->close(); }

bool Serial::isOpen() const { return pimpl_->isOpen(); }

size_t Serial::available() { return pimpl_->available(); }

bool Serial::waitReadable() { return pimpl_->waitReadable(pimpl_->getTimeout().read_constant_ms); }

void Serial::waitByteTimes(size_t count) { pimpl_->waitByteTimes(count); }

size_t Serial::read(uint8_t* buffer, size_t size) {
    ScopedReadLock lock(pimpl_.get());
    return pimpl_->read(buffer, size);
}

size_t Serial::read(std::vector<uint8_t>& buffer, size_t size) {
    ScopedReadLock lock(pimpl_.get());
    return readAppend(*pimpl_, buffer, size);
}

size_t Serial::read(std::string& buffer, size_t size) {
    ScopedReadLock lock(pimpl_.get());
    return readAppend(*pimpl_, buffer, size);
}

std::string Serial::read(size_t size) {
    std::string buffer;
    read(buffer, size);
    return buffer;
}

size_t Serial::readline(std::string& buffer, size_t size, std::string eol) {
    ScopedReadLock lock(pimpl_.get());
    if (!pimpl_->isOpen()) throw PortNotOpenedException("Serial::read");
    const size_t start = buffer.size();
    try {
        readLineInto(*pimpl_, buffer, start, size, eol);
    } catch (...) {
        buffer.resize(start);
        throw;
    }
    return buffer.size() - start;
}

std::string Serial::readline(size_t size, std::string eol) {
    std::string buffer;
    readline(buffer, size, std::move(eol));
    return buffer;
}

std::vector<std::string> Serial::readlines(size_t size, std::string eol) {
    ScopedReadLock lock(pimpl_.get());
    if (!pimpl_->isOpen()) throw PortNotOpenedException("Serial::read");
    std::vector<std::string> lines;
    size_t total = 0;
    while (total < size) {
        std::string line;
        const LineEnd end = readLineInto(*pimpl_, line, 0, size - total, eol);
        total += line.size();
        if (!line.empty()) lines.push_back(std::move(line));
        if (end != LineEnd::Eol) break;
    }
    return lines;
}

size_t Serial::write(const uint8_t* data, size_t size) {
    ScopedWriteLock lock(pimpl_.get());
    return pimpl_->write(data, size);
}

size_t Serial::write(const std::vector<uint8_t>& data) { return write(data.data(), data.size()); }

size_t Serial::write(const std::string& data) {
    return write(reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

void Serial::setPort(const std::string& port) {
    ScopedReadLock read_lock(pimpl_.get());
    ScopedWriteLock write_lock(pimpl_.get());
    const bool was_open = pimpl_->isOpen();
    if (was_open) pimpl_->close();
    pimpl_->setPort(port);
    if (was_open) pimpl_->open();
}

std::string Serial::getPort() const { return pimpl_->getPort(); }

void Serial::setTimeout(const Timeout& timeout) { pimpl_->setTimeout(timeout); }

Timeout Serial::getTimeout() const { return pimpl_->getTimeout(); }

void Serial::setBaudrate(uint32_t baudrate) { pimpl_->setBaudrate(baudrate); }

uint32_t Serial::getBaudrate() const { return static_cast<uint32_t>(pimpl_->getBaudrate()); }

void Serial::setBytesize(bytesize_t bytesize) { pimpl_->setBytesize(bytesize); }

bytesize_t Serial::getBytesize() const { return pimpl_->getBytesize(); }

void Serial::setParity(parity_t parity) { pimpl_->setParity(parity); }

parity_t Serial::getParity() const { return pimpl_->getParity(); }

void Serial::setStopbits(stopbits_t stopbits) { pimpl_->setStopbits(stopbits); }

stopbits_t Serial::getStopbits() const { return pimpl_->getStopbits(); }

void Serial::setFlowcontrol(flowcontrol_t flowcontrol) { pimpl_->setFlowcontrol(flowcontrol); }

flowcontrol_t Serial::getFlowcontrol() const { return pimpl_->getFlowcontrol(); }

void Serial::flush() {
    ScopedReadLock read_lock(pimpl_.get());
    ScopedWriteLock write_lock(pimpl_.get());
    pimpl_->flush();
}

void Serial::flushInput() {
    ScopedReadLock lock(pimpl_.get());
    pimpl_->flushInput();
}

void Serial::flushOutput() {
    ScopedWriteLock lock(pimpl_.get());
    pimpl_->flushOutput();
}

void Serial::sendBreak(int duration) { pimpl_->sendBreak(duration); }

void Serial::setBreak(bool level) { pimpl_->setBreak(level); }

void Serial::setRTS(bool level) { pimpl_->setRTS(level); }

void Serial::setDTR(bool level) { pimpl_->setDTR(level); }

bool Serial::waitForChange() { return pimpl_->waitForChange(); }

bool Serial::getCTS() { return pimpl_->getCTS(); }

bool Serial::getDSR() { return pimpl_->getDSR(); }

bool Serial::getRI() { return pimpl_->getRI(); }

bool Serial::getCD() { return pimpl_->getCD(); }

}  // namespace serial
