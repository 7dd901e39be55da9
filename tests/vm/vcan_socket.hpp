#ifndef QT_TESTS_VM_VCAN_SOCKET_HPP
#define QT_TESTS_VM_VCAN_SOCKET_HPP

// The other end of the bus in the SocketCAN tests and the benchmark: a bare
// raw CAN socket independent of the library (answering peers, sniffers, the
// bare-socket baseline), and helpers to start the library's side.

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include <linux/can.h>
#include <linux/can/raw.h>

#include "can_interface.hpp"
#include "test_transport.hpp"

namespace qt_test {

// Starts the interface on `ifname` and waits until its first master
// heartbeat went out.
inline bool startAndWaitRunning(CANInterface& bus, std::function<void(unsigned int, unsigned char)> onNewDevice = {},
                                std::function<void(unsigned int)> onDeviceLost = {},
                                const std::string& ifname = "vcan0") {
    return bus.initInterface(ifname, std::move(onNewDevice), std::move(onDeviceLost)) &&
           waitUntil([&] { return bus.isRunning(); }, std::chrono::milliseconds(3000));
}

class VcanSocket {
public:
    // Bound to the named interface; check ok().
    explicit VcanSocket(const std::string& ifname = "vcan0") {
        fd_ = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
        if (fd_ < 0) return;
        struct sockaddr_can addr {};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex(ifname.c_str()));
        if (addr.can_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~VcanSocket() {
        if (fd_ >= 0) ::close(fd_);
    }
    VcanSocket(const VcanSocket&) = delete;
    VcanSocket& operator=(const VcanSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }

    bool send(const can_frame_data& frame) {
        ssize_t n;
        do {
            n = ::send(fd_, &frame, sizeof frame, 0);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(sizeof frame);
    }

    // One frame, waiting at most `timeout`; false when none came.
    bool recv(can_frame_data& frame, std::chrono::milliseconds timeout) {
        struct pollfd pfd {fd_, POLLIN, 0};
        int r;
        do {
            r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
        } while (r < 0 && errno == EINTR);
        if (r <= 0) return false;
        ssize_t n;
        do {
            n = ::recv(fd_, &frame, sizeof frame, 0);
        } while (n < 0 && errno == EINTR);
        return n == static_cast<ssize_t>(sizeof frame);
    }

private:
    int fd_ = -1;
};

// A device on its own socket: answers every request for its node id and
// command id with a data frame of the same identifier (remote-request flag
// cleared), data length 8 and the payload that `reply` makes; with a
// heartbeat period, also sends its heartbeat (command 1) that often, the
// first one at once.
class AnsweringPeer {
public:
    using Reply = std::function<void(const can_frame_data& request, uint8_t* data)>;

    AnsweringPeer(uint32_t nodeId, uint8_t cmdId, Reply reply,
                  std::chrono::milliseconds heartbeatPeriod = std::chrono::milliseconds(0),
                  const std::string& ifname = "vcan0")
        : socket_(ifname), nodeId_(nodeId), cmdId_(cmdId), reply_(std::move(reply)), heartbeatPeriod_(heartbeatPeriod) {
        if (socket_.ok()) thread_ = std::thread([this] { run(); });
    }
    ~AnsweringPeer() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    AnsweringPeer(const AnsweringPeer&) = delete;
    AnsweringPeer& operator=(const AnsweringPeer&) = delete;

    bool ok() const { return socket_.ok(); }
    long answered() const { return answered_.load(); }
    can_frame_data lastRequest() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return lastRequest_;
    }

private:
    void run() {
        using Clock = std::chrono::steady_clock;
        const bool beats = heartbeatPeriod_.count() > 0;
        auto nextBeat = Clock::now();
        can_frame_data frame{};
        while (!stop_.load()) {
            if (beats && Clock::now() >= nextBeat) {
                can_frame_data heartbeat{};
                heartbeat.can_id = CAN_EFF_FLAG | (nodeId_ << DEVICE_ID_BIT_SHIFT) | 1u;
                heartbeat.can_dlc = 8;
                socket_.send(heartbeat);
                nextBeat += heartbeatPeriod_;
            }
            // The poll bound lets the loop beat and stop in time.
            if (!socket_.recv(frame, std::chrono::milliseconds(20))) continue;
            if (getDeviceIdFromFrame(&frame) != nodeId_ || getCommandIdFromFrame(&frame) != cmdId_) continue;
            {
                std::lock_guard<std::mutex> lock(mutex_);
                lastRequest_ = frame;
            }
            can_frame_data answer{};
            answer.can_id = frame.can_id & ~uint32_t{CAN_RTR_FLAG};
            answer.can_dlc = 8;
            reply_(frame, answer.data);
            if (socket_.send(answer)) answered_.fetch_add(1);
        }
    }

    VcanSocket socket_;
    const uint32_t nodeId_;
    const uint8_t cmdId_;
    const Reply reply_;
    const std::chrono::milliseconds heartbeatPeriod_;
    mutable std::mutex mutex_;
    can_frame_data lastRequest_{};
    std::atomic<bool> stop_{false};
    std::atomic<long> answered_{0};
    std::thread thread_;
};

}  // namespace qt_test

#endif
