#ifndef QT_TESTS_VM_VCAN_SOCKET_HPP
#define QT_TESTS_VM_VCAN_SOCKET_HPP

// The other end of vcan0 in the SocketCAN tests and the benchmark: a bare raw
// CAN socket independent of the library, and a simulated device on one.

#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>

#include <linux/can.h>
#include <linux/can/raw.h>

#include "quorvel_transport/can_interface.hpp"
#include "test_transport.hpp"

namespace qt_test {

// Starts the interface on vcan0 and waits until its first master heartbeat
// went out.
inline bool startAndWaitRunning(CANInterface& bus) {
    return bus.initInterface("vcan0") && waitUntil([&] { return bus.isRunning(); }, Millis(3000));
}

class VcanSocket {
public:
    // Bound to vcan0; check ok().
    VcanSocket() : fd_(::socket(PF_CAN, SOCK_RAW, CAN_RAW)) {
        struct sockaddr_can addr {};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(if_nametoindex("vcan0"));
        if (fd_ >= 0 && (addr.can_ifindex == 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    ~VcanSocket() { ::close(fd_); }
    VcanSocket(const VcanSocket&) = delete;
    VcanSocket& operator=(const VcanSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    bool send(const can_frame_data& frame) { return ::send(fd_, &frame, sizeof frame, 0) == static_cast<ssize_t>(sizeof frame); }

    // One frame, waiting at most `timeout`; false when none came.
    bool recv(can_frame_data& frame, Millis timeout) {
        struct pollfd pfd {fd_, POLLIN, 0};
        return ::poll(&pfd, 1, static_cast<int>(timeout.count())) > 0 &&
               ::recv(fd_, &frame, sizeof frame, 0) == static_cast<ssize_t>(sizeof frame);
    }

private:
    int fd_;
};

// A device on its own socket: beats every 100 ms, the first at once, and
// answers every request for its node id and command id with a data frame of
// the same identifier, length 8 and the payload that `reply` writes.
class AnsweringPeer {
public:
    using Reply = std::function<void(uint8_t* data)>;

    AnsweringPeer(uint32_t nodeId, uint8_t cmdId, Reply reply)
        : nodeId_(nodeId), cmdId_(cmdId), reply_(std::move(reply)) {
        if (socket_.ok()) thread_ = std::thread([this] { run(); });
    }
    ~AnsweringPeer() {
        stop_.store(true);
        if (thread_.joinable()) thread_.join();
    }
    bool ok() const { return socket_.ok(); }

private:
    void run() {
        auto nextBeat = std::chrono::steady_clock::now();
        can_frame_data frame{};
        while (!stop_.load()) {
            if (std::chrono::steady_clock::now() >= nextBeat) {
                socket_.send(heartbeatFrame(nodeId_));
                nextBeat += Millis(100);
            }
            // The poll bound lets the loop beat and stop in time.
            if (!socket_.recv(frame, Millis(20)) || getDeviceIdFromFrame(&frame) != nodeId_ ||
                getCommandIdFromFrame(&frame) != cmdId_) {
                continue;
            }
            can_frame_data answer{};
            answer.can_id = frame.can_id & ~uint32_t{CAN_RTR_FLAG};
            answer.can_dlc = 8;
            reply_(answer.data);
            socket_.send(answer);
        }
    }

    VcanSocket socket_;
    const uint32_t nodeId_;
    const uint8_t cmdId_;
    const Reply reply_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace qt_test

#endif
