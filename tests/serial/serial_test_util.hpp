#ifndef QT_TESTS_SERIAL_TEST_UTIL_HPP
#define QT_TESTS_SERIAL_TEST_UTIL_HPP

// Small helpers shared by the serial port tests.

#include <chrono>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "quorvel_transport/serial.hpp"

namespace qt_test {

// The what() text of the `Exception` that fn throws, or a text saying that
// it threw something else or nothing.
template <typename Exception, typename Fn>
std::string whatOf(Fn&& fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("wrong exception type: ") + e.what();
    }
    return "no exception";
}

// The text of a serial::IOException raised for errnum at `line`.
inline std::string ioText(int line, int errnum) {
    return "IO Exception (" + std::to_string(errnum) + "): " + std::strerror(errnum) +
           ", file include/serial/src/impl/unix, line " + std::to_string(line) + ".";
}

inline long since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// Milliseconds that fn took.
template <typename Fn>
long timed(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return since(start);
}

// lo <= value < hi; for EXPECT_PRED3, which prints all three on failure.
inline bool within(long value, long lo, long hi) { return value >= lo && value < hi; }

// Only a read-timeout constant; everything else unlimited or zero.
inline serial::Timeout readTimeout(uint32_t ms) { return serial::Timeout(serial::Timeout::max(), ms, 0, 0, 0); }

// Waits until the port holds `count` input bytes, so a read that follows
// finds them all at once.
inline void awaitInput(serial::Serial& port, size_t count) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (port.available() < count && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    ASSERT_GE(port.available(), count);
}

}  // namespace qt_test

#endif
