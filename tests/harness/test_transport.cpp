#include "test_transport.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

namespace qt_test {

can_frame_data makeFrame(uint32_t nodeId, uint8_t cmdId, const std::vector<uint8_t>& data, uint8_t dlc, bool rtr,
                         uint8_t deviceType) {
    can_node_id id{};
    id.id_type = 1;
    id.rtr = rtr ? 1 : 0;
    id.device_type = deviceType;
    id.device_id = nodeId;
    id.cmd_id = cmdId;
    return rawFrame(setNodeIDForFrame(id), dlc, data);
}

std::string describe(const can_frame_data& frame) {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "id=%08X dlc=%u data=", frame.can_id, frame.can_dlc);
    for (int i = 0; i < 8; ++i) n += std::snprintf(buf + n, sizeof buf - n, "%02X", frame.data[i]);
    return buf;
}

can_frame_data rawFrame(uint32_t canId, uint8_t dlc, const std::vector<uint8_t>& data) {
    can_frame_data f{};
    f.can_id = canId;
    f.can_dlc = dlc;
    for (size_t i = 0; i < data.size() && i < sizeof f.data; ++i) f.data[i] = data[i];
    return f;
}

void expectSameFrame(const can_frame_data& got, const can_frame_data& want) {
    EXPECT_EQ(got.can_id, want.can_id) << std::hex << got.can_id;
    EXPECT_EQ(got.can_dlc, want.can_dlc);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(got.data[i], want.data[i]) << "data byte " << i;
}

std::array<uint8_t, 8> dataBytes(const can_frame_data& frame) {
    std::array<uint8_t, 8> bytes{};
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = frame.data[i];
    return bytes;
}

bool waitUntil(const std::function<bool()>& done, Millis timeout, Millis period) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(period);
    }
    return true;
}

TestTransport::~TestTransport() {
    closeInterface();
    {
        std::lock_guard<std::mutex> lock(schedMutex_);
        schedStop_ = true;
    }
    schedCv_.notify_all();
    scheduler_.join();
}

bool TestTransport::sendData(can_frame_data* frame) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!sendResult_) return false;
        sent_.push_back(*frame);
    }
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

std::vector<can_frame_data> TestTransport::sentFrames(const FramePredicate& match) const {
    std::vector<can_frame_data> out;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& f : sent_) {
        if (!match || match(f)) out.push_back(f);
    }
    return out;
}

std::optional<can_frame_data> TestTransport::waitForSent(const FramePredicate& match, size_t count,
                                                         Millis timeout) const {
    std::vector<can_frame_data> sent;
    waitUntil([&] { return (sent = sentFrames(match)).size() >= count; }, timeout, Millis(1));
    return sent.size() >= count ? std::optional<can_frame_data>(sent[count - 1]) : std::nullopt;
}

void TestTransport::inject(const std::vector<can_frame_data>& frames) {
    {
        std::lock_guard<std::mutex> lock(rxMutex_);
        rx_.insert(rx_.end(), frames.begin(), frames.end());
    }
    rxCv_.notify_one();
}

int TestTransport::addListener(std::function<void(const can_frame_data&)> listener) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.emplace(nextListener_, std::move(listener));
    return nextListener_++;
}

void TestTransport::removeListener(int id) {
    std::lock_guard<std::mutex> lock(listenersMutex_);
    listeners_.erase(id);
}

int TestTransport::schedule(Millis delay, std::function<void()> job, Millis period) {
    std::unique_lock<std::mutex> lock(schedMutex_);
    const int id = nextJob_++;
    jobs_.emplace(id, Job{std::chrono::steady_clock::now() + delay, period, std::move(job)});
    lock.unlock();
    schedCv_.notify_all();
    return id;
}

void TestTransport::cancel(int id) {
    std::unique_lock<std::mutex> lock(schedMutex_);
    jobs_.erase(id);
    if (std::this_thread::get_id() == scheduler_.get_id()) return;
    schedCv_.wait(lock, [&] { return runningJob_ != id; });
}

void TestTransport::schedulerLoop() {
    std::unique_lock<std::mutex> lock(schedMutex_);
    while (!schedStop_) {
        const auto next = std::min_element(jobs_.begin(), jobs_.end(),
                                           [](auto& a, auto& b) { return a.second.due < b.second.due; });
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
        runningJob_ = next->first;
        std::function<void()> fn = next->second.fn;
        if (next->second.period.count() > 0) {
            next->second.due += next->second.period;
        } else {
            jobs_.erase(next);
        }
        lock.unlock();
        fn();
        lock.lock();
        runningJob_ = 0;
        schedCv_.notify_all();
    }
}

int LogCapture::overflow(int c) {
    if (c == std::char_traits<char>::eof()) return 0;
    const char ch = static_cast<char>(c);
    xsputn(&ch, 1);
    return c;
}

std::streamsize LogCapture::xsputn(const char* s, std::streamsize n) {
    std::lock_guard<std::mutex> lock(mutex_);
    text_.append(s, static_cast<size_t>(n));
    return n;
}

size_t LogCapture::count(const std::string& needle) const {
    const std::string t = text();
    size_t n = 0;
    for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + needle.size())) ++n;
    return n;
}

}  // namespace qt_test
