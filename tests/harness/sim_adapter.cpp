#include "sim_adapter.hpp"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <stdexcept>

#include "device_tree.hpp"

namespace qt_test {

namespace {

constexpr uint32_t kExt = 1u << 31;
constexpr uint32_t kRtr = 1u << 30;
// Longer than any line either side writes: a line without CR is garbage.
constexpr size_t kMaxPending = 64;
constexpr int kPollMs = 20;

int upperHexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Strict parse of a frame line without its CR: upper-case digits, exact
// length, 11-bit standard and 29-bit extended identifiers.
std::optional<can_frame_data> parseAdapterFrameLine(const std::string& line) {
    if (line.empty()) return std::nullopt;
    const char kind = line[0];
    const bool ext = kind == 'T' || kind == 'R';
    const bool rtr = kind == 'r' || kind == 'R';
    if (!ext && kind != 't' && kind != 'r') return std::nullopt;
    const size_t idDigits = ext ? 8 : 3;
    if (line.size() < 2 + idDigits) return std::nullopt;
    for (size_t i = 1; i < line.size(); ++i) {
        if (upperHexValue(line[i]) < 0) return std::nullopt;
    }
    uint32_t id = 0;
    for (size_t i = 1; i <= idDigits; ++i) id = id * 16 + static_cast<uint32_t>(upperHexValue(line[i]));
    const int dlc = upperHexValue(line[1 + idDigits]);
    if (dlc > 8 || line.size() != 2 + idDigits + 2 * static_cast<size_t>(dlc)) return std::nullopt;
    if (id > (ext ? 0x1FFFFFFFu : 0x7FFu)) return std::nullopt;

    can_frame_data f{};
    f.can_id = id | (ext ? kExt : 0u) | (rtr ? kRtr : 0u);
    f.can_dlc = static_cast<uint8_t>(dlc);
    for (int i = 0; i < dlc; ++i) {
        const size_t at = 2 + idDigits + 2 * static_cast<size_t>(i);
        f.data[i] = static_cast<uint8_t>(upperHexValue(line[at]) * 16 + upperHexValue(line[at + 1]));
    }
    return f;
}

// A frame as the adapter writes it, CR included.
std::string adapterFrameLine(const can_frame_data& frame) {
    const bool ext = (frame.can_id & kExt) != 0;
    const bool rtr = (frame.can_id & kRtr) != 0;
    char buf[48];
    const char kind = ext ? (rtr ? 'R' : 'T') : (rtr ? 'r' : 't');
    int n = std::snprintf(buf, sizeof buf, ext ? "%c%08X%u" : "%c%03X%u", kind,
                          frame.can_id & (ext ? 0x1FFFFFFFu : 0x7FFu), unsigned{frame.can_dlc});
    for (int i = 0; i < frame.can_dlc && i < 8; ++i) {
        n += std::snprintf(buf + n, sizeof buf - static_cast<size_t>(n), "%02X", unsigned{frame.data[i]});
    }
    return std::string(buf, static_cast<size_t>(n)) + "\r";
}

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

void makeRaw(int masterFd) {
    termios t{};
    if (::tcgetattr(masterFd, &t) != 0) throw std::runtime_error("tcgetattr on a pty master");
    ::cfmakeraw(&t);
    if (::tcsetattr(masterFd, TCSANOW, &t) != 0) throw std::runtime_error("tcsetattr on a pty master");
}

std::string listAsYomlu(const SimAdapter& adapter, const std::string& name) {
    addUsbSerialDevice(name, adapter.portPath(), UsbDeviceInfo{"Quorvel", "Yomlu CAN Adapter", "Y0001"});
    return "/dev/" + name;
}

// ---------------------------------------------------------------------------

SimAdapter::SimAdapter() {
    // Like a real adapter's port, the terminal neither echoes nor translates,
    // also before the host has opened and configured it.
    makeRaw(pty_.masterFd());
    const int flags = ::fcntl(pty_.masterFd(), F_GETFL);
    if (flags == -1 || ::fcntl(pty_.masterFd(), F_SETFL, flags | O_NONBLOCK) == -1) {
        throw std::runtime_error("SimAdapter: cannot make the master non-blocking");
    }
    reader_ = std::thread(&SimAdapter::readLoop, this);
    forwarder_ = std::thread(&SimAdapter::forwardLoop, this);
}

SimAdapter::~SimAdapter() { stopThreads(); }

void SimAdapter::stopThreads() {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
    if (forwarder_.joinable()) forwarder_.join();
}

void SimAdapter::unplug() {
    stopThreads();
    pty_.closeMaster();
}

char SimAdapter::bitRateCode() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return bitRateCode_;
}

std::vector<std::string> SimAdapter::malformedLines() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return malformed_;
}

bool SimAdapter::waitForHostLine(const std::string& line, size_t count, Millis timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return linesCv_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const std::string& l : hostLines_) seen += l == line ? 1 : 0;
        return seen >= count;
    });
}

std::string SimAdapter::hostBytes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return hostBytes_;
}

void SimAdapter::clearHostLines() {
    std::lock_guard<std::mutex> lock(mutex_);
    hostLines_.clear();
    malformed_.clear();
    hostBytes_.clear();
}

void SimAdapter::writeToHost(const std::string& bytes) {
    std::lock_guard<std::mutex> lock(writeMutex_);
    if (const uint32_t rate = linkRate_.load()) {
        // The line is on the host's side once its last character has crossed.
        linkFreeAt_ = linkBusyUntil(linkFreeAt_, bytes.size(), rate);
        std::this_thread::sleep_until(linkFreeAt_);
    }
    size_t done = 0;
    while (done < bytes.size() && !stop_.load()) {
        const ssize_t n = ::write(pty_.masterFd(), bytes.data() + done, bytes.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return;  // nobody on the other side
        pollfd p{pty_.masterFd(), POLLOUT, 0};
        ::poll(&p, 1, kPollMs);
    }
}

void SimAdapter::readLoop() {
    std::string pending;
    char buf[512];
    auto linkFreeAt = std::chrono::steady_clock::time_point{};
    while (!stop_.load()) {
        if (linkRate_.load() != 0) std::this_thread::sleep_until(linkFreeAt);
        pollfd p{pty_.masterFd(), POLLIN, 0};
        const int r = ::poll(&p, 1, kPollMs);
        if (r <= 0) continue;
        // Small bites on a paced link, so that pacing follows the bytes closely.
        const size_t bite = linkRate_.load() != 0 ? 32 : sizeof buf;
        const ssize_t n = ::read(pty_.masterFd(), buf, bite);
        if (n <= 0) {
            // No slave open yet (or any more): the master reports a hang-up.
            std::this_thread::sleep_for(Millis(kPollMs));
            continue;
        }
        if (const uint32_t rate = linkRate_.load()) {
            // These bytes occupied the link for their character time.
            linkFreeAt = linkBusyUntil(linkFreeAt, static_cast<size_t>(n), rate);
        }
        pending.append(buf, static_cast<size_t>(n));
        {
            std::lock_guard<std::mutex> lock(mutex_);
            hostBytes_.append(buf, static_cast<size_t>(n));
        }
        for (size_t cr; (cr = pending.find('\r')) != std::string::npos;) {
            handleLine(pending.substr(0, cr));
            pending.erase(0, cr + 1);
        }
        if (pending.size() > kMaxPending) {
            std::lock_guard<std::mutex> lock(mutex_);
            malformed_.push_back(pending);
            pending.clear();
        }
    }
}

void SimAdapter::forwardLoop() {
    can_frame_data frame{};
    while (!stop_.load()) {
        if (bus_.recvData(&frame)) writeToHost(adapterFrameLine(frame));
    }
}

void SimAdapter::handleLine(const std::string& line) {
    const auto isOneOf = [](char c, const std::string& set) { return set.find(c) != std::string::npos; };
    std::optional<can_frame_data> frame;
    std::string answer;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        hostLines_.push_back(line);
        const char kind = line.empty() ? '\0' : line[0];
        // The argument of the two-character commands S<rate> and Z<op>.
        const char arg = line.size() == 2 ? line[1] : '\0';
        bool wellFormed = line.size() == 1 && isOneOf(kind, "COGVHd");
        if (isOneOf(kind, "tTrR")) {
            frame = parseAdapterFrameLine(line);
            wellFormed = frame.has_value();
        } else if (kind == 'S') {
            wellFormed = arg >= '0' && arg <= '8';
            if (wellFormed) bitRateCode_ = arg;
        } else if (kind == 'Z') {
            wellFormed = arg >= '0' && arg <= '2';
        } else if (wellFormed && (kind == 'd' || (answering_ && isOneOf(kind, "GVH")))) {
            answer = kind == 'G' ? std::string("G") + bitRateCode_
                     : kind == 'V' ? firmwareReply_
                     : kind == 'H' ? hardwareReply_
                                   : std::string("d");
        }
        if (!wellFormed) malformed_.push_back(line);
    }
    linesCv_.notify_all();
    if (frame) bus_.sendData(&*frame);
    if (!answer.empty()) reply(answer);
}

void SimAdapter::reply(std::string line) {
    Millis delay;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        delay = replyDelay_;
    }
    if (delay.count() > 0) std::this_thread::sleep_for(delay);
    writeToHost(line + "\r");
}

}  // namespace qt_test
