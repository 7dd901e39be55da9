#ifndef QUORVEL_TRANSPORT_INTERFACE_HPP
#define QUORVEL_TRANSPORT_INTERFACE_HPP

#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <utility>

#include "can_device_type.hpp"
#include "can_helpers.hpp"
#include "config.hpp"

// The abstract CAN bus. A started interface runs two threads of its own:
//  - the receive thread, which takes frames from the transport, keeps the
//    table of present devices (fed by their heartbeats, command 1) and hands
//    each frame to the device registered under its node id;
//  - the heartbeat thread, which sends the master heartbeat about every
//    200 ms and drops devices silent for 1001 ms or more.
//
// Callbacks: onNewDevice runs on the receive thread (before the node is in
// the connected-devices table), onDeviceLost on the heartbeat thread. No lock
// of the interface is held while either runs, so they may query the
// interface and create or destroy device objects, but must not call
// closeInterface. What either throws is logged and otherwise ignored: the
// node is entered or dropped all the same, and the threads go on.
//
// Transports implement the five pure virtual operations. The destructor is
// not virtual: destroy an interface through its transport class, whose
// destructor stops it.
class QUORVEL_API Interface {
public:
    class InterfaceImpl;

    Interface();
    ~Interface();

    Interface(const Interface&) = delete;
    Interface& operator=(const Interface&) = delete;

    virtual bool init(std::string name) = 0;
    virtual void closeIface() = 0;
    virtual bool sendData(can_frame_data* frame) = 0;
    // Fills the record with one received frame; false when none was taken.
    // Must return within a bounded time, or when wakeReceiver is called: the
    // receive thread sees the stop request only between calls.
    virtual bool recvData(can_frame_data* frame) = 0;
    virtual bool setCANBaudRate(CANBaudRate rate) = 0;
    // Called by closeInterface once the stop request is set, before it waits
    // for the threads, on the closing thread: a transport whose recvData
    // blocks until a frame comes wakes it here.
    virtual void wakeReceiver() {}

    // Opens the transport and starts both threads. False when the transport
    // could not be opened, or when the interface already runs. Exceptions of
    // the transport's init pass through.
    bool initInterface(std::string name, std::function<void(unsigned int, unsigned char)> onNewDevice = {},
                       std::function<void(unsigned int)> onDeviceLost = {});
    // Stops both threads and closes the transport; true, or throws what ended
    // a thread or what the transport's close threw. Safe to call twice. Must
    // not be called from either callback. The transports' destructors call it
    // and log instead of throwing.
    bool closeInterface();

    // Whether the latest transmission succeeded (false until the first
    // master heartbeat went out, and after closeInterface).
    bool isRunning();
    // Sends one frame under the interface's send lock; any thread.
    bool sendFrame(can_frame_data* frame);
    bool isDeviceConnected(unsigned int nodeId);
    // A copy of node id -> device type of every present node.
    std::map<unsigned int, unsigned char> getConnectedDevices();
    // Any thread, at any time; nullptr discards. The caller keeps the stream
    // alive until it is replaced or the interface is destroyed.
    void setOutputLogStream(std::ostream* stream);

    // Enters the device under its node id; a second object under the same id
    // replaces the first.
    void registerCANMsgCallback(CANDeviceType* device);
    // Removes the entry under the device's node id. Once this returns, the
    // receive thread is not calling and will not call that entry.
    void unregisterCANMsgCallback(CANDeviceType* device);

    // Switches to single-device mode (every routed frame goes to the lowest
    // registered node id) and waits up to about 500 ms for a heartbeat's node
    // id; 0xFFFFFFFF when none came.
    unsigned int setAsDevice();
    bool isDevice();

    // Set by the firmware update while a device is in its bootloader: no
    // master heartbeats, no presence drops, every frame to every device.
    std::atomic<bool> bootloaderMode{false};

protected:
    // closeInterface for the transports' destructors: an exception that ended
    // a thread, or the transport's close failing, is logged instead of
    // escaping the destructor.
    void closeInterfaceNoThrow() noexcept;

    // The interface's log stream; transports write their lines here too.
    LogSink logSink{&_ns};

private:
    friend class InterfaceImpl;

    InterfaceImpl* impl;
    std::shared_ptr<std::mutex> connected_devices_mutex;
    std::map<unsigned int, std::pair<unsigned char, std::chrono::steady_clock::time_point>> connected_devices;
};

#endif
