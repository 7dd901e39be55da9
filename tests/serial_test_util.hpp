#ifndef QT_TESTS_SERIAL_TEST_UTIL_HPP
#define QT_TESTS_SERIAL_TEST_UTIL_HPP

// Small helpers shared by the serial port tests.

#include <chrono>
#include <cstring>
#include <exception>
#include <string>

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

inline std::chrono::milliseconds since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
}

}  // namespace qt_test

#endif
