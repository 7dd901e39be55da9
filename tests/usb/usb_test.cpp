// The adapter's line codec without I/O, and USBInterface on real pseudo-
// terminals against the simulated adapter: the adapter check in init
// (through the real serial::list_ports over a private /dev and /sys), the
// bytes of every line it writes, how recvData reads lines through the port,
// the adapter queries, stopping and starting, the adapter pulled out, a
// motor driver reached through the whole USB path, and python-can as a peer.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <future>
#include <memory>

#include "device_tree.hpp"
#include "quorvel_transport/serial.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "sim_adapter.hpp"
#include "usb/usb_line_codec.hpp"

namespace {

using namespace qt_test;
using Clock = std::chrono::steady_clock;
using usb_line::LineKind;

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;
const std::string kNotCompatible = "No Compatible Quorvel Device found \n";
const std::string kRefused = "No Compatible Quorvel Device found at the interface";

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// A version query's outcome as text; a failed one shows that it left its
// outputs (9s, "keep") as they were.
std::string query(USBInterface& usb, bool firmware) {
    unsigned char a = 9, b = 9, c = 9;
    std::string commit = "keep";
    const bool ok = firmware ? usb.getFirmwareVersion(&a, &b, &c, &commit) : usb.getHardwareVersion(&a, &b, &c);
    return (ok ? "" : "failed ") + std::to_string(a) + "." + std::to_string(b) + "." + std::to_string(c) +
           (firmware ? "-" + commit : "");
}

// Parsed from a heap copy of its exact size, so that reading past a line's
// end is caught by the address sanitizer.
usb_line::ParsedLine parse(const std::string& text) {
    std::vector<char> exact(text.begin(), text.end());
    return usb_line::parseLine(exact.empty() ? nullptr : exact.data(), exact.size());
}

// Standard output of an init (initInterface when `start`) that must throw
// `Exception` with the text `what`.
template <typename Exception>
std::string initFailure(USBInterface& usb, const std::string& port, const std::string& what, bool start = false) {
    testing::internal::CaptureStdout();
    EXPECT_THAT([&] { start ? usb.initInterface(port) : usb.init(port); }, testing::ThrowsMessage<Exception>(what));
    return testing::internal::GetCapturedStdout();
}

// How the peer reports a frame: "FRAME id ext rtr dlc data".
std::string peerView(const can_frame_data& f) {
    const bool ext = (f.can_id & kExt) != 0, rtr = (f.can_id & kRtr) != 0;
    char text[64];
    int n = std::snprintf(text, sizeof text, "FRAME %X %d %d %u ", f.can_id & (ext ? 0x1FFFFFFFu : 0x7FFu), ext, rtr,
                          unsigned{f.can_dlc});
    for (int i = 0; !rtr && i < f.can_dlc; ++i)
        n += std::snprintf(text + n, sizeof text - n, "%02X", unsigned{f.data[i]});
    return std::string(text) + (rtr || f.can_dlc == 0 ? "-" : "");
}

// Copies bytes both ways between two pty masters until destroyed.
struct PtyBridge {
    PtyBridge(int a, int b)
        : thread([this, a, b] {
              char buf[512];
              while (!stop.load()) {
                  pollfd p[2] = {{a, POLLIN, 0}, {b, POLLIN, 0}};
                  const ssize_t n = ::poll(p, 2, 20) > 0 && (p[0].revents | p[1].revents) & POLLIN
                                        ? ::read(p[0].revents & POLLIN ? a : b, buf, sizeof buf) : -1;
                  // A side without its slave open reports a hang-up at once.
                  if (n <= 0) std::this_thread::sleep_for(Millis(5));
                  for (ssize_t done = 0, w = 0; done < n && (w >= 0 || errno == EINTR || errno == EAGAIN);
                       done += w > 0 ? w : 0)
                      w = ::write(p[0].revents & POLLIN ? b : a, buf + done, static_cast<size_t>(n - done));
              }
          }) {}
    ~PtyBridge() {
        stop.store(true);
        thread.join();
    }
    std::atomic<bool> stop{false};
    std::thread thread;
};

std::string fileText(const std::string& path) {
    std::ifstream in(path);
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace

TEST(UsbLineCodec, UntrustedAndShortLines) {
    // A 30-byte line cut by the port without CR: the characters past the frame are ignored.
    expectSameFrame(parse("T000002C68" "0102030405060708" "XYZW").frame,
                    rawFrame(kExt | 0x2C6, 8, {1, 2, 3, 4, 5, 6, 7, 8}));
    // An identifier wider than its field would spill into the frame's flags.
    EXPECT_EQ(parse("T2000000000\r").kind, LineKind::Ignored);
    EXPECT_EQ(parse("tzzz0\r").kind, LineKind::Ignored);
    EXPECT_EQ(parse("T000002C6F\r").kind, LineKind::BadLength);
    EXPECT_EQ(parse("t123z\r").kind, LineKind::BadLength);
    // Version digits are taken by position; only the first line of a buffer counts.
    const usb_line::ParsedLine p = parse("V2x7y1-0badc0de\rG7\r");
    EXPECT_EQ(std::make_tuple(p.kind, p.version.major * 100 + p.version.minor * 10 + p.version.patch, p.commit),
              std::make_tuple(LineKind::FirmwareReply, 271, "0badc0de"));

    // Every cut of a line yields nothing, and the rest after its CR is not part of it.
    for (const std::string line : {"t1232AB01", "r1230", "R000002C68" "0000000000000000", "G6", "H1.0.2",
                                   "V2.7.1-0badc0de"}) {
        ASSERT_NE(parse(line + "\r").kind, LineKind::Ignored) << line;
        for (size_t k = 0; k < line.size(); ++k) {
            EXPECT_EQ(parse(line.substr(0, k)).kind, LineKind::Ignored) << line.substr(0, k);
            EXPECT_EQ(parse(line.substr(0, k) + "\r" + line.substr(k)).kind, LineKind::Ignored) << line.substr(0, k);
        }
    }
}

TEST(UsbInit, AcceptsOnlyListedPortsDescribedAsQuorvelOrYomluAndOpensRaw115200) {
    EXPECT_TRUE(runInPrivateDeviceTree([] {
        // Name, what the USB device tells, whether init is accepted; the last
        // is opened by the pty's own name, which is not listed.
        const std::tuple<std::string, UsbDeviceInfo, bool> cases[] = {
            {"ttyACM0", {"Quorvel", "CAN Adapter", "0001"}, true},
            {"ttyUSB1", {"Acme", "Bridge", "Yomlu7"}, true},
            {"ttyACM1", {"quorvel", "yomlu", "QUORVEL"}, false},
            {"ttyACM2", {"Quorvel", "Yomlu", "1"}, false},
        };
        for (const auto& [name, info, accepted] : cases) {
            SCOPED_TRACE(name);
            SimAdapter adapter;
            addUsbSerialDevice(name, adapter.portPath(), info);
            const std::string path = name == "ttyACM2" ? adapter.portPath() : "/dev/" + name;
            USBInterface usb;
            can_frame_data f = rawFrame(0x123, 0, {});
            if (accepted) {
                EXPECT_TRUE(usb.init(path));
                EXPECT_TRUE(usb.sendData(&f) && adapter.waitForHostLine("t1230"));
                const termios t = adapter.settings();
                EXPECT_TRUE(cfgetospeed(&t) == B115200 && cfgetispeed(&t) == B115200);
                EXPECT_EQ(t.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), tcflag_t{CS8});
                usb.closeIface();
            } else {
                EXPECT_EQ(initFailure<NoCompatibleDeviceException>(usb, path, kRefused), kNotCompatible);
            }
            EXPECT_FALSE(usb.sendData(&f)) << "the port is closed";
        }
    }));
}

// After a failed open every operation fails with its log line; a refused
// port is closed again: the same object then starts on the right one.
TEST(UsbInit, AfterAFailedOpenAndARefusedPortTheSameInterfaceStartsOnTheAdapter) {
    EXPECT_TRUE(runInPrivateDeviceTree([] {
        SimAdapter adapter;
        const std::string path = listAsYomlu(adapter);
        PtyPair foreign;
        LogCapture log;
        USBInterface usb;
        usb.setOutputLogStream(&log);
        const std::string missing =
            "IO Exception (2): No such file or directory, file include/serial/src/impl/unix, line 151.";
        EXPECT_EQ(initFailure<serial::IOException>(usb, "/dev/qt-no-such-port", missing),
                  "USB Communication Error. Please check if the selected interface /dev/qt-no-such-port is okay.\n" +
                      missing + "\n");

        can_frame_data f = rawFrame(0x123, 0, {});
        EXPECT_FALSE(usb.sendData(&f) || usb.setCANBaudRate(CAN_BAUDRATE_500K) || usb.enterDFUMode());

        // Queries give up at once when their line cannot be written.
        CANBaudRate rate = CAN_BAUDRATE_20K;
        testing::internal::CaptureStdout();
        const auto start = Clock::now();
        EXPECT_TRUE(!usb.getCANBaudRate(&rate) && rate == CAN_BAUDRATE_20K);
        EXPECT_EQ(query(usb, true) + " " + query(usb, false), "failed 9.9.9-keep failed 9.9.9");
        EXPECT_LT(secondsSince(start), 0.5);
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_EQ(log.count("Exception on USB write\n"), 6u);

        EXPECT_EQ(initFailure<NoCompatibleDeviceException>(usb, foreign.slavePath(), kRefused, true), kNotCompatible);
        EXPECT_FALSE(usb.isRunning() || log.contains("Starting receive thread..."));
        testing::internal::CaptureStdout();
        EXPECT_TRUE(usb.initInterface(path));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        EXPECT_TRUE(adapter.waitForHostLine("R02000001100")) << "master heartbeat";
        EXPECT_EQ(foreign.read(1, Millis(50)), "") << "nothing went to the refused port";
        EXPECT_TRUE(usb.closeInterface());
    }));
}

TEST(UsbLines, SplitAndBackToBackLinesInFramesAndCommandsOutByteForByte) {
    withAdapter(false, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        can_frame_data got{};
        adapter.sendRaw("T000002C6");
        std::thread rest([&] {
            std::this_thread::sleep_for(Millis(150));
            adapter.sendRaw("80102030405");
            std::this_thread::sleep_for(Millis(150));
            adapter.sendRaw("060708\r");
        });
        const auto start = Clock::now();
        EXPECT_TRUE(usb.recvData(&got));
        EXPECT_GE(secondsSince(start), 0.25);
        rest.join();
        expectSameFrame(got, rawFrame(kExt | 0x2C6, 8, {1, 2, 3, 4, 5, 6, 7, 8}));

        // In one burst: each call takes one line and no byte of the next.
        // A reused record gets all of its data bytes rewritten.
        adapter.sendRaw("t1232ab01\rG5\rR1FFFFFFF3000000\rd\rt1239\rt7FF17E\r");
        const std::optional<can_frame_data> burst[] = {rawFrame(0x123, 2, {0xAB, 0x01}), {},
                                                       rawFrame(kExt | kRtr | 0x1FFFFFFF, 3, {}), {}, {},
                                                       rawFrame(0x7FF, 1, {0x7E})};
        for (const auto& want : burst) {
            std::memset(&got, 0xEE, sizeof got);
            EXPECT_EQ(usb.recvData(&got), want.has_value());
            if (want) expectSameFrame(got, *want);
        }

        // Nothing more: false after the port's read time-out.
        const auto silentFrom = Clock::now();
        EXPECT_FALSE(usb.recvData(&got));
        EXPECT_THAT(secondsSince(silentFrom), testing::AllOf(testing::Ge(0.9), testing::Lt(3.0)));
        EXPECT_EQ(log.text(),
                  "Got CAN Baud Rate : 5\nGot DFU mode info: \n\nDLC is not proper, skipping frame parse.\n");

        // Out: frames and commands byte for byte.
        const auto send = [&](can_frame_data f) { return usb.sendData(&f); };
        const std::pair<std::function<bool()>, std::string> lines[] = {
            {[&] { return send(rawFrame(0x123, 2, {0xAB, 0x01})); }, "t1232AB01\r"},
            {[&] { return send(rawFrame(kExt | kRtr | 0x2C6, 8, {})); }, "R000002C68" + std::string(16, '0') + "\r"},
            {[&] { return send(rawFrame(kExt | 0x1FFFFFFF, 8, {0x00, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xFE})); },
             "T1FFFFFFF8001032547698BAFE\r"},
            // A data length above eight is refused: nothing of it goes out.
            {[&] { return !send(rawFrame(kExt | 0x2C6, 9, {1, 2, 3, 4, 5, 6, 7, 8})) && usb.enterDFUMode(); },
             "C\rd\r"},
            {[&] { return usb.setCANBaudRate(CAN_BAUDRATE_1M); }, "C\rS8\rO\r"},
            // No range check: the index goes out as its character.
            {[&] { return usb.setCANBaudRate(static_cast<CANBaudRate>(9)); }, "C\rS9\rO\r"},
            {[&] { return usb.saveConfiguration(); }, "C\rZ0\rO\r"},
            {[&] { return usb.eraseConfiguration(); }, "C\rZ1\rO\r"},
            {[&] { return usb.rebootYomlu(); }, "C\rZ2\rO\r"},
        };
        for (const auto& [call, bytes] : lines) {
            adapter.clearHostLines();
            EXPECT_TRUE(call());
            waitUntil([&] { return adapter.hostBytes().size() >= bytes.size(); });
            EXPECT_EQ(adapter.hostBytes(), bytes);
        }
    });
}

// A query takes only a reply line of its own kind that came after it asked:
// a stray or late reply, a bit rate, or the "d" of enterDFUMode does not
// answer it. Without an answer the outputs are left as they are.
TEST(UsbQueries, EachTakesOnlyALaterReplyOfItsOwnKindAlsoFromTwoThreads) {
    withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        CANBaudRate rate = CAN_BAUDRATE_10K;
        EXPECT_TRUE(usb.getCANBaudRate(&rate) && rate == CAN_BAUDRATE_500K);
        EXPECT_EQ(query(usb, true), "2.3.4-1a2b3c4d");
        EXPECT_TRUE(log.contains("Got version info: 2.3.4--1a2b3c4d\n"));

        auto ask = [&](bool firmware) { return std::async(std::launch::async, query, std::ref(usb), firmware); };
        // The "H" answer comes late; other replies come first.
        adapter.setHardwareReply("H3.4.5");
        adapter.setReplyDelay(Millis(300));
        auto slow = ask(false);
        ASSERT_TRUE(adapter.waitForHostLine("H"));
        adapter.sendRaw("V7.7.7-deadbeef\rG3\rd\r");
        EXPECT_EQ(slow.get(), "3.4.5");

        // A silent adapter (old firmware); a stray "H" came before the query.
        // The heartbeat behind it is routed only once the stray reply has been
        // stored completely; the reply's own log line comes before that.
        adapter.setReplyDelay(Millis(0));
        adapter.setAnswering(false);
        adapter.sendRaw("H7.7.7\r");
        adapter.bus().inject(heartbeatFrame(9));
        ASSERT_TRUE(waitUntil([&] { return usb.isDeviceConnected(9); }));
        EXPECT_TRUE(log.contains("Got hardware version info: 7.7.7\n"));
        testing::internal::CaptureStdout();
        const auto start = Clock::now();
        auto silent = ask(false);
        ASSERT_TRUE(adapter.waitForHostLine("H", 2));
        EXPECT_TRUE(usb.enterDFUMode());
        adapter.sendRaw("V7.7.7-deadbeef\rG3\r");
        EXPECT_EQ(silent.get(), "failed 9.9.9");
        EXPECT_THAT(secondsSince(start), testing::AllOf(testing::Ge(0.95), testing::Lt(3.0)));
        EXPECT_EQ(testing::internal::GetCapturedStdout(),
                  "API Timeout Error. Make sure your Yomlu is updated to the latest firmware.\n");

        // Queries from two threads each get their own reply. Slow replies: a
        // second query started meanwhile must not take the first one's answer.
        adapter.setAnswering(true);
        adapter.setReplyDelay(Millis(60));
        for (const std::string r : {"0", "1", "2", "3"}) {
            adapter.setHardwareReply("H1." + r + ".2");
            adapter.setFirmwareReply("V5." + r + ".6-abcdefgh");
            auto hardware = ask(false), firmware = ask(true);
            EXPECT_EQ(hardware.get() + " " + firmware.get(), "1." + r + ".2 5." + r + ".6-abcdefgh");
        }
    });
}

TEST(UsbBus, StopsWithinAboutASecondStartsAgainWithItsCallbacksAndOutlivesAnUnplug) {
    std::atomic<int> newType{-1}, lostId{-1};
    withAdapter(true, [&](SimAdapter& adapter, USBInterface& usb, LogCapture& log) {
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            // Nothing comes from the bus: the receive thread sits in its read.
            const auto closing = Clock::now();
            EXPECT_TRUE(usb.closeInterface());
            EXPECT_LT(secondsSince(closing), 2.5);
            EXPECT_FALSE(usb.isRunning());
            adapter.clearHostLines();

            ASSERT_TRUE(usb.initInterface(
                "/dev/ttyACM0", [&](unsigned, unsigned char type) { newType = type; },
                [&](unsigned id) { lostId = static_cast<int>(id); }));
            EXPECT_TRUE(waitUntil([&] { return usb.isRunning(); }));
            EXPECT_TRUE(adapter.waitForHostLine("R02000001100"));
            EXPECT_EQ(query(usb, false), "1.0.2");
        }
        // The callbacks given at the restart: a device heard once through the
        // adapter, then lost in its silence. (Drivers through the adapter:
        // the read stress test.)
        adapter.bus().inject(heartbeatFrame(5, 3));
        ASSERT_TRUE(waitUntil([&] { return newType.load() == 3; }));
        EXPECT_TRUE(waitUntil([&] { return lostId.load() == 5; }, Millis(4000)));

        // Unplugged: the receive thread neither crashes nor spins, and close returns.
        adapter.unplug();
        std::this_thread::sleep_for(Millis(300));
        log.clear();
        const double cpuBefore = static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
        const auto start = Clock::now();
        std::this_thread::sleep_for(Millis(1000));
        const double cpu = static_cast<double>(std::clock()) / CLOCKS_PER_SEC - cpuBefore;
        const double wall = secondsSince(start);
        // A spinning receive loop would burn a whole core.
        EXPECT_LT(cpu, 0.3 * wall) << "cpu " << cpu << " s in " << wall << " s";
        EXPECT_THAT(log.count("Error during USB read.\n"), testing::AllOf(testing::Ge(1u), testing::Lt(200u)));
        // Heartbeats cannot go out any more.
        EXPECT_TRUE(waitUntil([&] { return !usb.isRunning(); }));
        EXPECT_TRUE(log.waitFor("Exception on USB write\n"));

        const auto closing = Clock::now();
        EXPECT_TRUE(usb.closeInterface());
        EXPECT_LT(secondsSince(closing), 3.0);
    });
}

// A log stream that throws ends the receive thread (the bad-length line is
// logged outside any handler): closeInterface throws that, while the
// destructor logs it and returns.
TEST(UsbBus, AThreadEndedByAnExceptionReachesCloseButNotTheDestructor) {
    EXPECT_TRUE(runInPrivateDeviceTree([] {
        SimAdapter adapter;
        const std::string path = listAsYomlu(adapter);
        LogCapture log;
        const auto failReceiveThread = [&](USBInterface& usb) {
            ThrowingStream failing;
            ASSERT_TRUE(usb.initInterface(path));
            usb.setOutputLogStream(&failing);
            adapter.sendRaw("t1239\r");
            ASSERT_TRUE(waitUntil([&] { return failing.written(); }));
            usb.setOutputLogStream(&log);
        };
        {
            USBInterface usb;
            failReceiveThread(usb);
            EXPECT_THROW(usb.closeInterface(), std::ios_base::failure);
            EXPECT_TRUE(usb.closeInterface());
            failReceiveThread(usb);
        }
        EXPECT_TRUE(log.contains("Exception while closing the interface: ")) << log.text();
    }));
}

// Cross-check of the adapter line protocol against an independent peer:
// python-can's slcan bus (Debian's python3-can, run with /usr/bin/python3)
// on a second pseudo-terminal, bridged byte for byte to the one the library
// opened. Frames the library writes must decode in python-can unchanged, and
// frames python-can writes must come out of recvData unchanged.
TEST(UsbPythonCan, FramesCrossBothWaysUnchanged) {
    // setup.sh installs it; a missing peer must not pass silently.
    ASSERT_EQ(std::system("/usr/bin/python3 -c 'import can, serial' >/dev/null 2>&1"), 0)
        << "/usr/bin/python3 with python3-can is needed (run ./setup.sh)";
    EXPECT_TRUE(runInPrivateDeviceTree([&] {
        // The library on one pty, python-can on another, bridged.
        PtyPair ours, theirs;
        ours.makeRaw();
        theirs.makeRaw();
        addUsbSerialDevice("ttyACM0", ours.slavePath(), {"Quorvel", "Yomlu", "1"});
        PtyBridge bridge(ours.masterFd(), theirs.masterFd());
        USBInterface usb;
        ASSERT_TRUE(usb.init("/dev/ttyACM0"));

        // The peer takes commands on its standard input and answers into `out`;
        // it ends at the end of its input.
        const std::string here = __FILE__, out = "/tmp/qt-python-can-" + std::to_string(::getpid()) + ".out";
        const std::string command = "/usr/bin/python3 " + here.substr(0, here.rfind('/')) + "/usb_python_can_peer.py " +
                                    theirs.slavePath() + " >" + out;
        std::unique_ptr<FILE, int (*)(FILE*)> peer(::popen(command.c_str(), "w"), ::pclose);
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(waitUntil([&] { return fileText(out) == "READY\n"; }, Millis(10000)));

        const std::vector<can_frame_data> frames = {
            rawFrame(0x123, 2, {0xAB, 0x01}), rawFrame(0x000, 0, {}),
            rawFrame(kExt | 0x1FFFFFFF, 8, {0x00, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xFE}),
            rawFrame(kExt | kRtr | 0x2C6, 0, {}), rawFrame(kRtr | 0x321, 0, {})};
        // Remote requests with a length carry data digits; python-can skips them.
        std::vector<can_frame_data> written = frames;
        written.insert(written.end(), {rawFrame(kExt | kRtr | 0x2C6, 8, {}), rawFrame(kRtr | 0x456, 4, {1, 2, 3, 4})});
        std::string commands = "recv " + std::to_string(written.size()) + "\n", expected = "READY\n";
        for (can_frame_data f : written) {
            ASSERT_TRUE(usb.sendData(&f));
            expected += peerView(f) + "\n";
        }
        // python-can writes a remote request of length 4 as "r1234" with no
        // data digits; the adapter's lines always carry them, so this line is
        // too short to trust and yields nothing, like python-can's own "O"
        // (open) line before it. The frames after it are read whole.
        commands += "send" + peerView(rawFrame(kRtr | 0x123, 4, {})).substr(5) + "\n";
        for (const can_frame_data& f : frames) commands += "send" + peerView(f).substr(5) + "\n";
        for (size_t i = 0; i <= frames.size(); ++i) expected += "SENT\n";
        ASSERT_TRUE(std::fputs(commands.c_str(), peer.get()) >= 0 && std::fflush(peer.get()) == 0);

        std::vector<can_frame_data> got;
        for (auto end = Clock::now() + std::chrono::seconds(10); got.size() < frames.size() && Clock::now() < end;) {
            can_frame_data f;
            std::memset(&f, 0xA5, sizeof f);
            if (usb.recvData(&f)) got.push_back(f);
        }
        peer.reset();
        EXPECT_EQ(fileText(out), expected);
        ::unlink(out.c_str());
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) expectSameFrame(got[i], frames[i]);
    }));
}
