#include "test_transport.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>

namespace qt_test {

can_frame_data makeFrame(uint32_t nodeId, uint8_t cmdId, const std::vector<uint8_t>& data, uint8_t dlc, bool rtr,
                         uint8_t deviceType) {
    can_frame_data f{};
    can_node_id id{};
    id.id_type = 1;
    id.rtr = rtr ? 1 : 0;
    id.device_type = deviceType;
    id.device_id = nodeId;
    id.cmd_id = cmdId;
    f.can_id = setNodeIDForFrame(id);
    f.can_dlc = dlc;
    for (size_t i = 0; i < data.size() && i < 8; ++i) f.data[i] = data[i];
    return f;
}

can_frame_data heartbeatFrame(uint32_t nodeId, uint8_t deviceType) {
    return makeFrame(nodeId, 1, {}, 8, false, deviceType);
}

bool isMasterHeartbeat(const can_frame_data& frame) { return frame.can_id == (0xC2000000u | 1u); }

bool isDeviceFrame(const can_frame_data& frame) { return !isMasterHeartbeat(frame); }

std::string describe(const can_frame_data& frame) {
    char buf[96];
    int n = std::snprintf(buf, sizeof buf, "id=%08X dlc=%u data=", frame.can_id, frame.can_dlc);
    for (int i = 0; i < 8 && n < static_cast<int>(sizeof buf) - 3; ++i) {
        n += std::snprintf(buf + n, sizeof buf - n, "%02X", frame.data[i]);
    }
    return buf;
}

can_frame_data rawFrame(uint32_t canId, uint8_t dlc, const std::vector<uint8_t>& data) {
    can_frame_data f{};
    f.can_id = canId;
    f.can_dlc = dlc;
    for (size_t i = 0; i < data.size() && i < sizeof f.data; ++i) f.data[i] = data[i];
    return f;
}

can_frame_data rawFrame(uint32_t canId, const std::vector<uint8_t>& data) {
    return rawFrame(canId, static_cast<uint8_t>(data.size()), data);
}

void expectSameFrame(const can_frame_data& got, const can_frame_data& want) {
    EXPECT_EQ(got.can_id, want.can_id) << std::hex << got.can_id;
    EXPECT_EQ(got.can_dlc, want.can_dlc);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(got.data[i], want.data[i]) << "data byte " << i;
}

bool waitUntil(const std::function<bool()>& done, Millis timeout, Millis period) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

// ---------------------------------------------------------------------------

TestTransport::TestTransport() : scheduler_(&TestTransport::schedulerLoop, this) {}

TestTransport::~TestTransport() {
    closeInterface();
    {
        std::lock_guard<std::mutex> lock(schedMutex_);
        schedStop_ = true;
    }
    schedCv_.notify_all();
    scheduler_.join();
}

bool TestTransport::init(std::string) {
    std::lock_guard<std::mutex> lock(mutex_);
    ++initCalls_;
    return initResult_.load();
}

void TestTransport::closeIface() {
    std::lock_guard<std::mutex> lock(mutex_);
    ++closeCalls_;
}

bool TestTransport::sendData(can_frame_data* frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sendResult_) return false;
        sent_.push_back(*frame);
    }
    sentCv_.notify_all();
    // Listeners run outside mutex_ so that they may inspect the transport.
    std::lock_guard<std::mutex> lock(listenersMutex_);
    for (auto& entry : listeners_) entry.second(*frame);
    return true;
}

bool TestTransport::recvData(can_frame_data* frame) {
    std::unique_lock<std::mutex> lock(rxMutex_);
    // A bounded wait, like the real transports: never a spin, and the
    // receive thread still sees a stop request promptly.
    if (!rxCv_.wait_for(lock, Millis(20), [this] { return !rx_.empty(); })) {
        idleReceives_.fetch_add(1);
        return false;
    }
    *frame = rx_.front();
    rx_.pop_front();
    return true;
}

bool TestTransport::setCANBaudRate(CANBaudRate rate) {
    std::lock_guard<std::mutex> lock(mutex_);
    baudCalls_.push_back(rate);
    return baudResult_;
}

void TestTransport::setSendResult(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    sendResult_ = ok;
}

void TestTransport::setBaudRateResult(bool ok) {
    std::lock_guard<std::mutex> lock(mutex_);
    baudResult_ = ok;
}

std::vector<can_frame_data> TestTransport::sentFrames() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return sent_;
}

std::vector<can_frame_data> TestTransport::sentFrames(const FramePredicate& match) const {
    std::vector<can_frame_data> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& f : sent_) {
        if (match(f)) out.push_back(f);
    }
    return out;
}

std::optional<can_frame_data> TestTransport::waitForSent(const FramePredicate& match, size_t count,
                                                         Millis timeout) const {
    std::optional<can_frame_data> found;
    std::unique_lock<std::mutex> lock(mutex_);
    sentCv_.wait_for(lock, timeout, [&] {
        size_t seen = 0;
        for (const auto& f : sent_) {
            if (match(f) && ++seen == count) {
                found = f;
                return true;
            }
        }
        return false;
    });
    return found;
}

void TestTransport::clearSent() {
    std::lock_guard<std::mutex> lock(mutex_);
    sent_.clear();
}

std::vector<CANBaudRate> TestTransport::baudRateCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return baudCalls_;
}

int TestTransport::initCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return initCalls_;
}

int TestTransport::closeCalls() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closeCalls_;
}

void TestTransport::inject(const can_frame_data& frame) {
    {
        std::lock_guard<std::mutex> lock(rxMutex_);
        rx_.push_back(frame);
    }
    rxCv_.notify_one();
}

void TestTransport::inject(const std::vector<can_frame_data>& frames) {
    {
        std::lock_guard<std::mutex> lock(rxMutex_);
        rx_.insert(rx_.end(), frames.begin(), frames.end());
    }
    rxCv_.notify_one();
}

void TestTransport::injectAfter(const can_frame_data& frame, Millis delay) {
    if (delay.count() <= 0) {
        inject(frame);
        return;
    }
    schedule(delay, [this, frame] { inject(frame); });
}

int TestTransport::addListener(std::function<void(const can_frame_data&)> listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    const int id = nextListener_++;
    listeners_.emplace(id, std::move(listener));
    return id;
}

void TestTransport::removeListener(int id) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

int TestTransport::schedule(Millis delay, std::function<void()> job, Millis period) {
    int id;
    {
        std::lock_guard<std::mutex> lock(schedMutex_);
        id = nextJob_++;
        jobs_.emplace(id, Job{std::chrono::steady_clock::now() + delay, period, std::move(job)});
    }
    schedCv_.notify_all();
    return id;
}

void TestTransport::cancel(int id) {
    std::unique_lock<std::mutex> lock(schedMutex_);
    jobs_.erase(id);
    if (std::this_thread::get_id() == scheduler_.get_id()) return;
    schedCv_.wait(lock, [&] { return runningJob_ != id; });
}

long TestTransport::idleReceives() const { return idleReceives_.load(); }

void TestTransport::schedulerLoop() {
    std::unique_lock<std::mutex> lock(schedMutex_);
    while (!schedStop_) {
        auto next = jobs_.end();
        for (auto it = jobs_.begin(); it != jobs_.end(); ++it) {
            if (next == jobs_.end() || it->second.due < next->second.due) next = it;
        }
        if (next == jobs_.end()) {
            schedCv_.wait(lock);
            continue;
        }
        if (next->second.due > std::chrono::steady_clock::now()) {
            // A copy: cancel() may erase the job while this waits.
            const auto due = next->second.due;
            schedCv_.wait_until(lock, due);
            continue;
        }
        const int id = next->first;
        std::function<void()> fn = next->second.fn;
        if (next->second.period.count() > 0) {
            next->second.due += next->second.period;
        } else {
            jobs_.erase(next);
        }
        runningJob_ = id;
        lock.unlock();
        fn();
        lock.lock();
        runningJob_ = 0;
        schedCv_.notify_all();
    }
}

bool startAndWaitRunning(TestTransport& bus, Millis timeout) {
    return bus.initInterface("test") && waitUntil([&] { return bus.isRunning(); }, timeout, Millis(1));
}

bool waitForDevice(Interface& bus, uint32_t nodeId, Millis timeout) {
    return waitUntil([&] { return bus.isDeviceConnected(nodeId); }, timeout, Millis(1));
}

std::array<uint8_t, 8> dataBytes(const can_frame_data& frame) {
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = frame.data[i];
    return bytes;
}

// ---------------------------------------------------------------------------

LogCapture::LogCapture() : std::ostream(nullptr), buffer_(*this) { rdbuf(&buffer_); }

int LogCapture::Buffer::overflow(int c) {
    if (c == traits_type::eof()) return 0;
    const char ch = static_cast<char>(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize LogCapture::Buffer::xsputn(const char* s, std::streamsize n) {
    {
        std::lock_guard<std::mutex> lock(owner_.mutex_);
        owner_.text_.append(s, static_cast<size_t>(n));
    }
    owner_.cv_.notify_all();
    return n;
}

std::string LogCapture::text() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
}

bool LogCapture::contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }

size_t LogCapture::count(const std::string& needle) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + needle.size())) ++n;
    return n;
}

bool LogCapture::waitFor(const std::string& needle, Millis timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, [&] { return text_.find(needle) != std::string::npos; });
}

void LogCapture::clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.clear();
}

}  // namespace qt_test
