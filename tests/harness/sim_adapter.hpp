#ifndef QT_TESTS_SIM_ADAPTER_HPP
#define QT_TESTS_SIM_ADAPTER_HPP

// A simulated Yomlu USB-to-CAN adapter on the master side of a pseudo-
// terminal; the library opens portPath() like the real adapter's port. It
// answers the queries G (always "G6"), V and H and the firmware-update
// command d, and bridges frames to bus(): frame lines from the host are sent there, where
// SimDevices see them, and the devices' frames go to the host as frame lines.
// It reuses the library's line codec, whose bytes the USB tests check
// exactly.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "device_tree.hpp"
#include "pty_pair.hpp"
#include "test_transport.hpp"

class USBInterface;

namespace qt_test {

class SimAdapter {
public:
    SimAdapter();
    ~SimAdapter() { stopThreads(); }
    SimAdapter(const SimAdapter&) = delete;
    SimAdapter& operator=(const SimAdapter&) = delete;

    const std::string& portPath() const { return pty_.slavePath(); }
    // The terminal settings the host made.
    termios settings() const { return pty_.slaveSettings(); }
    // The CAN side; sentFrames() lists the frames the host sent, in order.
    TestTransport& bus() { return bus_; }

    // Reply lines without CR; defaults "H1.0.2" and "V2.3.4-1a2b3c4d".
    void setHardwareReply(std::string line) { set(hardwareReply_, std::move(line)); }
    void setFirmwareReply(std::string line) { set(firmwareReply_, std::move(line)); }
    // A silent adapter (old firmware) answers no query.
    void setAnswering(bool answering) { set(answering_, answering); }
    void setReplyDelay(Millis delay) { set(replyDelay_, delay); }
    // Paces the link both ways to this many bit/s (10 bits a character), so
    // that the host's writes back up in the pty. 0 (default): no pacing.
    void setLinkRate(uint32_t bitsPerSecond) { linkRate_.store(bitsPerSecond); }

    // What the host wrote; clearHostLines forgets all of it.
    std::string hostBytes() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return hostBytes_;
    }
    // Waits until the host has written `line` `count` times.
    bool waitForHostLine(const std::string& line, size_t count = 1, Millis timeout = Millis(3000)) const;
    void clearHostLines() { set(hostBytes_, std::string()); }

    // Raw bytes toward the host, as they are, in one write.
    void sendRaw(const std::string& bytes) { writeToHost(bytes); }
    // Pulls the plug: stops the adapter and closes the master side.
    void unplug() {
        stopThreads();
        pty_.closeMaster();
    }

private:
    template <typename T, typename V>
    void set(T& field, V&& value) {
        std::lock_guard<std::mutex> lock(mutex_);
        field = std::forward<V>(value);
    }
    void readLoop();
    void handleLine(const std::string& line);
    void writeToHost(const std::string& bytes);
    void stopThreads();

    PtyPair pty_;
    TestTransport bus_;

    mutable std::mutex mutex_;
    std::string hostBytes_, hardwareReply_ = "H1.0.2", firmwareReply_ = "V2.3.4-1a2b3c4d";
    bool answering_ = true;
    Millis replyDelay_{0};

    std::atomic<uint32_t> linkRate_{0};
    std::mutex writeMutex_;
    std::chrono::steady_clock::time_point linkFreeAt_{};

    std::atomic<bool> stop_{false};
    std::thread reader_, forwarder_;
};

// Inside runInPrivateDeviceTree (device_tree.hpp): lists the adapter's port
// as /dev/<name>, a USB device by "Quorvel" with product "Yomlu CAN Adapter";
// returns that path.
std::string listAsYomlu(const SimAdapter& adapter, const std::string& name = "ttyACM0");

// In a private device tree: an adapter listed as /dev/ttyACM0 and an
// interface logging into `log` that has opened it (init), or started on it
// too (initInterface) when `start`. Afterwards the interface is closed.
// `limitSeconds` bounds the whole child, as in runInPrivateDeviceTree.
using AdapterBody = std::function<void(SimAdapter& adapter, USBInterface& usb, LogCapture& log)>;
void withAdapter(bool start, const AdapterBody& body, unsigned limitSeconds = kTreeLimitSeconds);

}  // namespace qt_test

#endif
