// serial::Serial on real pseudo-terminals: opening, settings, closing, the
// modem and break operations and every exception text.

#include <dirent.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_pair.hpp"
#include "serial.hpp"
#include "serial_test_util.hpp"
#include "serial_impl.hpp"

namespace {

using qt_test::PtyPair;
using qt_test::ioText;
using qt_test::whatOf;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

int openDescriptorCount() {
    int count = 0;
    DIR* dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] != '.') ++count;
    }
    ::closedir(dir);
    return count;
}

speed_t outSpeed(const PtyPair& pty) {
    const termios t = pty.slaveSettings();
    return ::cfgetospeed(&t);
}

bool has(tcflag_t flags, tcflag_t bits) { return (flags & bits) == bits; }
bool none(tcflag_t flags, tcflag_t bits) { return (flags & bits) == 0; }

// ---------------------------------------------------------------- values

TEST(SerialTimeout, SimpleTimeoutAndFieldOrder) {
    EXPECT_EQ(serial::Timeout::max(), 4294967295u);
    const serial::Timeout simple = serial::Timeout::simpleTimeout(1000);
    EXPECT_EQ(simple.inter_byte_timeout_ms, 4294967295u);
    EXPECT_EQ(simple.read_constant_ms, 1000u);
    EXPECT_EQ(simple.read_multiplier_ms, 0u);
    EXPECT_EQ(simple.write_constant_ms, 1000u);
    EXPECT_EQ(simple.write_multiplier_ms, 0u);

    const serial::Timeout t(1, 2, 3, 4, 5);
    EXPECT_EQ(t.inter_byte_timeout_ms, 1u);
    EXPECT_EQ(t.read_constant_ms, 2u);
    EXPECT_EQ(t.read_multiplier_ms, 3u);
    EXPECT_EQ(t.write_constant_ms, 4u);
    EXPECT_EQ(t.write_multiplier_ms, 5u);
}

TEST(SerialTimeout, MillisecondTimerCountsDown) {
    EXPECT_EQ(serial::timespec_from_ms(2345).tv_sec, 2);
    EXPECT_EQ(serial::timespec_from_ms(2345).tv_nsec, 345000000L);

    serial::MillisecondTimer timer(1999);
    const int64_t first = timer.remaining();
    EXPECT_LE(first, 1999);
    EXPECT_GE(first, 1500);
    serial::MillisecondTimer expired(0);
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_LE(expired.remaining(), 0);
}

TEST(SerialExceptions, TextsAreExact) {
    EXPECT_STREQ(serial::SerialException("Serial port already open.").what(),
                 "SerialException Serial port already open. failed.");
    EXPECT_STREQ(serial::PortNotOpenedException("Serial::read").what(), "PortNotOpenedException Serial::read failed.");
    EXPECT_EQ(std::string(serial::IOException("f", 12, ENOENT).what()),
              "IO Exception (2): No such file or directory, file f, line 12.");
    EXPECT_EQ(serial::IOException("f", 12, ENOENT).getErrorNumber(), ENOENT);
    EXPECT_STREQ(serial::IOException("f", 3, "::tcgetattr").what(), "IO Exception: ::tcgetattr, file f, line 3.");
    EXPECT_EQ(serial::IOException("f", 3, "x").getErrorNumber(), 0);
}

// ---------------------------------------------------------------- open and configure

TEST(SerialOpen, PutsTheDeviceIntoRawModeWithTheGivenSettings) {
    PtyPair pty;
    // Start from a cooked terminal with everything the port must clear.
    termios cooked = pty.slaveSettings();
    cooked.c_lflag |= ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    cooked.c_oflag |= OPOST;
    cooked.c_iflag |= IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY;
    cooked.c_cflag |= CSTOPB | CRTSCTS | PARODD | CMSPAR;
    cooked.c_cflag &= (tcflag_t) ~(CLOCAL);
    cooked.c_cc[VMIN] = 5;
    cooked.c_cc[VTIME] = 7;
    ASSERT_EQ(::tcsetattr(pty.masterFd(), TCSANOW, &cooked), 0);

    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(100));
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPort(), pty.slavePath());
    EXPECT_EQ(port.getBaudrate(), 115200u);
    EXPECT_EQ(port.getBytesize(), serial::eight_bits);
    EXPECT_EQ(port.getParity(), serial::no_parity);
    EXPECT_EQ(port.getStopbits(), serial::one_stop_bit);
    EXPECT_EQ(port.getFlowcontrol(), serial::no_flow_control);
    EXPECT_EQ(port.getTimeout().read_constant_ms, 100u);

    const termios t = pty.slaveSettings();
    EXPECT_TRUE(has(t.c_cflag, CLOCAL | CREAD));
    EXPECT_TRUE(none(t.c_lflag, ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN));
    EXPECT_TRUE(none(t.c_oflag, OPOST));
    EXPECT_TRUE(none(t.c_iflag, IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK | INPCK | ISTRIP));
    EXPECT_TRUE(none(t.c_iflag, IXON | IXOFF | IXANY));
    EXPECT_TRUE(none(t.c_cflag, CSTOPB | CRTSCTS | PARODD | CMSPAR));
    EXPECT_EQ(t.c_cc[VMIN], 0);
    EXPECT_EQ(t.c_cc[VTIME], 0);
    EXPECT_EQ(::cfgetospeed(&t), B115200);
    EXPECT_EQ(::cfgetispeed(&t), B115200);
}

TEST(SerialOpen, SettingsMadeWhileClosedApplyAtOpen) {
    PtyPair pty;
    serial::Serial port;
    EXPECT_FALSE(port.isOpen());
    port.setPort(pty.slavePath());
    EXPECT_FALSE(port.isOpen());
    port.setBaudrate(57600);
    port.setStopbits(serial::two_stop_bits);
    port.setFlowcontrol(serial::hardware_flow_control);
    port.open();
    ASSERT_TRUE(port.isOpen());
    const termios t = pty.slaveSettings();
    EXPECT_EQ(::cfgetospeed(&t), B57600);
    EXPECT_TRUE(has(t.c_cflag, CSTOPB | CRTSCTS));
}

TEST(SerialOpen, ReconfiguresAtOnceWhileOpen) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(100));

    struct Speed {
        uint32_t rate;
        speed_t constant;
    };
    const Speed speeds[] = {
        {0, B0},           {50, B50},           {75, B75},           {110, B110},         {134, B134},
        {150, B150},       {200, B200},         {300, B300},         {600, B600},         {1200, B1200},
        {1800, B1800},     {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},
        {38400, B38400},   {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},
        {500000, B500000}, {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
        {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000},
        {4000000, B4000000}, {9600, B9600},
    };
    for (const Speed s : speeds) {
        port.setBaudrate(s.rate);
        const termios t = pty.slaveSettings();
        EXPECT_EQ(::cfgetospeed(&t), s.constant) << s.rate;
        EXPECT_EQ(::cfgetispeed(&t), s.constant) << s.rate;
    }

    port.setStopbits(serial::two_stop_bits);
    EXPECT_TRUE(has(pty.slaveSettings().c_cflag, CSTOPB));
    port.setStopbits(serial::one_stop_bit);
    EXPECT_TRUE(none(pty.slaveSettings().c_cflag, CSTOPB));
    port.setStopbits(serial::one_and_half_stop_bits);
    EXPECT_TRUE(has(pty.slaveSettings().c_cflag, CSTOPB));

    port.setFlowcontrol(serial::software_flow_control);
    EXPECT_TRUE(has(pty.slaveSettings().c_iflag, IXON | IXOFF));
    EXPECT_TRUE(none(pty.slaveSettings().c_cflag, CRTSCTS));
    port.setFlowcontrol(serial::hardware_flow_control);
    EXPECT_TRUE(none(pty.slaveSettings().c_iflag, IXON | IXOFF | IXANY));
    EXPECT_TRUE(has(pty.slaveSettings().c_cflag, CRTSCTS));
    port.setFlowcontrol(serial::no_flow_control);
    EXPECT_TRUE(none(pty.slaveSettings().c_iflag, IXON | IXOFF));
    EXPECT_TRUE(none(pty.slaveSettings().c_cflag, CRTSCTS));

    // A pseudo-terminal keeps PARODD and CMSPAR (it forces PARENB off and
    // eight data bits), so the parity selection is visible through those.
    struct ParityCase {
        serial::parity_t parity;
        bool parodd;
        bool cmspar;
    };
    const ParityCase cases[] = {
        {serial::odd_parity, true, false},  {serial::mark_parity, true, true}, {serial::odd_parity, true, false},
        {serial::space_parity, false, true}, {serial::even_parity, false, false}, {serial::mark_parity, true, true},
        {serial::no_parity, false, false},
    };
    for (const ParityCase& c : cases) {
        port.setParity(c.parity);
        const termios t = pty.slaveSettings();
        EXPECT_EQ((t.c_cflag & PARODD) != 0, c.parodd) << c.parity;
        EXPECT_EQ((t.c_cflag & CMSPAR) != 0, c.cmspar) << c.parity;
        EXPECT_EQ(port.getParity(), c.parity);
    }
}

TEST(SerialOpen, InvalidSettingsThrowAndLeaveTheDeviceAsItWas) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 9600, serial::Timeout::simpleTimeout(100), serial::eight_bits,
                        serial::odd_parity, serial::two_stop_bits, serial::software_flow_control);

    struct Bad {
        std::function<void()> set;
        std::function<void()> repair;
        const char* text;
    };
    const Bad bads[] = {
        {[&] { port.setBytesize(static_cast<serial::bytesize_t>(9)); }, [&] { port.setBytesize(serial::seven_bits); },
         "invalid char len"},
        {[&] { port.setStopbits(static_cast<serial::stopbits_t>(0)); }, [&] { port.setStopbits(serial::two_stop_bits); },
         "invalid stop bit"},
        {[&] { port.setParity(static_cast<serial::parity_t>(7)); }, [&] { port.setParity(serial::odd_parity); },
         "invalid parity"},
    };
    for (const Bad& bad : bads) {
        const termios before = pty.slaveSettings();
        EXPECT_EQ(whatOf<std::invalid_argument>(bad.set), bad.text);
        const termios after = pty.slaveSettings();
        EXPECT_EQ(after.c_cflag, before.c_cflag);
        EXPECT_EQ(after.c_iflag, before.c_iflag);
        EXPECT_EQ(after.c_lflag, before.c_lflag);
        EXPECT_EQ(::cfgetospeed(&after), B9600);
        EXPECT_TRUE(port.isOpen());
        // The bad value stays stored: every later reconfiguration fails too.
        EXPECT_EQ(whatOf<std::invalid_argument>([&] { port.setBaudrate(19200); }), bad.text);
        EXPECT_EQ(outSpeed(pty), B9600);
        bad.repair();
        port.setBaudrate(9600);
    }
    EXPECT_EQ(port.getBytesize(), serial::seven_bits);
    port.setBaudrate(19200);
    EXPECT_EQ(outSpeed(pty), B19200);

    // A bad value stored while closed stops the next open, which leaves the port closed.
    port.close();
    port.setBytesize(static_cast<serial::bytesize_t>(4));
    EXPECT_EQ(whatOf<std::invalid_argument>([&] { port.open(); }), "invalid char len");
    EXPECT_FALSE(port.isOpen());
    port.setBytesize(serial::eight_bits);
    port.open();
    EXPECT_TRUE(port.isOpen());
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
    EXPECT_EQ(port.getBaudrate(), 250000u);
    port.close();
    EXPECT_EQ(whatOf<serial::IOException>([&] { port.open(); }), expected);
    EXPECT_FALSE(port.isOpen());
    port.setBaudrate(115200);
    port.open();
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialOpen, CharacterTimeFollowsTheFraming) {
    PtyPair pty;
    struct Case {
        unsigned long rate;
        serial::bytesize_t bytesize;
        serial::parity_t parity;
        serial::stopbits_t stopbits;
        uint32_t expected;
    };
    const Case cases[] = {
        {115200, serial::eight_bits, serial::no_parity, serial::one_stop_bit, 86800},
        {115200, serial::eight_bits, serial::even_parity, serial::one_stop_bit, 95480},
        {115200, serial::eight_bits, serial::space_parity, serial::one_stop_bit, 95480},
        {115200, serial::eight_bits, serial::no_parity, serial::one_and_half_stop_bits, 91140},
        {9600, serial::seven_bits, serial::odd_parity, serial::two_stop_bits, 1145826},
        {50, serial::five_bits, serial::no_parity, serial::one_and_half_stop_bits, 150000000},
        {0, serial::eight_bits, serial::no_parity, serial::one_stop_bit, 0},
    };
    for (const Case& c : cases) {
        serial::Serial::SerialImpl impl(pty.slavePath(), c.rate, c.bytesize, c.parity, c.stopbits,
                                        serial::no_flow_control);
        EXPECT_EQ(impl.byteTimeNs(), c.expected) << c.rate << " " << c.bytesize << c.parity << c.stopbits;
        impl.close();
        // Kept after closing.
        EXPECT_EQ(impl.byteTimeNs(), c.expected);
    }
}

TEST(SerialOpen, WaitByteTimesSleepsForTheCharacters) {
    PtyPair pty;
    // 50 bit/s, 8N1: 200 ms per character.
    serial::Serial port(pty.slavePath(), 50);
    const auto start = Clock::now();
    port.waitByteTimes(2);
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(395));
    EXPECT_LT(elapsed, std::chrono::milliseconds(3000));
}

// ---------------------------------------------------------------- open and close failures

TEST(SerialOpen, OpenFailures) {
    serial::Serial unnamed;
    EXPECT_FALSE(unnamed.isOpen());
    EXPECT_EQ(whatOf<std::invalid_argument>([&] { unnamed.open(); }), "Empty port is invalid.");

    EXPECT_EQ(whatOf<serial::IOException>([] { serial::Serial port("/nonexistent/ttyQ0"); }), ioText(151, ENOENT));

    PtyPair pty;
    serial::Serial port(pty.slavePath());
    EXPECT_EQ(whatOf<serial::SerialException>([&] { port.open(); }),
              "SerialException Serial port already open. failed.");
    EXPECT_TRUE(port.isOpen());
}

TEST(SerialOpen, TooManyOpenFiles) {
    PtyPair pty;
    // Lower the descriptor limit in a child, so that the next open fails.
    const pid_t child = ::fork();
    ASSERT_NE(child, -1);
    if (child == 0) {
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
        const std::string expected = "IO Exception: Too many file handles open., file include/serial/src/impl/unix, line 149.";
        const std::string got = whatOf<serial::IOException>([&] { serial::Serial port(pty.slavePath()); });
        if (got != expected) std::fprintf(stderr, "child got: %s\n", got.c_str());
        ::_exit(got == expected ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(SerialOpen, CloseAndReopen) {
    PtyPair pty;
    const int fds = openDescriptorCount();
    {
        serial::Serial port(pty.slavePath());
        EXPECT_EQ(openDescriptorCount(), fds + 1);
        port.close();
        EXPECT_FALSE(port.isOpen());
        EXPECT_EQ(openDescriptorCount(), fds);
        port.close();  // nothing happens
        EXPECT_EQ(port.available(), 0u);
        port.open();
        EXPECT_TRUE(port.isOpen());
        EXPECT_EQ(openDescriptorCount(), fds + 1);
    }
    // The destructor closed it.
    EXPECT_EQ(openDescriptorCount(), fds);
}

TEST(SerialOpen, SetPortReopensAnOpenPortUnderTheNewName) {
    PtyPair first;
    PtyPair second;
    serial::Serial port(first.slavePath(), 9600, serial::Timeout::simpleTimeout(500));
    port.setStopbits(serial::two_stop_bits);
    port.setPort(second.slavePath());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(port.getPort(), second.slavePath());
    // The current settings went along.
    const termios t = second.slaveSettings();
    EXPECT_EQ(::cfgetospeed(&t), B9600);
    EXPECT_TRUE(has(t.c_cflag, CSTOPB));

    EXPECT_EQ(port.write(std::string("hi")), 2u);
    EXPECT_EQ(second.read(2, std::chrono::milliseconds(2000)), "hi");
    EXPECT_EQ(first.read(1, std::chrono::milliseconds(50)), "");

    // The old name is free again: a new port opens it.
    serial::Serial other(first.slavePath());
    EXPECT_TRUE(other.isOpen());
}

// ---------------------------------------------------------------- not open

TEST(SerialNotOpen, EveryGuardedOperationNamesItself) {
    serial::Serial port;
    uint8_t byte = 0;
    std::vector<uint8_t> bytes;
    std::string text;
    struct Case {
        const char* description;
        std::function<void()> op;
    };
    const Case cases[] = {
        {"Serial::read", [&] { port.read(&byte, 1); }},
        {"Serial::read", [&] { port.read(bytes, 4); }},
        {"Serial::read", [&] { port.read(text, 4); }},
        {"Serial::read", [&] { port.read(size_t{4}); }},
        {"Serial::read", [&] { port.readline(text, 10, "\r"); }},
        {"Serial::read", [&] { port.readline(size_t{0}, "\r"); }},
        {"Serial::read", [&] { port.readlines(10, "\r"); }},
        {"Serial::write", [&] { port.write(&byte, 1); }},
        {"Serial::write", [&] { port.write(std::vector<uint8_t>{1, 2}); }},
        {"Serial::write", [&] { port.write(std::string("ab")); }},
        {"Serial::flush", [&] { port.flush(); }},
        {"Serial::flushInput", [&] { port.flushInput(); }},
        {"Serial::flushOutput", [&] { port.flushOutput(); }},
        {"Serial::sendBreak", [&] { port.sendBreak(10); }},
        {"Serial::setBreak", [&] { port.setBreak(true); }},
        {"Serial::setRTS", [&] { port.setRTS(true); }},
        {"Serial::setDTR", [&] { port.setDTR(false); }},
        {"Serial::getCTS", [&] { port.getCTS(); }},
        {"Serial::getDSR", [&] { port.getDSR(); }},
        {"Serial::getRI", [&] { port.getRI(); }},
        {"Serial::getCD", [&] { port.getCD(); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(whatOf<serial::PortNotOpenedException>(c.op),
                  std::string("PortNotOpenedException ") + c.description + " failed.");
    }
    EXPECT_TRUE(bytes.empty());
    EXPECT_TRUE(text.empty());
    EXPECT_EQ(port.available(), 0u);
    port.close();
    // waitForChange does not check: its ioctl fails on no descriptor.
    EXPECT_EQ(whatOf<serial::SerialException>([&] { port.waitForChange(); }),
              "SerialException waitForDSR failed on a call to ioctl(TIOCMIWAIT): " + std::to_string(EBADF) + " " +
                  std::strerror(EBADF) + " failed.");
}

// ---------------------------------------------------------------- modem lines and break

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
    const std::string tail = std::to_string(err) + " " + std::strerror(err) + " failed.";

    struct Case {
        std::string text;
        std::function<void()> op;
    };
    const Case cases[] = {
        {"setRTS failed on a call to ioctl(TIOCMBIS): ", [&] { port.setRTS(true); }},
        {"setRTS failed on a call to ioctl(TIOCMBIC): ", [&] { port.setRTS(false); }},
        {"setDTR failed on a call to ioctl(TIOCMBIS): ", [&] { port.setDTR(true); }},
        {"setDTR failed on a call to ioctl(TIOCMBIC): ", [&] { port.setDTR(false); }},
        {"getCTS failed on a call to ioctl(TIOCMGET): ", [&] { port.getCTS(); }},
        {"getDSR failed on a call to ioctl(TIOCMGET): ", [&] { port.getDSR(); }},
        {"getRI failed on a call to ioctl(TIOCMGET): ", [&] { port.getRI(); }},
        {"getCD failed on a call to ioctl(TIOCMGET): ", [&] { port.getCD(); }},
        {"waitForDSR failed on a call to ioctl(TIOCMIWAIT): ", [&] { port.waitForChange(); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(whatOf<serial::SerialException>(c.op), "SerialException " + c.text + tail);
    }
    // A pseudo-terminal accepts break requests; results of tcsendbreak are not examined.
    EXPECT_NO_THROW(port.setBreak(true));
    EXPECT_NO_THROW(port.setBreak(false));
    EXPECT_NO_THROW(port.sendBreak(10));
    EXPECT_NO_THROW(port.sendBreak(-5));
    EXPECT_TRUE(port.isOpen());
}

// ---------------------------------------------------------------- queues

TEST(SerialQueues, AvailableAndFlushInput) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    pty.write("hello");
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (port.available() < 5 && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(port.available(), 5u);
    EXPECT_TRUE(port.waitReadable());
    port.flushInput();
    EXPECT_EQ(port.available(), 0u);
    EXPECT_EQ(port.read(size_t{5}).size(), 0u);

    // On a pseudo-terminal, output may already have passed to the other side
    // when flushOutput runs (the kernel moves it on asynchronously): it is
    // either discarded whole or delivered whole, before what follows.
    EXPECT_EQ(port.write(std::string("abc")), 3u);
    port.flushOutput();
    EXPECT_EQ(port.write(std::string("xyz")), 3u);
    port.flush();
    const std::string got = pty.drain(milliseconds(200));
    EXPECT_TRUE(got == "xyz" || got == "abcxyz") << got;
}

TEST(SerialQueues, WaitReadableTimesOutAfterTheReadConstant) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 150, 0, 0, 0));
    const auto start = Clock::now();
    EXPECT_FALSE(port.waitReadable());
    const auto elapsed = Clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(140));
    EXPECT_LT(elapsed, std::chrono::milliseconds(2000));
}

}  // namespace
