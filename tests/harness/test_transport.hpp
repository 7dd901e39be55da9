#ifndef QT_TESTS_TEST_TRANSPORT_HPP
#define QT_TESTS_TEST_TRANSPORT_HPP

// An in-process bus for tests: an Interface whose transport records every
// frame sent, lets the test (or simulated devices) inject received frames,
// and fails on demand. A scheduler thread delivers delayed frames and runs
// periodic jobs (simulated heartbeats) on a steady clock.

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <iterator>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "quorvel_transport/interface.hpp"

namespace qt_test {

using Millis = std::chrono::milliseconds;
using FramePredicate = std::function<bool(const can_frame_data&)>;

// An extended frame of the device protocol, device type and flags as given.
can_frame_data makeFrame(uint32_t nodeId, uint8_t cmdId, const std::vector<uint8_t>& data = {}, uint8_t dlc = 8,
                         bool rtr = false, uint8_t deviceType = 0);
inline can_frame_data heartbeatFrame(uint32_t nodeId, uint8_t deviceType = 0) {
    return makeFrame(nodeId, 1, {}, 8, false, deviceType);
}
inline bool isMasterHeartbeat(const can_frame_data& frame) { return frame.can_id == (0xC2000000u | 1u); }
std::string describe(const can_frame_data& frame);

// A frame from a whole identifier (flag bits included), as any transport
// carries it. Data past eight bytes is dropped; the length stays as given so
// that bad lengths can be built too. The two forms differ in arity so that a
// braced data list never binds to the length.
can_frame_data rawFrame(uint32_t canId, uint8_t dlc, const std::vector<uint8_t>& data);
// Length = the number of data bytes.
inline can_frame_data rawFrame(uint32_t canId, const std::vector<uint8_t>& data) {
    return rawFrame(canId, static_cast<uint8_t>(data.size()), data);
}
// Non-fatal test failures for every field of `got` that differs from `want`:
// identifier, length and all eight data bytes.
void expectSameFrame(const can_frame_data& got, const can_frame_data& want);
std::array<uint8_t, 8> dataBytes(const can_frame_data& frame);

// Runs `f` holding `m`.
template <typename F>
auto guarded(std::mutex& m, F f) {
    std::lock_guard<std::mutex> lock(m);
    return f();
}

// Polls `done` every `period` until it holds; false when `timeout` passed
// first.
bool waitUntil(const std::function<bool()>& done, Millis timeout = Millis(3000), Millis period = Millis(5));

class TestTransport : public Interface {
    template <typename F>
    auto locked(F f) const { return guarded(mutex_, f); }

public:
    TestTransport() : scheduler_(&TestTransport::schedulerLoop, this) {}
    ~TestTransport() {
        closeInterface();
        locked([&] { schedStop_ = true; });
        schedCv_.notify_all();
        scheduler_.join();
    }

    bool init(std::string) override { return locked([&] { ++initCalls_; return initResult_; }); }
    void closeIface() override { locked([&] { ++closeCalls_; }); }
    bool sendData(can_frame_data* frame) override {
        if (!locked([&] { if (sendResult_) sent_.push_back(*frame); return sendResult_; })) return false;
        // Listeners run outside mutex_ so that they may inspect the transport.
        std::lock_guard<std::mutex> lock(listenersMutex_);
        for (auto& entry : listeners_) entry.second(*frame);
        return true;
    }
    bool recvData(can_frame_data* frame) override {
        std::unique_lock<std::mutex> lock(mutex_);
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
    // Recorded, then thrown when setRateChangeThrows(true).
    bool setCANBaudRate(CANBaudRate rate) override {
        if (locked([&] { baudCalls_.push_back(rate); return rateThrows_; }))
            throw std::runtime_error("rate change failed");
        return true;
    }

    // --- failure injection
    void setInitResult(bool ok) { locked([&] { initResult_ = ok; }); }
    void setSendResult(bool ok) { locked([&] { sendResult_ = ok; }); }
    void setRateChangeThrows(bool throws) { locked([&] { rateThrows_ = throws; }); }

    // --- what was sent (in order; master heartbeats included)
    std::vector<can_frame_data> sentFrames(const FramePredicate& match = {}) const {
        std::vector<can_frame_data> out;
        std::lock_guard<std::mutex> lock(mutex_);
        std::copy_if(sent_.begin(), sent_.end(), std::back_inserter(out), [&](auto& f) { return !match || match(f); });
        return out;
    }
    // The frames device operations send: everything but the master heartbeat.
    std::vector<can_frame_data> deviceFrames() const {
        return sentFrames([](const can_frame_data& f) { return !isMasterHeartbeat(f); });
    }
    // Waits until `count` frames matching `match` have been sent; returns the
    // count-th one.
    std::optional<can_frame_data> waitForSent(const FramePredicate& match, size_t count = 1,
                                              Millis timeout = Millis(2000)) const {
        std::vector<can_frame_data> sent;
        waitUntil([&] { return (sent = sentFrames(match)).size() >= count; }, timeout, Millis(1));
        return sent.size() >= count ? std::optional<can_frame_data>(sent[count - 1]) : std::nullopt;
    }
    void clearSent() { locked([&] { sent_.clear(); }); }
    std::vector<CANBaudRate> baudRateCalls() const { return locked([&] { return baudCalls_; }); }
    int initCalls() const { return locked([&] { return initCalls_; }); }
    int closeCalls() const { return locked([&] { return closeCalls_; }); }

    // --- the receiving side
    void inject(const can_frame_data& frame) { inject(std::vector<can_frame_data>{frame}); }
    // All queued at once: the receive thread finds them together and routes
    // them back to back, like a transport that delivers frames in batches.
    void inject(const std::vector<can_frame_data>& frames) {
        locked([&] { rx_.insert(rx_.end(), frames.begin(), frames.end()); });
        rxCv_.notify_one();
    }
    void injectAfter(const can_frame_data& frame, Millis delay) {
        if (delay.count() > 0) schedule(delay, [this, frame] { inject(frame); });
        else inject(frame);
    }

    // Peers see every frame that sendData accepted, on the sending thread
    // (under the interface's send lock: they must not send through it).
    int addListener(std::function<void(const can_frame_data&)> listener) {
        std::lock_guard<std::mutex> lock(listenersMutex_);
        return listeners_.emplace(nextListener_++, std::move(listener)).first->first;
    }
    void removeListener(int id) { guarded(listenersMutex_, [&] { listeners_.erase(id); }); }

    // Runs `job` on the scheduler thread after `delay` and then every
    // `period` (once when period is zero). Returns an id for cancel().
    int schedule(Millis delay, std::function<void()> job, Millis period = Millis(0)) {
        const int id = locked([&] {
            jobs_.emplace(nextJob_, Job{std::chrono::steady_clock::now() + delay, period, std::move(job)});
            return nextJob_++;
        });
        schedCv_.notify_all();
        return id;
    }
    // After cancel returns, the job is not running and will not run.
    void cancel(int id) {
        std::unique_lock<std::mutex> lock(mutex_);
        jobs_.erase(id);
        if (std::this_thread::get_id() == scheduler_.get_id()) return;
        schedCv_.wait(lock, [&] { return runningJob_ != id; });
    }

    // Counts of recvData calls that found nothing, for spin checks.
    long idleReceives() const { return idleReceives_.load(); }

private:
    struct Job {
        std::chrono::steady_clock::time_point due;
        Millis period;
        std::function<void()> fn;
    };
    void schedulerLoop() {
        std::unique_lock<std::mutex> lock(mutex_);
        while (!schedStop_) {
            const auto now = std::chrono::steady_clock::now();
            const auto next = std::min_element(jobs_.begin(), jobs_.end(),
                                               [](auto& a, auto& b) { return a.second.due < b.second.due; });
            if (next == jobs_.end() || next->second.due > now) {
                // The conditional makes a copy: cancel() may erase the job while this waits.
                schedCv_.wait_until(lock, next == jobs_.end() ? now + std::chrono::hours(1) : next->second.due);
                continue;
            }
            runningJob_ = next->first;
            std::function<void()> fn = next->second.fn;
            if (next->second.period.count() > 0) next->second.due += next->second.period;
            else jobs_.erase(next);
            lock.unlock();
            fn();
            lock.lock();
            runningJob_ = 0;
            schedCv_.notify_all();
        }
    }

    mutable std::mutex mutex_;  // everything but the listeners
    std::vector<can_frame_data> sent_;
    std::vector<CANBaudRate> baudCalls_;
    bool initResult_ = true, sendResult_ = true, rateThrows_ = false;
    int initCalls_ = 0, closeCalls_ = 0;
    std::mutex listenersMutex_;
    std::map<int, std::function<void(const can_frame_data&)>> listeners_;
    int nextListener_ = 1;

    std::condition_variable rxCv_;
    std::deque<can_frame_data> rx_;
    std::atomic<long> idleReceives_{0};

    std::condition_variable schedCv_;
    std::map<int, Job> jobs_;
    int nextJob_ = 1, runningJob_ = 0;
    bool schedStop_ = false;
    std::thread scheduler_;
};

// Starts the interface and waits until the first master heartbeat made it
// running. False when it did not within the time-out.
inline bool startAndWaitRunning(TestTransport& bus, Millis timeout = Millis(2000)) {
    return bus.initInterface("test") && waitUntil([&] { return bus.isRunning(); }, timeout, Millis(1));
}

// Waits until the interface lists the node as connected (its heartbeat was
// seen). False when it did not within the time-out.
inline bool waitForDevice(Interface& bus, uint32_t nodeId, Millis timeout = Millis(2000)) {
    return waitUntil([&] { return bus.isDeviceConnected(nodeId); }, timeout, Millis(1));
}

// A std::ostream that collects text thread-safely, for checking log lines.
class LogCapture : private std::streambuf, public std::ostream {
public:
    LogCapture() : std::ostream(this) {}
    std::string text() const { return guarded(mutex_, [&] { return text_; }); }
    bool contains(const std::string& needle) const { return text().find(needle) != std::string::npos; }
    size_t count(const std::string& needle) const {
        const std::string t = text();
        size_t n = 0;
        for (size_t pos = t.find(needle); pos != std::string::npos; pos = t.find(needle, pos + needle.size())) ++n;
        return n;
    }
    // Waits until the text holds `needle`.
    bool waitFor(const std::string& needle, Millis timeout = Millis(2000)) const {
        return waitUntil([&] { return contains(needle); }, timeout, Millis(1));
    }
    void clear() { guarded(mutex_, [&] { text_.clear(); }); }

private:
    int overflow(int c) override {
        if (c != std::char_traits<char>::eof()) guarded(mutex_, [&] { text_ += static_cast<char>(c); });
        return std::char_traits<char>::not_eof(c);
    }
    std::streamsize xsputn(const char* s, std::streamsize n) override {
        guarded(mutex_, [&] { text_.append(s, static_cast<size_t>(n)); });
        return n;
    }
    mutable std::mutex mutex_;
    std::string text_;
};

// A stream on which every write fails and throws std::ios_base::failure, as
// a file stream with exceptions enabled does on a full disk.
class ThrowingStream : private std::streambuf, public std::ostream {
public:
    ThrowingStream() : std::ostream(this) { exceptions(std::ios::badbit); }
    // Whether a write was tried.
    bool written() const { return written_.load(); }

private:
    int overflow(int) override {
        written_.store(true);
        return std::char_traits<char>::eof();
    }
    std::streamsize xsputn(const char*, std::streamsize) override {
        written_.store(true);
        return 0;
    }
    std::atomic<bool> written_{false};
};

}  // namespace qt_test

#endif
