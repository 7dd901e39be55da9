// Cross-check of the adapter line protocol against an independent peer:
// python-can's slcan bus (Debian's python3-can, run with /usr/bin/python3)
// on a second pseudo-terminal, bridged byte for byte to the one the library
// opened. Frames the library writes must decode in python-can unchanged, and
// frames python-can writes must come out of recvData unchanged.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <memory>
#include <sstream>

#include "device_tree.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "sim_adapter.hpp"

namespace {

using qt_test::Millis;
using qt_test::rawFrame;

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;

// How the peer reports a frame: "FRAME id ext rtr dlc data".
std::string peerView(const can_frame_data& f) {
    const bool ext = (f.can_id & kExt) != 0, rtr = (f.can_id & kRtr) != 0;
    char text[48];
    std::snprintf(text, sizeof text, "FRAME %X %d %d %u ", f.can_id & (ext ? 0x1FFFFFFFu : 0x7FFu), ext, rtr,
                  unsigned{f.can_dlc});
    std::string view = text;
    for (int i = 0; !rtr && i < f.can_dlc; ++i) {
        std::snprintf(text, sizeof text, "%02X", unsigned{f.data[i]});
        view += text;
    }
    return rtr || f.can_dlc == 0 ? view + "-" : view;
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
                  for (ssize_t done = 0, w; n > 0 && done < n; done += w > 0 ? w : 0) {
                      w = ::write(p[0].revents & POLLIN ? b : a, buf + done, static_cast<size_t>(n - done));
                      if (w < 0 && errno != EINTR && errno != EAGAIN) break;
                  }
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
    std::stringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

}  // namespace

TEST(UsbPythonCan, FramesCrossBothWaysUnchanged) {
    // setup.sh installs it; a missing peer must not pass silently.
    ASSERT_EQ(std::system("/usr/bin/python3 -c 'import can, serial' >/dev/null 2>&1"), 0)
        << "/usr/bin/python3 with python3-can is needed (run ./setup.sh)";
    EXPECT_TRUE(qt_test::runInPrivateDeviceTree([&] {
        // The library on one pty, python-can on another, bridged.
        qt_test::PtyPair ours, theirs;
        ours.makeRaw();
        theirs.makeRaw();
        qt_test::addUsbSerialDevice("ttyACM0", ours.slavePath(), {"Quorvel", "Yomlu", "1"});
        PtyBridge bridge(ours.masterFd(), theirs.masterFd());
        USBInterface usb;
        ASSERT_TRUE(usb.init("/dev/ttyACM0"));

        // The peer takes commands on its standard input and answers into `out`;
        // it ends at the end of its input.
        const std::string here = __FILE__;
        const std::string out = "/tmp/qt-python-can-" + std::to_string(::getpid()) + ".out";
        const std::string command = "/usr/bin/python3 " + here.substr(0, here.rfind('/')) +
                                    "/usb_python_can_peer.py " + theirs.slavePath() + " >" + out;
        std::unique_ptr<FILE, int (*)(FILE*)> peer(::popen(command.c_str(), "w"), ::pclose);
        ASSERT_NE(peer, nullptr);
        ASSERT_TRUE(qt_test::waitUntil([&] { return fileText(out) == "READY\n"; }, Millis(10000)));

        const std::vector<can_frame_data> frames = {
            rawFrame(0x123, 2, {0xAB, 0x01}),
            rawFrame(0x000, 0, {}),
            rawFrame(kExt | 0x1FFFFFFF, 8, {0x00, 0x10, 0x32, 0x54, 0x76, 0x98, 0xBA, 0xFE}),
            rawFrame(kExt | kRtr | 0x2C6, 0, {}),
            rawFrame(kRtr | 0x321, 0, {}),
        };
        std::vector<can_frame_data> written = frames;
        // Remote requests with a length carry data digits; python-can skips them.
        written.push_back(rawFrame(kExt | kRtr | 0x2C6, 8, {}));
        written.push_back(rawFrame(kRtr | 0x456, 4, {1, 2, 3, 4}));
        std::string commands = "recv " + std::to_string(written.size()) + "\n";
        std::string expected = "READY\n";
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
        ASSERT_GE(std::fputs(commands.c_str(), peer.get()), 0);
        ASSERT_EQ(std::fflush(peer.get()), 0);

        std::vector<can_frame_data> got;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (got.size() < frames.size() && std::chrono::steady_clock::now() < deadline) {
            can_frame_data f;
            std::memset(&f, 0xA5, sizeof f);
            if (usb.recvData(&f)) got.push_back(f);
        }
        peer.reset();
        EXPECT_EQ(fileText(out), expected);
        ::unlink(out.c_str());
        ASSERT_EQ(got.size(), frames.size());
        for (size_t i = 0; i < frames.size(); ++i) {
            SCOPED_TRACE(peerView(frames[i]));
            qt_test::expectSameFrame(got[i], frames[i]);
        }
    }));
}
