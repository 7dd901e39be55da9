#include "sim_adapter.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include "device_tree.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "usb/usb_line_codec.hpp"

namespace qt_test {

namespace {

constexpr int kPollMs = 20;

// When a link of `rate` bit/s that is busy until `busyUntil` has carried
// `bytes` more characters. A link that went idle only by our own oversleeping
// (under 2 ms) counts as busy throughout, so pacing does not lose time.
std::chrono::steady_clock::time_point linkBusyUntil(std::chrono::steady_clock::time_point busyUntil, size_t bytes,
                                                    uint32_t rate) {
    const auto now = std::chrono::steady_clock::now();
    const auto start = busyUntil + std::chrono::milliseconds(2) > now ? busyUntil : now;
    return start + std::chrono::nanoseconds(bytes * 10ull * 1000000000ull / rate);
}

}  // namespace

std::string listAsYomlu(const SimAdapter& adapter, const std::string& name) {
    addUsbSerialDevice(name, adapter.portPath(), UsbDeviceInfo{"Quorvel", "Yomlu CAN Adapter", "Y0001"});
    return "/dev/" + name;
}

void withAdapter(bool start, const AdapterBody& body, unsigned limitSeconds) {
    EXPECT_TRUE(runInPrivateDeviceTree([&] {
        SimAdapter adapter;
        LogCapture log;
        USBInterface usb;
        usb.setOutputLogStream(&log);
        const std::string path = listAsYomlu(adapter);
        ASSERT_TRUE(start ? usb.initInterface(path) : usb.init(path));
        ASSERT_TRUE(!start || waitUntil([&] { return usb.isRunning(); }));
        body(adapter, usb, log);
        EXPECT_TRUE(usb.closeInterface());
    }, limitSeconds));
}

SimAdapter::SimAdapter() {
    pty_.makeRaw();
    const int flags = ::fcntl(pty_.masterFd(), F_GETFL);
    if (flags == -1 || ::fcntl(pty_.masterFd(), F_SETFL, flags | O_NONBLOCK) == -1) {
        throw std::runtime_error("SimAdapter: cannot make the master non-blocking");
    }
    reader_ = std::thread(&SimAdapter::readLoop, this);
    forwarder_ = std::thread([this] {
        can_frame_data frame{};
        usb_line::LineBuffer line;
        while (!stop_.load()) {
            if (bus_.recvData(&frame)) writeToHost(std::string(line.data(), usb_line::encodeFrameLine(frame, line)));
        }
    });
}

void SimAdapter::stopThreads() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
    if (forwarder_.joinable()) forwarder_.join();
}

bool SimAdapter::waitForHostLine(const std::string& line, size_t count, Millis timeout) const {
    return waitUntil([&] {
        const std::string bytes = "\r" + hostBytes();
        size_t seen = 0;
        for (size_t at = 0; (at = bytes.find("\r" + line + "\r", at)) != std::string::npos; ++at) ++seen;
        return seen >= count;
    }, timeout);
}

void SimAdapter::writeToHost(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (const uint32_t rate = linkRate_.load()) {
        // The line is on the host's side once its last character has crossed.
        linkFreeAt_ = linkBusyUntil(linkFreeAt_, bytes.size(), rate);
        std::this_thread::sleep_until(linkFreeAt_);
    }
    for (size_t done = 0; done < bytes.size() && !stop_.load();) {
        const ssize_t n = ::write(pty_.masterFd(), bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;  // nobody on the other side
        done += n > 0 ? static_cast<size_t>(n) : 0;
        pollfd p{pty_.masterFd(), POLLOUT, 0};
        if (done < bytes.size()) ::poll(&p, 1, kPollMs);
    }
}

void SimAdapter::readLoop() {
    std::string pending;
    char buf[512];
    auto linkFreeAt = std::chrono::steady_clock::time_point{};
    while (!stop_.load()) {
        const uint32_t rate = linkRate_.load();
        if (rate != 0) std::this_thread::sleep_until(linkFreeAt);
        pollfd p{pty_.masterFd(), POLLIN, 0};
        if (::poll(&p, 1, kPollMs) <= 0) continue;
        // Small bites on a paced link, so that pacing follows the bytes closely.
        const ssize_t n = ::read(pty_.masterFd(), buf, rate != 0 ? 32 : sizeof buf);
        if (n <= 0) {
            // No slave open yet (or any more): the master reports a hang-up.
            std::this_thread::sleep_for(Millis(kPollMs));
            continue;
        }
        // These bytes occupied the link for their character time.
        if (rate != 0) linkFreeAt = linkBusyUntil(linkFreeAt, static_cast<size_t>(n), rate);
        pending.append(buf, static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hostBytes_.append(buf, static_cast<size_t>(n));
        }
        for (size_t cr; (cr = pending.find('\r')) != std::string::npos; pending.erase(0, cr + 1)) {
            handleLine(pending.substr(0, cr));
        }
    }
}

void SimAdapter::handleLine(const std::string& line) {
    const usb_line::ParsedLine parsed = usb_line::parseLine(line.data(), line.size());
    std::string answer;
    Millis delay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (line == "d" || (answering_ && (line == "G" || line == "V" || line == "H"))) {
            answer = line == "G" ? "G6" : line == "V" ? firmwareReply_ : line == "H" ? hardwareReply_ : "d";
        }
        delay = replyDelay_;
    }
    can_frame_data frame = parsed.frame;
    if (parsed.kind == usb_line::LineKind::Frame) bus_.sendData(&frame);
    if (answer.empty()) return;
    std::this_thread::sleep_for(delay);
    writeToHost(answer + "\r");
}

}  // namespace qt_test
