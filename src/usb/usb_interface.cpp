#include "quorvel_transport/usb_interface.hpp"

#include <chrono>
#include <condition_variable>
#include <iostream>
#include <mutex>
#include <thread>

#include "quorvel_transport/serial.hpp"
#include "usb/usb_line_codec.hpp"

namespace {

constexpr uint32_t kAdapterBaudrate = 115200;
constexpr uint32_t kPortTimeoutMs = 1000;
constexpr const char* kLineEnd = "\r";

// How long a query waits for its reply.
constexpr auto kReplyWait = std::chrono::milliseconds(1001);

// After a failed read (adapter unplugged, port closed) the port fails again
// at once; this pause keeps the receive thread from spinning on it.
constexpr auto kReadErrorPause = std::chrono::milliseconds(50);

constexpr const char* kSetBitRateLine = "C\rS%c\rO\r";
constexpr const char* kStoreLine = "C\rZ%c\rO\r";  // 0 save, 1 erase, 2 reboot
constexpr const char* kFirmwareUpdateLine = "C\rd\r";
constexpr const char* kBitRateQueryLine = "G\r";
constexpr const char* kFirmwareQueryLine = "V\r";
constexpr const char* kHardwareQueryLine = "H\r";

// Description that serial::list_ports gives the port named exactly `port`;
// empty when it is not listed.
std::string deviceDescription(const std::string& port) {
    for (const serial::PortInfo& info : serial::list_ports()) {
        if (info.device_path == port) return info.description;
    }
    return std::string();
}

}  // namespace

NoCompatibleDeviceException::NoCompatibleDeviceException() = default;
NoCompatibleDeviceException::~NoCompatibleDeviceException() = default;
const char* NoCompatibleDeviceException::what() const noexcept {
    return "No Compatible Quorvel Device found at the interface";
}

class QUORVEL_LOCAL USBInterface::USBInterfaceImpl {
public:
    USBInterfaceImpl() { lineIn.reserve(usb_line::kLineCapacity); }

    // One write of the line; the count written, 0 when the write threw.
    size_t writeLine(LogSink& log, const usb_line::LineBuffer& line, size_t length);
    bool sendCommand(LogSink& log, const char* text, char argument);
    // Sends the query line and waits for a reply line of kind `awaited`
    // that arrives after it; then runs copyOut under replyMutex. One query
    // at a time per interface.
    template <typename CopyOut>
    bool query(LogSink& log, const char* text, usb_line::LineKind awaited, CopyOut copyOut);
    // Stores a reply line's values and hands it to a query waiting for its kind.
    void storeReply(LogSink& log, const usb_line::ParsedLine& reply);

    serial::Serial serial_port;
    // Set by the receive thread, under replyMutex, when a reply of the kind
    // awaited_kind arrives; awaited_kind is Ignored while no query waits.
    bool reply_ready = false;
    usb_line::LineKind awaited_kind = usb_line::LineKind::Ignored;
    usb_line::Version fw_version;
    usb_line::Version hw_version;
    std::string fw_commit;
    uint8_t can_bitrate_code = 0;

    // Guards the reply fields, reply_ready and awaited_kind: the receive
    // thread may store a newer reply while a query copies the last one out.
    std::mutex replyMutex;
    std::condition_variable replyArrived;
    // One query at a time, so that each waits for one kind.
    std::mutex queryMutex;
    // Reused by the receive thread so that reading a line allocates nothing.
    std::string lineIn;
};

size_t USBInterface::USBInterfaceImpl::writeLine(LogSink& log, const usb_line::LineBuffer& line, size_t length) {
    try {
        return serial_port.write(reinterpret_cast<const uint8_t*>(line.data()), length);
    } catch (...) {
        log.line("Exception on USB write");
        return 0;
    }
}

bool USBInterface::USBInterfaceImpl::sendCommand(LogSink& log, const char* text, char argument) {
    usb_line::LineBuffer line;
    const size_t length = usb_line::encodeCommandLine(text, argument, line);
    return writeLine(log, line, length) != 0;
}

template <typename CopyOut>
bool USBInterface::USBInterfaceImpl::query(LogSink& log, const char* text, usb_line::LineKind awaited,
                                           CopyOut copyOut) {
    std::lock_guard<std::mutex> serialised(queryMutex);
    {
        // A reply that came before the request, or one of another kind (a
        // late answer to an earlier query, the adapter's "d"), must not
        // answer this query.
        std::lock_guard<std::mutex> lock(replyMutex);
        reply_ready = false;
        awaited_kind = awaited;
    }
    const bool sent = sendCommand(log, text, '\0');
    std::unique_lock<std::mutex> lock(replyMutex);
    const bool answered = sent && replyArrived.wait_for(lock, kReplyWait, [&] { return reply_ready; });
    awaited_kind = usb_line::LineKind::Ignored;
    if (answered) {
        copyOut();
        return true;
    }
    lock.unlock();
    if (sent) std::cout << "API Timeout Error. Make sure your Yomlu is updated to the latest firmware." << std::endl;
    return false;
}

void USBInterface::USBInterfaceImpl::storeReply(LogSink& log, const usb_line::ParsedLine& reply) {
    using usb_line::LineKind;
    const usb_line::Version& v = reply.version;
    {
        // The log line goes out before a waiting query sees its answer.
        std::lock_guard<std::mutex> lock(replyMutex);
        switch (reply.kind) {
            case LineKind::BitRateReply:
                can_bitrate_code = reply.bitRateCode;
                log.line("Got CAN Baud Rate : ", unsigned{reply.bitRateCode});
                break;
            case LineKind::HardwareReply:
                hw_version = v;
                log.line("Got hardware version info: ", unsigned{v.major}, ".", unsigned{v.minor}, ".",
                         unsigned{v.patch});
                break;
            case LineKind::FirmwareReply:
                fw_version = v;
                fw_commit = reply.commit;
                log.line("Got version info: ", unsigned{v.major}, ".", unsigned{v.minor}, ".", unsigned{v.patch},
                         "--", reply.commit);
                break;
            case LineKind::FirmwareUpdateReply: log.line("Got DFU mode info: "); break;
            default: return;
        }
        if (reply.kind != awaited_kind) return;
        reply_ready = true;
    }
    replyArrived.notify_all();
}

// ---------------------------------------------------------------------------

USBInterface::USBInterface() : usbImpl(new USBInterfaceImpl) {}

USBInterface::~USBInterface() {
    closeInterfaceNoThrow();
    delete usbImpl;
}

bool USBInterface::init(std::string port) {
    serial::Serial& sp = usbImpl->serial_port;
    sp.setPort(port);
    sp.setBaudrate(kAdapterBaudrate);
    sp.setTimeout(serial::Timeout::simpleTimeout(kPortTimeoutMs));
    try {
        sp.open();
    } catch (const std::exception& e) {
        std::cout << "USB Communication Error. Please check if the selected interface " << port << " is okay."
                  << std::endl;
        std::cout << e.what() << std::endl;
        throw;
    }
    const std::string description = deviceDescription(port);
    if (description.find("Quorvel") == std::string::npos && description.find("Yomlu") == std::string::npos) {
        std::cout << "No Compatible Quorvel Device found " << std::endl;
        // Closed, so that init can run again on this object with the right port.
        sp.close();
        throw NoCompatibleDeviceException();
    }
    if (!sp.isOpen()) {
        logSink.line("USB Serial Interface is not open or it does not exist.");
        return false;
    }
    return true;
}

void USBInterface::closeIface() { usbImpl->serial_port.close(); }

bool USBInterface::sendData(can_frame_data* frame) {
    if (frame == nullptr) return false;
    usb_line::LineBuffer line;
    const size_t length = usb_line::encodeFrameLine(*frame, line);
    if (length == 0) return false;
    return usbImpl->writeLine(logSink, line, length) != 0;
}

bool USBInterface::recvData(can_frame_data* frame) {
    if (frame == nullptr) return false;
    std::string& line = usbImpl->lineIn;
    line.clear();
    try {
        usbImpl->serial_port.readline(line, usb_line::kLineCapacity, kLineEnd);
    } catch (...) {
        logSink.line("Error during USB read.");
        line.clear();
        std::this_thread::sleep_for(kReadErrorPause);
    }
    if (line.empty()) return false;

    const usb_line::ParsedLine parsed = usb_line::parseLine(line.data(), line.size());
    switch (parsed.kind) {
        case usb_line::LineKind::Frame:
            *frame = parsed.frame;
            return true;
        case usb_line::LineKind::BadLength:
            logSink.line("\nDLC is not proper, skipping frame parse.");
            return false;
        case usb_line::LineKind::Ignored:
            return false;
        default:
            usbImpl->storeReply(logSink, parsed);
            return false;
    }
}

bool USBInterface::setCANBaudRate(CANBaudRate rate) {
    // The rate's index as one character, unchecked, as the adapter expects.
    const char code = static_cast<char>('0' + static_cast<uint8_t>(rate));
    return usbImpl->sendCommand(logSink, kSetBitRateLine, code);
}

bool USBInterface::getCANBaudRate(CANBaudRate* rate) {
    return usbImpl->query(logSink, kBitRateQueryLine, usb_line::LineKind::BitRateReply,
                          [&] { *rate = static_cast<CANBaudRate>(usbImpl->can_bitrate_code); });
}

bool USBInterface::getFirmwareVersion(unsigned char* major, unsigned char* minor, unsigned char* patch,
                                      std::string* commit) {
    return usbImpl->query(logSink, kFirmwareQueryLine, usb_line::LineKind::FirmwareReply, [&] {
        *commit = usbImpl->fw_commit;
        *major = usbImpl->fw_version.major;
        *minor = usbImpl->fw_version.minor;
        *patch = usbImpl->fw_version.patch;
    });
}

bool USBInterface::getHardwareVersion(unsigned char* major, unsigned char* minor, unsigned char* patch) {
    return usbImpl->query(logSink, kHardwareQueryLine, usb_line::LineKind::HardwareReply, [&] {
        *major = usbImpl->hw_version.major;
        *minor = usbImpl->hw_version.minor;
        *patch = usbImpl->hw_version.patch;
    });
}

bool USBInterface::enterDFUMode() {
    return usbImpl->sendCommand(logSink, kFirmwareUpdateLine, '\0');
}

bool USBInterface::saveConfiguration() {
    return usbImpl->sendCommand(logSink, kStoreLine, '0');
}

bool USBInterface::eraseConfiguration() {
    return usbImpl->sendCommand(logSink, kStoreLine, '1');
}

bool USBInterface::rebootYomlu() {
    return usbImpl->sendCommand(logSink, kStoreLine, '2');
}
