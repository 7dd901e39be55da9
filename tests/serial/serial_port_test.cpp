// serial::Serial on real pseudo-terminals: opening, settings, closing, the
// modem and break operations and every exception text.

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"
#include "serial_test_util.hpp"
#include "serial/serial_impl.hpp"

namespace {

using namespace qt_test;
using std::chrono::milliseconds;

int openDescriptorCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) count += e->d_name[0] != '.';
    ::closedir(dir);
    return count;
}

speed_t outSpeed(const PtyPair& pty) {
    const termios t = pty.slaveSettings();
    return ::cfgetospeed(&t);
}

bool has(tcflag_t flags, tcflag_t bits) { return (flags & bits) == bits; }
bool none(tcflag_t flags, tcflag_t bits) { return (flags & bits) == 0; }

TEST(SerialValues, TimeoutsAndTimer) {
    const serial::Timeout t = serial::Timeout::simpleTimeout(1000);
    EXPECT_EQ(std::make_tuple(t.inter_byte_timeout_ms, t.read_constant_ms, t.read_multiplier_ms, t.write_constant_ms,
                              t.write_multiplier_ms),
              std::make_tuple(4294967295u, 1000u, 0u, 1000u, 0u));
    // Whole seconds carry over from the milliseconds.
    EXPECT_EQ(std::make_pair(serial::timespec_from_ms(2345).tv_sec, serial::timespec_from_ms(2345).tv_nsec),
              std::make_pair(time_t{2}, 345000000L));
    serial::MillisecondTimer timer(1999);
    EXPECT_PRED3(within, timer.remaining(), 1500, 2000);
}

TEST(SerialOpen, OpensRawAndReconfiguresAtOnceWhileOpen) {
    PtyPair pty;
    // Start from a cooked terminal with everything the port must clear.
    termios cooked = pty.slaveSettings();
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    cooked.c_oflag |= OPOST;
    cooked.c_iflag |= IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY;
    cooked.c_cflag = (cooked.c_cflag | CSTOPB | CRTSCTS | PARODD | CMSPAR) & ~tcflag_t{CLOCAL};
    cooked.c_cc[VMIN] = 5;
    cooked.c_cc[VTIME] = 7;
    ASSERT_EQ(::tcsetattr(pty.masterFd(), TCSANOW, &cooked), 0);

    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(100));
    termios t = pty.slaveSettings();
    EXPECT_TRUE(has(t.c_cflag, CLOCAL | CREAD));
    EXPECT_TRUE(none(t.c_lflag, ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN));
    EXPECT_TRUE(none(t.c_oflag, OPOST));
    EXPECT_TRUE(none(t.c_iflag, IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY));
    EXPECT_TRUE(none(t.c_cflag, CSTOPB | CRTSCTS | PARODD | CMSPAR));
    EXPECT_EQ(std::make_pair(t.c_cc[VMIN], t.c_cc[VTIME]), std::make_pair(cc_t{0}, cc_t{0}));

    const std::pair<uint32_t, speed_t> speeds[] = {
        {0, B0}, {50, B50}, {75, B75}, {110, B110}, {134, B134}, {150, B150}, {200, B200}, {300, B300}, {600, B600},
        {1200, B1200}, {1800, B1800}, {2400, B2400}, {4800, B4800}, {9600, B9600}, {19200, B19200}, {38400, B38400},
        {57600, B57600}, {115200, B115200}, {230400, B230400}, {460800, B460800}, {500000, B500000},
        {576000, B576000}, {921600, B921600}, {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
        {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
    };
    for (const auto& [rate, constant] : speeds) {
        port.setBaudrate(rate);
        t = pty.slaveSettings();
        EXPECT_EQ(std::make_pair(::cfgetospeed(&t), ::cfgetispeed(&t)), std::make_pair(constant, constant)) << rate;
    }

    // A pseudo-terminal keeps PARODD and CMSPAR (it forces PARENB off and
    // eight data bits), so the parity selection is visible through those.
    // What to change; then c_cflag bits set, cleared, c_iflag bits set, cleared.
    const std::tuple<std::function<void()>, tcflag_t, tcflag_t, tcflag_t, tcflag_t> changes[] = {
        {[&] { port.setStopbits(serial::two_stop_bits); }, CSTOPB, 0, 0, 0},
        {[&] { port.setStopbits(serial::one_stop_bit); }, 0, CSTOPB, 0, 0},
        {[&] { port.setStopbits(serial::one_and_half_stop_bits); }, CSTOPB, 0, 0, 0},
        {[&] { port.setFlowcontrol(serial::software_flow_control); }, 0, CRTSCTS, IXON | IXOFF, 0},
        {[&] { port.setFlowcontrol(serial::hardware_flow_control); }, CRTSCTS, 0, 0, IXON | IXOFF | IXANY},
        {[&] { port.setFlowcontrol(serial::no_flow_control); }, 0, CRTSCTS, 0, IXON | IXOFF},
        {[&] { port.setParity(serial::mark_parity); }, PARODD | CMSPAR, 0, 0, 0},
        {[&] { port.setParity(serial::odd_parity); }, PARODD, CMSPAR, 0, 0},
        {[&] { port.setParity(serial::space_parity); }, CMSPAR, PARODD, 0, 0},
        {[&] { port.setParity(serial::even_parity); }, 0, PARODD | CMSPAR, 0, 0},
        {[&] { port.setParity(serial::mark_parity); }, PARODD | CMSPAR, 0, 0, 0},
        {[&] { port.setParity(serial::no_parity); }, 0, PARODD | CMSPAR, 0, 0},
    };
    for (size_t i = 0; i < std::size(changes); ++i) {
        SCOPED_TRACE(i);
        const auto& [set, cflagOn, cflagOff, iflagOn, iflagOff] = changes[i];
        set();
        t = pty.slaveSettings();
        EXPECT_TRUE(has(t.c_cflag, cflagOn) && none(t.c_cflag, cflagOff));
        EXPECT_TRUE(has(t.c_iflag, iflagOn) && none(t.c_iflag, iflagOff));
    }
}

TEST(SerialOpen, InvalidSettingsThrowAndLeaveTheDeviceAsItWas) {
    PtyPair pty;
    const std::pair<std::function<void(serial::Serial&)>, const char*> bads[] = {
        {[](serial::Serial& p) { p.setBytesize(static_cast<serial::bytesize_t>(9)); }, "invalid char len"},
        {[](serial::Serial& p) { p.setStopbits(static_cast<serial::stopbits_t>(0)); }, "invalid stop bit"},
        {[](serial::Serial& p) { p.setParity(static_cast<serial::parity_t>(7)); }, "invalid parity"},
    };
    auto settings = [&] {
        const termios t = pty.slaveSettings();
        return std::make_tuple(t.c_cflag, t.c_iflag, t.c_lflag, ::cfgetospeed(&t));
    };
    for (const auto& [set, text] : bads) {
        serial::Serial port(pty.slavePath(), 9600, serial::Timeout::simpleTimeout(100), serial::seven_bits,
                            serial::odd_parity, serial::two_stop_bits, serial::software_flow_control);
        const auto before = settings();
        EXPECT_EQ(whatOf<std::invalid_argument>([&] { set(port); }), text);
        EXPECT_TRUE(port.isOpen());
        // The bad value stays stored: every later reconfiguration fails too.
        EXPECT_EQ(whatOf<std::invalid_argument>([&] { port.setBaudrate(19200); }), text);
        EXPECT_EQ(settings(), before);
    }
}

TEST(SerialOpen, CustomRateNeedsTheSerialDriver) {
    PtyPair pty;
    const int fds = openDescriptorCount();
    const std::string expected = ioText(434, ENOTTY);
    EXPECT_EQ(whatOf<serial::IOException>([&] { serial::Serial port(pty.slavePath(), 250000); }), expected);
    // The descriptor opened for the failed configuration was closed again.
    EXPECT_EQ(openDescriptorCount(), fds);

    serial::Serial port(pty.slavePath(), 115200);
    EXPECT_EQ(whatOf<serial::IOException>([&] { port.setBaudrate(250000); }), expected);
    EXPECT_TRUE(port.isOpen());
    // The rate stays stored, so the next open fails and leaves the port closed.
    port.close();
    EXPECT_EQ(whatOf<serial::IOException>([&] { port.open(); }), expected);
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(openDescriptorCount(), fds);
}

TEST(SerialOpen, CharacterTimeFollowsTheFramingAndPaces) {
    PtyPair pty;
    const std::tuple<unsigned long, serial::bytesize_t, serial::parity_t, serial::stopbits_t, uint32_t> cases[] = {
        {115200, serial::eight_bits, serial::no_parity, serial::one_stop_bit, 86800},
        {115200, serial::eight_bits, serial::even_parity, serial::one_stop_bit, 95480},
        {115200, serial::eight_bits, serial::no_parity, serial::one_and_half_stop_bits, 91140},
        {9600, serial::seven_bits, serial::odd_parity, serial::two_stop_bits, 1145826},
        {0, serial::eight_bits, serial::no_parity, serial::one_stop_bit, 0},
    };
    for (const auto& [rate, bytesize, parity, stopbits, expected] : cases) {
        SCOPED_TRACE(rate);
        serial::Serial::SerialImpl impl(pty.slavePath(), rate, bytesize, parity, stopbits, serial::no_flow_control);
        EXPECT_EQ(impl.byteTimeNs(), expected);
    }
    // 50 bit/s, 8N1: 200 ms per character.
    serial::Serial port(pty.slavePath(), 50);
    EXPECT_PRED3(within, timed([&] { port.waitByteTimes(2); }), 395, 3000);
}

TEST(SerialOpen, OpenCloseAndTheirFailures) {
    serial::Serial port;
    EXPECT_EQ(whatOf<std::invalid_argument>([&] { port.open(); }), "Empty port is invalid.");
    EXPECT_EQ(whatOf<serial::IOException>([] { serial::Serial missing("/nonexistent/ttyQ0"); }), ioText(151, ENOENT));

    // Settings made while closed apply at open.
    PtyPair pty, second;
    const int fds = openDescriptorCount();
    port.setPort(pty.slavePath());
    port.setBaudrate(57600);
    port.setStopbits(serial::two_stop_bits);
    port.open();
    EXPECT_EQ(outSpeed(pty), B57600);
    EXPECT_EQ(whatOf<serial::SerialException>([&] { port.open(); }),
              "SerialException Serial port already open. failed.");
    port.close();
    port.close();  // nothing happens
    EXPECT_EQ(openDescriptorCount(), fds);
    {
        serial::Serial other(pty.slavePath());
        EXPECT_EQ(openDescriptorCount(), fds + 1);
    }
    EXPECT_EQ(openDescriptorCount(), fds) << "the destructor closes";

    // setPort on an open port reopens it under the new name, with the current settings.
    port.open();
    port.setPort(second.slavePath());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(outSpeed(second), B57600);
    EXPECT_TRUE(has(second.slaveSettings().c_cflag, CSTOPB));
    EXPECT_EQ(port.write(std::string("hi")), 2u);
    EXPECT_EQ(second.read(2, milliseconds(2000)), "hi");
    EXPECT_EQ(openDescriptorCount(), fds + 1) << "the old descriptor was closed";
}

TEST(SerialOpen, TooManyOpenFiles) {
    PtyPair pty;
    // Lower the descriptor limit in a child, so that the next open fails.
    EXPECT_EXIT(
        {
            {
                // Run the same path once with descriptors to spare: sanitizer
                // runtimes need a few for their own first checks.
                serial::Serial warm(pty.slavePath());
                whatOf<serial::IOException>([] { serial::Serial missing("/nonexistent/ttyQ0"); });
            }
            const int next = ::dup(0);
            ::close(next);
            rlimit limit{};
            ::getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = static_cast<rlim_t>(next);
            ::setrlimit(RLIMIT_NOFILE, &limit);
            const std::string got = whatOf<serial::IOException>([&] { serial::Serial port(pty.slavePath()); });
            std::fprintf(stderr, "child got: %s\n", got.c_str());
            ::_exit(got != "IO Exception: Too many file handles open., file include/serial/src/impl/unix, line 149.");
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(SerialNotOpen, EveryGuardedOperationNamesItself) {
    serial::Serial port;
    uint8_t byte = 0;
    std::string text;
    const std::pair<const char*, std::function<void()>> cases[] = {
        {"read", [&] { port.read(&byte, 1); }}, {"read", [&] { port.read(text, 4); }},
        {"read", [&] { port.readline(text, 10, "\r"); }}, {"read", [&] { port.readlines(10, "\r"); }},
        {"write", [&] { port.write(&byte, 1); }}, {"flush", [&] { port.flush(); }},
        {"flushInput", [&] { port.flushInput(); }}, {"flushOutput", [&] { port.flushOutput(); }},
        {"sendBreak", [&] { port.sendBreak(10); }}, {"setBreak", [&] { port.setBreak(true); }},
        {"setRTS", [&] { port.setRTS(true); }}, {"setDTR", [&] { port.setDTR(false); }},
        {"getCTS", [&] { port.getCTS(); }}, {"getDSR", [&] { port.getDSR(); }},
        {"getRI", [&] { port.getRI(); }}, {"getCD", [&] { port.getCD(); }},
    };
    for (const auto& [name, op] : cases) {
        EXPECT_EQ(whatOf<serial::PortNotOpenedException>(op),
                  std::string("PortNotOpenedException Serial::") + name + " failed.");
    }
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(port.available(), 0u);
    // waitForChange does not check: its ioctl fails on no descriptor.
    EXPECT_EQ(whatOf<serial::SerialException>([&] { port.waitForChange(); }),
              "SerialException waitForDSR failed on a call to ioctl(TIOCMIWAIT): " + std::to_string(EBADF) + " " +
                  std::strerror(EBADF) + " failed.");
}

TEST(SerialModem, IoctlsThatAPtyRefusesThrowTheirTexts) {
    PtyPair pty;
    serial::Serial port(pty.slavePath());
    // What this kernel answers for modem lines on a pseudo-terminal.
    const int slave = ::open(pty.slavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_NE(slave, -1);
    int status = 0;
    ASSERT_EQ(::ioctl(slave, TIOCMGET, &status), -1);
    const int err = errno;
    ::close(slave);

    const std::tuple<const char*, const char*, std::function<void()>> cases[] = {
        {"setRTS", "TIOCMBIS", [&] { port.setRTS(true); }}, {"setRTS", "TIOCMBIC", [&] { port.setRTS(false); }},
        {"setDTR", "TIOCMBIS", [&] { port.setDTR(true); }}, {"setDTR", "TIOCMBIC", [&] { port.setDTR(false); }},
        {"getCTS", "TIOCMGET", [&] { port.getCTS(); }}, {"getDSR", "TIOCMGET", [&] { port.getDSR(); }},
        {"getRI", "TIOCMGET", [&] { port.getRI(); }}, {"getCD", "TIOCMGET", [&] { port.getCD(); }},
        {"waitForDSR", "TIOCMIWAIT", [&] { port.waitForChange(); }},
    };
    for (const auto& [name, request, op] : cases) {
        EXPECT_EQ(whatOf<serial::SerialException>(op), std::string("SerialException ") + name +
                                                           " failed on a call to ioctl(" + request + "): " +
                                                           std::to_string(err) + " " + strerror(err) + " failed.");
    }
    // A pseudo-terminal accepts break requests; results of tcsendbreak are not examined.
    EXPECT_NO_THROW(port.setBreak(true));
    EXPECT_NO_THROW(port.setBreak(false));
    EXPECT_NO_THROW(port.sendBreak(-5));
}

TEST(SerialQueues, AvailableFlushAndWaitReadable) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, readTimeout(150));
    EXPECT_PRED3(within, timed([&] { EXPECT_FALSE(port.waitReadable()); }), 140, 2000);

    pty.write("hello");
    awaitInput(port, 5);
    EXPECT_EQ(port.available(), 5u);
    EXPECT_TRUE(port.waitReadable());
    port.flushInput();
    EXPECT_EQ(port.available(), 0u);

    // Output may already have passed to the other side of a pseudo-terminal,
    // so only the order and the drain are checked.
    port.setTimeout(serial::Timeout::simpleTimeout(1000));
    EXPECT_EQ(port.write(std::string("abc")), 3u);
    port.flushOutput();
    EXPECT_EQ(port.write(std::string("xyz")), 3u);
    port.flush();
    const std::string got = pty.drain(milliseconds(200));
    EXPECT_TRUE(got == "xyz" || got == "abcxyz") << got;
}

}  // namespace
