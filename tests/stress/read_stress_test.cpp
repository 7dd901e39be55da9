// Concurrent reads on one interface against devices that misbehave: eight
// threads, each with its own device object, read node- and command-specific
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

#include "quorvel_transport/driver.hpp"
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
constexpr double kUntouched = 77777.0;

long readsPerThread(long shortForm) {
    const char* v = std::getenv("QT_STRESS_LONG");
    return v != nullptr && *v != '\0' && *v != '0' ? 10000 : shortForm;
}

// One read of the table: its command id and the operation. Values are
// node * 1000 + command id, + 0.5 for floats; the others are packed as a
// 32-bit integer, signed or not alike.
struct ReadKind {
    uint8_t cmd;
    ret_status_t (*read)(Driver&, double*);
    double fraction;
};

template <typename T, ret_status_t (Driver::*Get)(T*)>
ret_status_t readInto(Driver& driver, double* out) {
    T value = static_cast<T>(kUntouched);
    const ret_status_t status = (driver.*Get)(&value);
    *out = static_cast<double>(value);
    return status;
}

const ReadKind kReads[] = {
    {10, readInto<unsigned int, &Driver::getNodeId>, 0.0},
    {28, readInto<float, &Driver::getPositionControllerGain>, 0.5},
    {70, readInto<float, &Driver::getBusVoltage>, 0.5},
    {86, readInto<int, &Driver::getMotorEncoderRawData>, 0.0},
};
constexpr size_t kKinds = sizeof kReads / sizeof kReads[0];

double valueOf(uint32_t node, const ReadKind& kind) { return node * 1000.0 + kind.cmd + kind.fraction; }

SimReply replyOf(uint32_t node, const ReadKind& kind, Millis delay = Millis(0)) {
    const double v = valueOf(node, kind);
    return (kind.fraction != 0 ? Payload().put(static_cast<float>(v)) : Payload().put(static_cast<uint32_t>(v)))
        .reply(delay);
}

// A device that answers every read of the table, badly on purpose; away, it
// sends no heartbeats and no answers.
class Responder {
public:
    Responder(TestTransport& side, uint32_t node) : device_(side, node), rng_(node * 7919u) {
        for (const ReadKind& kind : kReads) {
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
        const ReadKind& other = kReads[(&kind - kReads + 1 + rng_() % (kKinds - 1)) % kKinds];
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

// Eight responders on the device side, eight drivers on `bus`, one reading
// thread per driver: `count` reads each, until `stop`, or until the
// interface is closed, each result judged: its own value, or a status that
// leaves the out-parameter untouched.
struct Readers {
    Readers(Interface& bus, TestTransport& side, long count) {
        for (uint32_t node = kFirstNode; node < kFirstNode + kThreads; ++node) {
            responders.push_back(std::make_unique<Responder>(side, node));
            drivers.push_back(std::make_unique<Driver>(node, &bus));
        }
        EXPECT_TRUE(waitUntil([&] {
            return std::all_of(drivers.begin(), drivers.end(), [](auto& d) { return d->isConnected(); });
        }));
        for (int i = 0; i < kThreads; ++i) threads.emplace_back([this, i, count] { readLoop(i, count); });
    }

    void readLoop(int index, long count) {
        const uint32_t node = kFirstNode + index;
        std::mt19937 rng(node);
        for (long i = 0; i < count && !stop.load(); ++i) {
            const ReadKind& kind = kReads[rng() % kKinds];
            double got = 0;
            const auto start = Clock::now();
            const ret_status_t status = kind.read(*drivers[index], &got);
            const long took = static_cast<long>(std::chrono::duration_cast<Millis>(Clock::now() - start).count());
            for (long longest = maxMillis.load(); took > longest && !maxMillis.compare_exchange_weak(longest, took);) {
            }
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
    std::vector<std::unique_ptr<Driver>> drivers;
    std::vector<std::thread> threads;
    std::atomic<bool> stop{false};
    std::atomic<int> finished{0};
    std::atomic<long> reads{0}, maxMillis{0}, outcomes[kOutcomes]{};
};

// Every thread reads `count` times; meanwhile devices leave the bus for
// 1.3 s (dropped after 1 s of silence) and come back.
void readStress(const char* name, Interface& bus, TestTransport& side, long count) {
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
}

// Reads run on every thread and frames flood in (replies with the right
// values, unknown commands, foreign nodes, heartbeats) when closeInterface
// is called.
void closeUnderLoad(const char* name, Interface& bus, TestTransport& side, Millis closeBound, Millis floodPause) {
    Readers r(bus, side, 1L << 40);
    std::atomic<bool> flooding{true};
    std::atomic<long> flooded{0};
    std::thread flood([&] {
        std::mt19937 rng(2);
        while (flooding.load()) {
            std::vector<can_frame_data> batch;
            for (int i = 0; i < 16; ++i) {
                const uint32_t node = kFirstNode + rng() % kThreads;
                const ReadKind& kind = kReads[rng() % kKinds];
                const SimReply reply = replyOf(node, kind);
                batch.push_back(makeFrame(node, kind.cmd, std::vector<uint8_t>(reply.data.begin(), reply.data.end())));
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
}

TEST(ReadStress, EightThreadsOnOneInterface) {
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    readStress("in-process", bus, bus, readsPerThread(50));
}

TEST(ReadStress, EightThreadsThroughTheUsbAdapter) {
    withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture&) {
        readStress("usb adapter", usb, adapter.bus(), readsPerThread(30));
    });
}

TEST(ReadStress, CloseUnderLoad) {
    TestTransport bus;
    ASSERT_TRUE(startAndWaitRunning(bus));
    closeUnderLoad("close in-process", bus, bus, Millis(500), Millis(1));
}

TEST(ReadStress, CloseUnderLoadThroughTheUsbAdapter) {
    // The adapter's port waits up to 1 s for a byte; the flood keeps it busy.
    withAdapter(true, [](SimAdapter& adapter, USBInterface& usb, LogCapture&) {
        closeUnderLoad("close usb adapter", usb, adapter.bus(), Millis(1500), Millis(5));
    });
}

}  // namespace
