// Concurrent reads on one interface against devices that misbehave: eight
// threads, each with its own device object (two of each class), read node- and command-specific
// values while the simulated devices answer at once, late, twice, under
// another command id or not at all, and leave the bus and come back. Every
// read must return its own value or a time-out (out-parameter untouched),
// never another read's value, and never hang. Shutdown under load: the
// interface closes promptly while every thread reads and frames flood in.
//
// Short form in ctest (a few seconds); the long form, 10,000 reads a thread,
// runs with QT_STRESS_LONG=1.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <random>

#include "quorvel_transport/actuator.hpp"
#include "quorvel_transport/driver.hpp"
#include "quorvel_transport/imu.hpp"
#include "quorvel_transport/vinrel.hpp"
#include "quorvel_transport/usb_interface.hpp"
#include "sim_adapter.hpp"
#include "sim_device.hpp"

using namespace qt_test;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kThreads = 8;
constexpr uint32_t kFirstNode = 0x40;
// Written into every out-parameter before a read; exact in every field type
// and unlike every value a device sends.
constexpr double kUntouched = 7777.0;

long readsPerThread(long shortForm) {
    const char* v = std::getenv("QT_STRESS_LONG");
    return v != nullptr && *v != '\0' && *v != '0' ? 10000 : shortForm;
}

// One read of a class's table: its command id, the operation and whether the
// device sends a float. Values are (node index + 1) * 1000 + command id, + 0.5
// for floats: below 2^15, so a u32 on the wire reads back the same as an int,
// an unsigned int or the first of three shorts.
struct ReadKind {
    uint8_t cmd;
    ret_status_t (*read)(CANDeviceType&, double*);
    bool isFloat;
};

template <typename D, typename T, ret_status_t (D::*Get)(T*)>
ret_status_t readInto(CANDeviceType& device, double* out) {
    T value = static_cast<T>(kUntouched);
    const ret_status_t status = (static_cast<D&>(device).*Get)(&value);
    *out = static_cast<double>(value);
    return status;
}
// The IMU's raw reads: the first of three fields.
template <ret_status_t (IMU::*Get)(short*, short*, short*)>
ret_status_t readFirstOfThree(CANDeviceType& device, double* out) {
    short value = static_cast<short>(kUntouched), y = 0, z = 0;
    const ret_status_t status = (static_cast<IMU&>(device).*Get)(&value, &y, &z);
    *out = value;
    return status;
}

template <typename D>
constexpr ReadKind kMotorReads[] = {
    {10, readInto<D, unsigned int, &D::getNodeId>, false},
    {28, readInto<D, float, &D::getPositionControllerGain>, true},
    {70, readInto<D, float, &D::getBusVoltage>, true},
    {86, readInto<D, int, &D::getMotorEncoderRawData>, false},
};
constexpr ReadKind kVinrelReads[] = {
    {10, readInto<Vinrel, unsigned int, &Vinrel::getNodeId>, false},
    {14, readInto<Vinrel, float, &Vinrel::getZeroPosition>, true},
    {48, readInto<Vinrel, int, &Vinrel::getEncoderCount>, false},
    {50, readInto<Vinrel, float, &Vinrel::getAbsoluteAngle>, true},
};
constexpr ReadKind kImuReads[] = {
    {10, readInto<IMU, unsigned int, &IMU::getNodeId>, false},
    {33, readFirstOfThree<&IMU::getRawAccelerometerData>, false},
    {34, readFirstOfThree<&IMU::getRawGyroData>, false},
    {35, readFirstOfThree<&IMU::getRawMagnetometerData>, false},
};
constexpr size_t kKinds = 4;

// Thread i reads from a Driver, an Actuator, a Vinrel or an IMU in turn.
const ReadKind* readsOf(uint32_t node) {
    static const ReadKind* const tables[] = {kMotorReads<Driver>, kMotorReads<Actuator>, kVinrelReads, kImuReads};
    return tables[(node - kFirstNode) % 4];
}
// Destroyed through its own class (the base has no virtual destructor).
using DeviceObject = std::shared_ptr<CANDeviceType>;
template <typename D>
DeviceObject make(uint32_t node, Interface& bus) { return DeviceObject(std::make_unique<D>(node, &bus)); }
DeviceObject deviceFor(uint32_t node, Interface& bus) {
    static const decltype(&make<IMU>) makers[] = {make<Driver>, make<Actuator>, make<Vinrel>, make<IMU>};
    return makers[(node - kFirstNode) % 4](node, bus);
}

double valueOf(uint32_t node, const ReadKind& kind) {
    return (node - kFirstNode + 1) * 1000.0 + kind.cmd + (kind.isFloat ? 0.5 : 0.0);
}

SimReply replyOf(uint32_t node, const ReadKind& kind, Millis delay = Millis(0)) {
    const double v = valueOf(node, kind);
    return (kind.isFloat ? Payload().put(static_cast<float>(v)) : Payload().put(static_cast<uint32_t>(v))).reply(delay);
}

// A device that answers every read of the table, badly on purpose; away, it
// sends no heartbeats and no answers.
class Responder {
public:
    Responder(TestTransport& side, uint32_t node) : device_(side, node), rng_(node * 7919u) {
        for (size_t k = 0; k < kKinds; ++k) {
            const ReadKind& kind = readsOf(node)[k];
            device_.answer(kind.cmd, [this, &kind](const can_frame_data&) { return respond(kind); });
        }
        setPresent(true);
    }
    void setPresent(bool present) {
        present_.store(present);
        present ? device_.startHeartbeats(Millis(100)) : device_.stopHeartbeats();
    }

private:
    std::optional<SimReply> respond(const ReadKind& kind) {
        if (!present_.load()) return std::nullopt;
        const uint32_t node = device_.nodeId();
        std::lock_guard<std::mutex> lock(mutex_);
        const int roll = std::uniform_int_distribution<int>(0, 99)(rng_);
        auto millis = [&](int lo, int hi) { return Millis(std::uniform_int_distribution<int>(lo, hi)(rng_)); };
        if (roll < 70) return replyOf(node, kind);
        if (roll < 80) return replyOf(node, kind, millis(1, 200));    // up to the time-out
        if (roll < 85) return replyOf(node, kind, millis(210, 400));  // after the next request
        if (roll < 90) return std::nullopt;                            // dropped
        if (roll < 95) {                                               // duplicated
            SimReply twice = replyOf(node, kind, millis(0, 20));
            twice.copies = 2;
            return twice;
        }
        // Another command's reply, with that command's value.
        const ReadKind* reads = readsOf(node);
        const ReadKind& other = reads[(&kind - reads + 1 + rng_() % (kKinds - 1)) % kKinds];
        SimReply wrong = replyOf(node, other, millis(0, 20));
        wrong.asCommand = other.cmd;
        return wrong;
    }

    SimDevice device_;
    std::atomic<bool> present_{true};
    std::mutex mutex_;
    std::mt19937 rng_;
};

enum Outcome { Correct, TimedOut, NotConnected, NotRunning, Wrong, kOutcomes };
const char* const kOutcomeNames[] = {"correct", "time-outs", "not connected", "not running", "wrong"};

// Eight responders on the device side, eight device objects on `bus` (two
// of each class), one reading thread per device: `count` reads each, until `stop`, or until the
// interface is closed, each result judged: its own value, or a status that
// leaves the out-parameter untouched.
struct Readers {
    Readers(Interface& bus, TestTransport& side, long count) {
        for (uint32_t node = kFirstNode; node < kFirstNode + kThreads; ++node) {
            responders.push_back(std::make_unique<Responder>(side, node));
            devices.push_back(deviceFor(node, bus));
        }
        for (auto& d : devices) EXPECT_TRUE(waitForDevice(bus, d->getId(), Millis(3000)));
        for (int i = 0; i < kThreads; ++i) threads.emplace_back([this, i, count] { readLoop(i, count); });
    }

    void readLoop(int index, long count) {
        const uint32_t node = kFirstNode + index;
        std::mt19937 rng(node);
        for (long i = 0; i < count && !stop.load(); ++i) {
            const ReadKind& kind = readsOf(node)[rng() % kKinds];
            double got = 0;
            const auto start = Clock::now();
            const ret_status_t status = kind.read(*devices[index], &got);
            const long took = static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - start).count());
            for (long longest = maxMillis.load(); took > longest && !maxMillis.compare_exchange_weak(longest, took);) {}
            const Outcome o = status == RET_SUCCESS && got == valueOf(node, kind) ? Correct
                              : got != kUntouched                                 ? Wrong
                              : status == RET_TIMEOUT                             ? TimedOut
                              : status == RET_NOT_CONNECTED                       ? NotConnected
                              : status == RET_INTERFACE_NOT_RUNNING               ? NotRunning
                                                                                  : Wrong;
            ++reads, ++outcomes[o];
            EXPECT_NE(o, Wrong) << "node " << node << " command " << int(kind.cmd) << ": status " << status
                                << ", value " << got << ", expected " << valueOf(node, kind);
            if (o == NotRunning) break;  // closed
            // An absent device answers at once; pace as an application would,
            // so that its absence does not use up the thread's reads.
            if (o == NotConnected) std::this_thread::sleep_for(Millis(20));
        }
        ++finished;
    }

    bool allFinished(Millis within) { return waitUntil([&] { return finished.load() == kThreads; }, within); }

    void join(const char* name) {
        for (std::thread& t : threads) t.join();
        std::printf("stress %s: reads %ld", name, reads.load());
        for (int o = 0; o < kOutcomes; ++o) std::printf(", %s %ld", kOutcomeNames[o], outcomes[o].load());
        std::printf(", longest read %ld ms\n", maxMillis.load());
        std::fflush(stdout);
    }

    std::vector<std::unique_ptr<Responder>> responders;
    std::vector<DeviceObject> devices;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::atomic<long> reads{0}, maxMillis{0}, outcomes[kOutcomes]{};
};

// Runs `body` on an in-process bus, or through the USB adapter, whose
// private device tree ends a body still running after `limitSeconds`.
void onBus(bool usb, const std::function<void(Interface& bus, TestTransport& side)>& body,
           unsigned limitSeconds = kTreeLimitSeconds) {
    if (usb) {
        return withAdapter(true, [&](SimAdapter& sim, USBInterface& bus, LogCapture&) { body(bus, sim.bus()); },
                           limitSeconds);
    }
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    body(bus, bus);
}

// Every thread reads `count` times; meanwhile devices leave the bus for
// 1.3 s (dropped after 1 s of silence) and come back. The time limit allows
// every read its whole 200 ms time-out and a little more, so that only a hang
// reaches it, whatever the count.
void readStress(const char* name, bool usb, long count) {
    const unsigned limitSeconds = kTreeLimitSeconds + static_cast<unsigned>(count / 4);
    onBus(usb, [&](Interface& bus, TestTransport& side) {
        Readers r(bus, side, count);
        std::mt19937 rng(1);
        int departures = 0;
        while (!r.allFinished(Millis(200 + rng() % 800))) {
            Responder& leaving = *r.responders[rng() % kThreads];
            leaving.setPresent(false);
            r.allFinished(Millis(1300));
            leaving.setPresent(true);
            ++departures;
        }
        r.join(name);
        std::printf("stress %s: %d departures of a device\n", name, departures);
        EXPECT_EQ(r.reads.load(), count * kThreads);
        EXPECT_EQ(r.outcomes[NotRunning].load(), 0);
        EXPECT_GT(r.outcomes[Correct].load(), r.reads.load() / 2);
        EXPECT_GT(r.outcomes[TimedOut].load(), 0);
        // The wait is 200 ms; a read that takes far longer is stuck.
        EXPECT_LT(r.maxMillis.load(), 1000);
    }, limitSeconds);
}

// Reads run on every thread and frames flood in (replies with the right
// values, unknown commands, foreign nodes, heartbeats) when closeInterface
// is called.
void closeUnderLoad(const char* name, bool usb, Millis closeBound, Millis floodPause) {
    onBus(usb, [&](Interface& bus, TestTransport& side) {
        Readers r(bus, side, 1L << 40);
        std::atomic<bool> flooding{true};
        std::atomic<long> flooded{0};
        std::thread flood([&] {
            std::mt19937 rng(2);
            while (flooding.load()) {
                std::vector<can_frame_data> batch;
                for (int i = 0; i < 16; ++i) {
                    const uint32_t node = kFirstNode + rng() % kThreads;
                    const ReadKind& kind = readsOf(node)[rng() % kKinds];
                    const auto data = replyOf(node, kind).data;
                    batch.push_back(makeFrame(node, kind.cmd, std::vector<uint8_t>(data.begin(), data.end())));
                }
                batch.push_back(makeFrame(kFirstNode, 7, {1, 2, 3}));
                batch.push_back(makeFrame(0x3FFFF, 70, {9, 9, 9, 9}));
                batch.push_back(heartbeatFrame(kFirstNode + rng() % kThreads));
                side.inject(batch);
                flooded += static_cast<long>(batch.size());
                std::this_thread::sleep_for(floodPause);
            }
        });
        EXPECT_TRUE(waitUntil([&] { return r.reads.load() >= 50; }, Millis(10000)));
        const auto closing = Clock::now();
        EXPECT_TRUE(bus.closeInterface());
        const auto closeTook = Clock::now() - closing;
        // Reads in flight end by their time-out, later ones at once (not running,
        // or not connected once the presence table is cleared).
        std::this_thread::sleep_for(Millis(300));
        r.stop.store(true);
        EXPECT_TRUE(r.allFinished(Millis(3000))) << "a read hangs";
        flooding.store(false);
        flood.join();
        r.join(name);
        std::printf("stress %s: %ld frames flooded in, closeInterface took %ld ms\n", name, flooded.load(),
                    static_cast<long>(std::chrono::duration_cast<Millis>(closeTook).count()));
        EXPECT_LT(closeTook, closeBound);
        EXPECT_LT(r.maxMillis.load(), 1000 + closeBound.count());
    });
}

TEST(ReadStress, EightThreadsOnOneInterface) { readStress("in-process", false, readsPerThread(50)); }
TEST(ReadStress, EightThreadsThroughTheUsbAdapter) { readStress("usb adapter", true, readsPerThread(30)); }
TEST(ReadStress, CloseUnderLoad) { closeUnderLoad("close in-process", false, Millis(500), Millis(1)); }
// The adapter's port waits up to 1 s for a byte; the flood keeps it busy.
TEST(ReadStress, CloseUnderLoadThroughTheUsbAdapter) {
    closeUnderLoad("close usb adapter", true, Millis(1500), Millis(5));
}

}  // namespace
