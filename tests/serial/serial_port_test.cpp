// serial::Serial on real pseudo-terminals: opening, settings, closing, the
// modem and break operations and every exception text.

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
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

TEST(SerialValues, SimpleTimeoutAndCharacterTime) {
    const serial::Timeout t = serial::Timeout::simpleTimeout(1000);
    EXPECT_EQ(std::make_tuple(t.inter_byte_timeout_ms, t.read_constant_ms, t.read_multiplier_ms, t.write_constant_ms,
                              t.write_multiplier_ms),
              std::make_tuple(4294967295u, 1000u, 0u, 1000u, 0u));
    // Bit time 8680 ns at 115200 bit/s: ten bits for 8N1, eleven with parity,
    // ten and a half with one and a half stop bits.
    EXPECT_EQ(serial::characterTimeNs(115200, serial::eight_bits, serial::no_parity, serial::one_stop_bit), 86800u);
    EXPECT_EQ(serial::characterTimeNs(115200, serial::eight_bits, serial::even_parity, serial::one_stop_bit), 95480u);
    EXPECT_EQ(serial::characterTimeNs(115200, serial::eight_bits, serial::no_parity, serial::one_and_half_stop_bits),
              91140u);
    EXPECT_EQ(serial::characterTimeNs(9600, serial::seven_bits, serial::odd_parity, serial::two_stop_bits), 1145826u);
    EXPECT_EQ(serial::characterTimeNs(0, serial::eight_bits, serial::no_parity, serial::one_stop_bit), 0u);
    // And the port sleeps by it: 50 bit/s, 8N1, is 200 ms a character.
    qt_test::PtyPair pty;
    serial::Serial port(pty.slavePath(), 50);
    EXPECT_PRED3(within, timed([&] { port.waitByteTimes(2); }), 395, 3000);
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

    const std::pair<uint32_t, speed_t> speeds[] = {{0, B0}, {50, B50}, {57600, B57600}, {4000000, B4000000}};
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

// Bytes the port has read ahead count as waiting input for every call.
TEST(SerialQueues, AvailableWaitReadableAndFlushSeeTheReadAhead) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, readTimeout(150));
    EXPECT_PRED3(within, timed([&] { EXPECT_FALSE(port.waitReadable()); }), 140, 2000);

    pty.write("G6\rH1.0.2\r");
    awaitInput(port, 10);
    EXPECT_EQ(port.readline(30, "\r"), "G6\r");
    EXPECT_EQ(port.available(), 7u);
    EXPECT_TRUE(port.waitReadable());
    EXPECT_EQ(port.read(size_t{2}), "H1");
    port.flushInput();
    EXPECT_EQ(port.available(), 0u);
    EXPECT_FALSE(port.waitReadable());
    EXPECT_EQ(port.read(size_t{1}), "");
    // Reopening starts afresh too.
    pty.write("abc");
    awaitInput(port, 3);
    EXPECT_EQ(port.read(size_t{1}), "a");
    port.close();
    port.open();
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
