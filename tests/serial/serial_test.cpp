// serial::Serial on real pseudo-terminals: opening, settings, closing, the
// modem and break operations, every exception text, timed reads and writes,
// line reads, hang-ups, signals and one reader with several writers; and
// serial::list_ports.

#include <pthread.h>
#include <signal.h>

#include <array>
#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>
#include <tuple>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include "device_tree.hpp"
#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"
#include "serial/serial_impl.hpp"

namespace {

using namespace qt_test;
using std::chrono::milliseconds;
using testing::ThrowsMessage;
using Lines = std::vector<std::string>;

// The text of a serial::IOException raised for errnum at `line`.
std::string ioText(int line, int errnum) {
    return "IO Exception (" + std::to_string(errnum) + "): " + std::strerror(errnum) +
           ", file include/serial/src/impl/unix, line " + std::to_string(line) + ".";
}

// Milliseconds that fn took.
template <typename Fn>
long timed(Fn&& fn) {
    const auto start = std::chrono::steady_clock::now();
    fn();
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
}

// lo <= value < hi; for EXPECT_PRED3, which prints all three on failure.
bool within(long value, long lo, long hi) { return value >= lo && value < hi; }

// Waits until the port holds `count` input bytes, so a read that follows
// finds them all at once.
void awaitInput(serial::Serial& port, size_t count) {
    for (int i = 0; i < 1000 && port.available() < count; ++i) std::this_thread::sleep_for(milliseconds(2));
    ASSERT_GE(port.available(), count);
}

long openDescriptorCount() { return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), {}); }

speed_t outSpeed(const termios& t) { return ::cfgetospeed(&t); }

// Runs fn on another thread, signals that thread `signals` times `gap` apart
// (the first after `gap`), then runs `later` on this one; returns fn's result.
template <typename Fn, typename Later>
auto aside(Fn fn, Later later, int signals = 0, milliseconds gap = {}) {
    decltype(fn()) result{};
    std::thread thread([&] { result = fn(); });
    for (int i = 0; i < signals; ++i) {
        std::this_thread::sleep_for(gap);
        ::pthread_kill(thread.native_handle(), SIGUSR1);
    }
    later();
    thread.join();
    return result;
}

TEST(SerialOpen, OpensRawAndReconfiguresAtOnceWhileOpen) {
    // 0 bit/s takes no time (and divides by nothing).
    EXPECT_EQ(serial::characterTimeNs(0, serial::eight_bits, serial::no_parity, serial::one_stop_bit), 0u);

    PtyPair pty;
    // Start from a cooked terminal with everything the port must clear.
    const tcflag_t lflags = ICANON | ECHO | ECHOE | ECHOK | ECHONL | ISIG | IEXTEN;
    const tcflag_t cflags = CSTOPB | CRTSCTS | PARODD | CMSPAR;
    const tcflag_t iflags = IGNBRK | INLCR | IGNCR | ICRNL | IUCLC | PARMRK | INPCK | ISTRIP | IXON | IXOFF | IXANY;
    termios t = pty.slaveSettings();
    t.c_lflag |= lflags, t.c_oflag |= OPOST, t.c_iflag |= iflags, t.c_cflag = (t.c_cflag | cflags) & ~tcflag_t{CLOCAL};
    t.c_cc[VMIN] = 5, t.c_cc[VTIME] = 7;
    ASSERT_EQ(::tcsetattr(pty.masterFd(), TCSANOW, &t), 0);

    serial::Serial port(pty.slavePath(), 50, serial::Timeout::simpleTimeout(100));
    // 50 bit/s, 8N1: the port sleeps 200 ms a character.
    EXPECT_PRED3(within, timed([&] { port.waitByteTimes(2); }), 395, 3000);
    t = pty.slaveSettings();
    EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD | cflags), tcflag_t{CLOCAL | CREAD});
    EXPECT_EQ((t.c_lflag & lflags) | (t.c_oflag & OPOST) | (t.c_iflag & iflags) | t.c_cc[VMIN] | t.c_cc[VTIME], 0u);

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
        const auto& [set, cflagOn, cflagOff, iflagOn, iflagOff] = changes[i];
        set();
        t = pty.slaveSettings();
        EXPECT_EQ(std::make_pair(t.c_cflag & (cflagOn | cflagOff), t.c_iflag & (iflagOn | iflagOff)),
                  std::make_pair(cflagOn, iflagOn)) << "change " << i;
    }
}

TEST(SerialOpen, OpenCloseAndTheirFailuresAndEveryOperationOnAClosedPort) {
    PtyPair pty, second;
    const long fds = openDescriptorCount();
    serial::Serial port;
    EXPECT_THAT([&] { port.open(); }, ThrowsMessage<std::invalid_argument>("Empty port is invalid."));
    // Not open: one operation of each kind (reads, writes, queue and line
    // operations) names itself.
    uint8_t byte = 0;
    std::string text;
    const std::pair<std::string, std::function<void()>> guarded[] = {
        {"read", [&] { port.read(text, 4); }}, {"read", [&] { port.readlines(10, "\r"); }},
        {"write", [&] { port.write(&byte, 1); }}, {"flushInput", [&] { port.flushInput(); }},
        {"setBreak", [&] { port.setBreak(true); }}, {"getCD", [&] { port.getCD(); }},
    };
    for (const auto& [name, op] : guarded)
        EXPECT_THAT(op, ThrowsMessage<serial::PortNotOpenedException>("PortNotOpenedException Serial::" + name +
                                                                      " failed."));
    EXPECT_EQ(port.available(), 0u);
    // waitForChange does not check: its ioctl fails on no descriptor.
    const std::string badDescriptor = std::to_string(EBADF) + " " + std::strerror(EBADF);
    EXPECT_THAT([&] { port.waitForChange(); }, ThrowsMessage<serial::SerialException>(
        "SerialException waitForDSR failed on a call to ioctl(TIOCMIWAIT): " + badDescriptor + " failed."));

    EXPECT_THAT([] { serial::Serial missing("/nonexistent/ttyQ0"); },
                ThrowsMessage<serial::IOException>(ioText(151, ENOENT)));
    // A custom rate needs the serial driver; the descriptor opened for the
    // failed configuration is closed again.
    const std::string custom = ioText(434, ENOTTY);
    EXPECT_THAT([&] { serial::Serial p(pty.slavePath(), 250000); }, ThrowsMessage<serial::IOException>(custom));
    EXPECT_EQ(openDescriptorCount(), fds);

    // Settings made while closed apply at open.
    port.setPort(pty.slavePath());
    port.setBaudrate(57600);
    port.open();
    EXPECT_EQ(outSpeed(pty.slaveSettings()), B57600);
    EXPECT_THAT([&] { port.open(); },
                ThrowsMessage<serial::SerialException>("SerialException Serial port already open. failed."));
    // A refused rate leaves the port open but stays stored, so the next open
    // fails and leaves the port closed.
    EXPECT_THAT([&] { port.setBaudrate(250000); }, ThrowsMessage<serial::IOException>(custom));
    EXPECT_TRUE(port.isOpen());
    port.close();
    port.close();  // nothing happens
    EXPECT_THAT([&] { port.open(); }, ThrowsMessage<serial::IOException>(custom));
    EXPECT_FALSE(port.isOpen());
    EXPECT_EQ(openDescriptorCount(), fds);
    EXPECT_EQ([&] { serial::Serial other(pty.slavePath()); return openDescriptorCount(); }(), fds + 1);
    EXPECT_EQ(openDescriptorCount(), fds) << "the destructor closes";

    // setPort on an open port reopens it under the new name, with the current settings.
    port.setBaudrate(57600);
    port.open();
    port.setPort(second.slavePath());
    ASSERT_TRUE(port.isOpen());
    EXPECT_EQ(outSpeed(second.slaveSettings()), B57600);
    EXPECT_EQ(openDescriptorCount(), fds + 1) << "the old descriptor was closed";

    // An invalid setting throws, stays stored (every later reconfiguration
    // fails too) and leaves the device as it was.
    const termios before = second.slaveSettings();
    EXPECT_THAT([&] { port.setParity(serial::parity_t(7)); }, ThrowsMessage<std::invalid_argument>("invalid parity"));
    EXPECT_THAT([&] { port.setBaudrate(19200); }, ThrowsMessage<std::invalid_argument>("invalid parity"));
    const termios after = second.slaveSettings();
    EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0);
}

// Bytes the port has read ahead count as waiting input for every call.
TEST(SerialQueues, ReadAheadCountsAsInputAndEveryByteGoesOut) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 150, 0, 0, 0));
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
    // Reopening starts afresh too.
    pty.write("abc");
    awaitInput(port, 3);
    EXPECT_EQ(port.read(size_t{1}), "a");
    port.close();
    port.open();
    EXPECT_EQ(port.available(), 0u);

    // Every byte goes out untranslated.
    port.setTimeout(serial::Timeout::simpleTimeout(1000));
    std::string all(256, '\0');
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i);
    EXPECT_EQ(port.write(std::vector<uint8_t>(all.begin(), all.end())), 256u);
    EXPECT_EQ(pty.read(256, milliseconds(2000)), all);
    // A zero time-out still gets a byte out: it polls once.
    port.setTimeout(serial::Timeout(serial::Timeout::max(), 0, 0, 0, 0));
    EXPECT_EQ(port.write(std::string("k")), 1u);
    EXPECT_EQ(pty.read(1, milliseconds(1000)), "k");
}

TEST(SerialRead, TimeoutsBoundTheWholeReadWhichTakesLateBytesAsTheyCame) {
    PtyPair pty;
    // Nothing arriving: 100 + 10 x 10 bytes = 200 ms.
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 100, 10, 0, 0));
    uint8_t buf[10];
    EXPECT_PRED3(within, timed([&] { EXPECT_EQ(port.read(buf, sizeof buf), 0u); }), 190, 2000);

    // The inter-byte limit bounds only single waits, not the total.
    port.setTimeout(serial::Timeout(10, 1000, 0, 0, 0));
    pty.write("ab");
    awaitInput(port, 2);
    std::string got;
    EXPECT_PRED3(within, timed([&] { EXPECT_EQ(port.read(got, 5), 2u); }), 990, 3000);
    EXPECT_EQ(got, "ab");

    // Late bytes are collected up to the size asked for.
    port.setTimeout(serial::Timeout::simpleTimeout(3000));
    pty.write("abc");
    EXPECT_PRED3(within, aside([&] { return timed([&] { got = port.read(size_t{6}); }); }, [&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("defgh");
    }), 90, 2500);
    EXPECT_EQ(got, "abcdef");

    // The rest stays queued; appending reads keep what the buffer held and add
    // exactly the bytes that came, none of them translated.
    pty.write(std::string("\0\r\n\x11\x13\x7f\xff", 7));
    awaitInput(port, 9);
    std::vector<uint8_t> bytes{9};
    EXPECT_EQ(port.read(bytes, 5), 5u);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{9, 'g', 'h', 0, '\r', '\n'}));
    // Fewer than asked: what came, and nothing beyond it in the buffer.
    port.setTimeout(serial::Timeout::simpleTimeout(100));
    std::string text = "pre";
    EXPECT_EQ(port.read(text, 10), 4u);
    EXPECT_EQ(text, "pre\x11\x13\x7f\xff");

    // At 50 bit/s, 1000 missing bytes would take 200 s of character time;
    // the read still ends at its 300 ms total.
    port.setBaudrate(50);
    port.setTimeout(serial::Timeout::simpleTimeout(300));
    bytes.clear();
    const long slow = aside([&] { return timed([&] { EXPECT_EQ(port.read(bytes, 1000), 1u); }); }, [&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("x");
    });
    EXPECT_EQ(bytes, std::vector<uint8_t>{'x'});
    EXPECT_PRED3(within, slow, 290, 2500);
}

TEST(SerialReadline, EndsOnEolOrSizeOrSilenceAndReadlinesKeepsTheRest) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(200));
    pty.write("G6\r" + std::string(40, 'q'));
    std::string line = ">";
    EXPECT_EQ(port.readline(line, 30, "\r"), 3u);
    EXPECT_EQ(line, ">G6\r");
    EXPECT_EQ(port.readline(30, "\r"), std::string(30, 'q'));
    // The rest, without an eol, ends when a byte times out.
    EXPECT_GE(timed([&] { EXPECT_EQ(port.readline(30, "\r"), std::string(10, 'q')); }), 190);

    // A multi-byte eol split across arrivals.
    pty.write("ok\r");
    EXPECT_EQ(aside([&] { return port.readline(100, "\r\n"); }, [&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("\nabc\r\n");
    }), "ok\r\n");

    // Never more than size, also when size is 0 or shorter than the eol.
    awaitInput(port, 5);
    line = "keep";
    EXPECT_EQ(port.readline(line, 0, "\r\n"), 0u);
    EXPECT_EQ(line, "keep");
    EXPECT_TRUE(port.readlines(0, "\r\n").empty());
    EXPECT_EQ(port.readline(1, "\r\n"), "a");
    EXPECT_EQ(port.readline(3, "\r\n"), "bc\r");
    EXPECT_EQ(port.readline(3, "\r\n"), "\n");

    pty.write("a\rb\rc");
    EXPECT_EQ(port.readlines(100, "\r"), (Lines{"a\r", "b\r", "c"}));
    // The size bounds the whole call; what is left stays queued.
    pty.write("aaaa\rbbbb\r");
    awaitInput(port, 10);
    EXPECT_EQ(port.readlines(6, "\r"), (Lines{"aaaa\r", "b"}));
    EXPECT_EQ(port.readlines(100, "\r"), (Lines{"bbb\r"}));
    // An eol whose start repeats its end is matched afresh from each line's
    // start: every line ends with it (not "x\n\n", "\n", "y\n\n").
    pty.write("x\n\n\ny\n\n");
    awaitInput(port, 7);
    EXPECT_EQ(port.readlines(100, "\n\n"), (Lines{"x\n\n", "\ny\n\n"}));
    // Silence from the start: no line at all.
    EXPECT_TRUE(port.readlines(100, "\r").empty());
}

TEST(SerialHangup, APeerHangingUpEndsABlockedReadWithWhatCame) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(5000));
    std::string got;
    const long elapsed = aside([&] { return timed([&] { port.read(got, 10); }); }, [&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("ab");
        std::this_thread::sleep_for(milliseconds(200));
        pty.closeMaster();
    });
    EXPECT_EQ(got, "ab");
    EXPECT_LT(elapsed, 2800) << "read still blocked";

    // Every further call ends at once, without spinning to its time-out.
    EXPECT_LT(timed([&] {
        EXPECT_THAT([&] { port.readline(100, "\r"); },
                    ThrowsMessage<serial::SerialException>("SerialException device reports readiness to read but "
                                                           "returned no data (device disconnected?) failed."));
    }), 2500);
    // The multi-byte read asks for the queue length first, which the hung-up
    // terminal refuses.
    EXPECT_THAT([&] { port.read(size_t{10}); }, ThrowsMessage<serial::IOException>(ioText(493, EIO)));
    EXPECT_THAT([&] { port.write(std::string("x")); },
                ThrowsMessage<serial::SerialException>(testing::HasSubstr(
                    "device reports readiness to write but returned no data (device disconnected?) errno=" +
                    std::to_string(EIO) + " bytes_written_now= -1 bytes_written=0 length=1")));
    EXPECT_NO_THROW(port.close());
}

std::atomic<int> g_signals{0};

// Without SA_RESTART every blocking call sees EINTR; none may throw or end early.
TEST(SerialSignal, BlockedReadsAndWritesKeepTheirTimeouts) {
    struct sigaction sa {}, old {};
    sa.sa_handler = [](int) { g_signals.fetch_add(1); };
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 600, 0, 0, 0));
    uint8_t buf[4];
    size_t count = 1;
    EXPECT_PRED3(within, aside([&] { return timed([&] { count = port.read(buf, sizeof buf); }); }, [] {}, 5,
                               milliseconds(60)), 590, 3000);
    EXPECT_EQ(count, 0u);

    // Data that comes after the signals is still read.
    port.setTimeout(serial::Timeout::simpleTimeout(3000));
    EXPECT_EQ(aside([&] { return port.readline(100, "\r"); }, [&] { pty.write("G6\r"); }, 4, milliseconds(40)),
              "G6\r");

    // Nobody reads: the write ends at its total time-out with a short count.
    port.setTimeout(serial::Timeout(serial::Timeout::max(), 0, 0, 500, 0));
    EXPECT_PRED3(within, aside([&] { return timed([&] { count = port.write(std::string(1 << 20, 'w')); }); }, [] {}, 5,
                               milliseconds(50)), 490, 3000);
    EXPECT_PRED3(within, static_cast<long>(count), 1, 1 << 20);
    EXPECT_GE(g_signals.load(), 14) << "every signal came";
    ::sigaction(SIGUSR1, &old, nullptr);
}

TEST(SerialThreads, OneReaderAndTwoWritersShareAPort) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(2000));
    constexpr size_t kLines = 200, kWrites = 40, kChunk = 4096;
    // The device side: sends numbered lines and collects everything written.
    std::string collected;
    std::thread device([&] {
        for (size_t i = 0; i < kLines; ++i) pty.write("line " + std::to_string(i) + "\r");
        collected = pty.read(2 * kWrites * kChunk, std::chrono::seconds(20));
    });
    auto writer = [&](char fill) {
        for (size_t i = 0; i < kWrites; ++i) ASSERT_EQ(port.write(std::string(kChunk, fill)), kChunk);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    Lines lines;
    for (size_t i = 0; i < kLines; ++i) lines.push_back(port.readline(64, "\r"));
    a.join();
    b.join();
    device.join();

    for (size_t i = 0; i < kLines; ++i) EXPECT_EQ(lines[i], "line " + std::to_string(i) + "\r");
    ASSERT_EQ(collected.size(), 2 * kWrites * kChunk);
    // Whole writes never interleave.
    for (size_t at = 0; at < collected.size(); at += kChunk)
        EXPECT_EQ(collected.substr(at, kChunk), std::string(kChunk, collected[at])) << "write interleaved at " << at;
}

// serial::list_ports against fake /dev and /sys trees, in a forked child
// with its own mount namespace and empty /dev and /sys (device_tree.hpp), so
// the public function reads the fake tree at the real absolute paths. Device
// nodes are plain files: the enumeration only looks at names.
// Patterns in their order, each alphabetically; other ttys are not listed.
// Without sysfs a port keeps its name and "n/a".
TEST(SerialListPorts, PatternOrderThenAlphabeticalEachDescribedFromSysfs) {
    EXPECT_TRUE(runInPrivateDeviceTree([] {
        for (const std::string name : {"rfcomm0", "cu.usbmodem1", "tty.usbserial", "ttyUSB1", "ttyS1", "ttyS0",
                                       "ttyACM4", "ttyACM10", "ttyACM1", "tty0", "ttyAMA0", "console"})
            writeFile("/dev/" + name, "");
        // Modem class: the tty's device is the interface, the USB device is one up.
        addUsbSerialDevice("ttyACM0", "/dev/null", {"Quorvel", "Yomlu CAN Adapter", "A1B2C3"});
        // Without a serial number; reached by a relative link.
        writeUsbAttributes("/sys/devices/pci0/usb1/1-2", {"Maker", "Widget", "", "1234", "abcd"});
        makeDirs("/sys/devices/pci0/usb1/1-2/1-2:1.0");
        makeLink("../../../devices/pci0/usb1/1-2/1-2:1.0", "/sys/class/tty/ttyACM1/device");
        // A link to nowhere cannot be resolved.
        makeLink("/sys/devices/gone/1-1:1.0", "/sys/class/tty/ttyACM4/device");
        // Converter: the tty's device is the converter port below the interface; only a product text.
        addUsbSerialDevice("ttyUSB0", "/dev/null", {"", "Bridge", "", "10c4", "ea60"});
        // Two up from /sys/y/z is the tmpfs root /sys.
        makeDirs("/sys/y/z");
        writeUsbAttributes("/sys", {"Top", "", "", "dead", "beef"});
        makeLink("/sys/y/z", "/sys/class/tty/ttyUSB1/device");
        // Others: the first line of an id file, if there is one.
        writeFile("/sys/devices/pnp0/00:01/id", "PNP0501\nsecond line\n");
        makeLink("../../../devices/pnp0/00:01", "/sys/class/tty/ttyS0/device");
        makeDirs("/sys/devices/platform/serial8250/tty/ttyS1");
        makeLink("../../../devices/platform/serial8250", "/sys/class/tty/ttyS1/device");
        using Port = std::array<std::string, 3>;  // path, description, hardware id
        std::vector<Port> ports;
        for (const serial::PortInfo& p : serial::list_ports())
            ports.push_back({p.device_path, p.description, p.hardware_id});
        EXPECT_EQ(ports, (std::vector<Port>{
            {"/dev/ttyACM0", "Quorvel Yomlu CAN Adapter A1B2C3", "USB VID:PID=0483:5740 SNR=A1B2C3"},
            {"/dev/ttyACM1", "Maker Widget ", "USB VID:PID=1234:abcd "},
            {"/dev/ttyACM10", "ttyACM10", "n/a"}, {"/dev/ttyACM4", "ttyACM4", "n/a"},
            {"/dev/ttyS0", "ttyS0", "PNP0501"}, {"/dev/ttyS1", "ttyS1", "n/a"},
            {"/dev/ttyUSB0", " Bridge ", "USB VID:PID=10c4:ea60 "},
            {"/dev/ttyUSB1", "Top  ", "USB VID:PID=dead:beef "},
            {"/dev/tty.usbserial", "tty.usbserial", "n/a"}, {"/dev/cu.usbmodem1", "cu.usbmodem1", "n/a"},
            {"/dev/rfcomm0", "rfcomm0", "n/a"},
        }));
    })) << "see the fake tree child's output above";
}

// The tree's child is told apart by how it ended: past its time limit, or
// killed by a signal of its own.
TEST(SerialListPorts, TheTreeSaysWhetherItsChildRanPastItsLimitOrCrashed) {
    EXPECT_NONFATAL_FAILURE(
        EXPECT_FALSE(runInPrivateDeviceTree([] { std::this_thread::sleep_for(std::chrono::seconds(5)); }, 1)),
        "the body was still running at its time limit of 1 s");
    EXPECT_NONFATAL_FAILURE(EXPECT_FALSE(runInPrivateDeviceTree([] { ::raise(SIGTERM); })),
                            "ended by signal 15 (Terminated)");
}

}  // namespace
