#include "quorvel_transport/can_interface.hpp"

#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include <linux/can.h>
#include <linux/can/raw.h>

static_assert(sizeof(struct can_frame) == sizeof(can_frame_data), "frame record differs from the kernel's");

namespace {
// Pace of the receive thread when it cannot block: no wake-up descriptor, or
// a socket that reports readiness but yields no frame.
constexpr int kFallbackWaitMs = 50;
}  // namespace

class QUORVEL_LOCAL CANInterface::CANInterfaceImpl {
public:
    CANInterfaceImpl() : wakeFd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
    ~CANInterfaceImpl() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    CANInterfaceImpl(const CANInterfaceImpl&) = delete;
    CANInterfaceImpl& operator=(const CANInterfaceImpl&) = delete;

    // Waits on the eventfd alone, at most `ms`; consumes a wake-up.
    void pause(int ms) const {
        struct pollfd pfd {wakeFd, POLLIN, 0};
        if (::poll(&pfd, wakeFd >= 0 ? 1 : 0, ms) > 0) drainWake();
    }
    void drainWake() const {
        uint64_t count = 0;
        while (::read(wakeFd, &count, sizeof count) < 0 && errno == EINTR) {
        }
    }

    int socketFd = -1;
    // Lives as long as the object, so that a wake-up never meets a closed or
    // reused descriptor.
    const int wakeFd;
};

CANInterface::CANInterface() : canImpl(new CANInterfaceImpl) {}

CANInterface::~CANInterface() {
    closeInterfaceNoThrow();
    delete canImpl;
}

bool CANInterface::init(std::string name) {
    logSink.line("Inside CANSocketInit()");
    closeIface();
    canImpl->socketFd = ::socket(PF_CAN, SOCK_RAW, CAN_RAW);
    if (canImpl->socketFd < 0) {
        canImpl->socketFd = -1;
        logSink.line("Cannot create socket, quitting");
        return false;
    }
    struct ifreq ifr {};
    // The kernel's name field holds 15 characters and the terminating zero;
    // a longer name would be cut to some other interface's name.
    bool linked = name.size() < sizeof(ifr.ifr_name) && name.find('\0') == std::string::npos;
    if (linked) {
        std::memcpy(ifr.ifr_name, name.c_str(), name.size() + 1);
        linked = ::ioctl(canImpl->socketFd, SIOCGIFINDEX, &ifr) == 0;
    }
    if (!linked) {
        logSink.line("Cannot link socket with interface ", name, ". Does the interface exist ?");
        return false;
    }
    struct sockaddr_can addr {};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifr.ifr_ifindex;
    if (::bind(canImpl->socketFd, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) < 0) {
        logSink.line("Unable to bind socket, quitting..");
        return false;
    }
    logSink.line("Socket create success!!");
    return true;
}

void CANInterface::closeIface() {
    if (canImpl->socketFd >= 0) {
        ::close(canImpl->socketFd);
        canImpl->socketFd = -1;
    }
}

bool CANInterface::sendData(can_frame_data* frame) {
    ssize_t n = -1;
    if (frame != nullptr && canImpl->socketFd >= 0) {
        do {
            n = ::send(canImpl->socketFd, frame, sizeof(can_frame_data), MSG_DONTWAIT);
        } while (n < 0 && errno == EINTR);
    }
    if (n != static_cast<ssize_t>(sizeof(can_frame_data))) {
        logSink.line("Problem writing frame, Is your CAN interface 'up'");
        return false;
    }
    return true;
}

bool CANInterface::recvData(can_frame_data* frame) {
    const int fd = canImpl->socketFd;
    if (fd < 0 || frame == nullptr) return false;
    can_frame_data in;
    ssize_t n = ::recv(fd, &in, sizeof in, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // An idle bus costs nothing: sleep until a frame comes or
        // wakeReceiver is called.
        struct pollfd pfds[2] = {{fd, POLLIN, 0}, {canImpl->wakeFd, POLLIN, 0}};
        const nfds_t count = canImpl->wakeFd >= 0 ? 2 : 1;
        if (::poll(pfds, count, count == 2 ? -1 : kFallbackWaitMs) <= 0) return false;
        if (count == 2 && pfds[1].revents != 0) {
            canImpl->drainWake();
            return false;
        }
        // POLLERR alone: this recv reports and clears the pending error.
        n = pfds[0].revents & POLLNVAL ? -1 : ::recv(fd, &in, sizeof in, MSG_DONTWAIT);
        if (n != static_cast<ssize_t>(sizeof in)) {
            // Readiness without a frame again and again must not spin.
            canImpl->pause(kFallbackWaitMs);
            return false;
        }
    }
    if (n != static_cast<ssize_t>(sizeof in)) return false;
    frame->can_id = in.can_id;
    frame->can_dlc = in.can_dlc;
    std::memcpy(frame->data, in.data, sizeof frame->data);
    return true;
}

void CANInterface::wakeReceiver() {
    if (canImpl->wakeFd < 0) return;
    const uint64_t one = 1;
    while (::write(canImpl->wakeFd, &one, sizeof one) < 0 && errno == EINTR) {
    }
}

bool CANInterface::setCANBaudRate(CANBaudRate) { return false; }
