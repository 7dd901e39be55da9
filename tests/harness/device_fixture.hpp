#ifndef QT_TESTS_DEVICE_FIXTURE_HPP
#define QT_TESTS_DEVICE_FIXTURE_HPP

// The set-up of a device-class test: an object of class Device on a started
// bus whose simulated device keeps it connected, one on a node that sends no
// heartbeat, and checks of exact request frames and decoded replies. Every
// class that speaks the device protocol runs its tables through it.

#include <gtest/gtest.h>

#include <tuple>
#include <type_traits>

#include "quorvel_transport/ret_status.hpp"
#include "sim_device.hpp"

namespace qt_test {

using Bytes = std::array<uint8_t, 8>;

inline Bytes floats(float a, float b) { return Payload().put(a).put(b).bytes(); }

template <typename Device>
using Operation = std::function<ret_status_t(Device&)>;

// A command's expected frame; the call's own text names the row.
template <typename Device>
struct WriteCase {
    std::string name;
    Operation<Device> call;
    uint8_t commandId, dlc;
    Bytes data;
};
#define QT_OP(call) #call, [](auto& d) { return d.call; }

// A value that differs from `value`, to start an output from.
template <typename T>
T other(T value) {
    return std::is_same_v<T, bool> ? static_cast<T>(!value) : static_cast<T>(value + 1);
}

template <typename Device>
class DeviceFixture : public ::testing::Test {
protected:
    static constexpr uint32_t kNode = 0x2A5;  // spans both identifier bytes of the node id

    void SetUp() override { ASSERT_TRUE(sim.ready()); }

    void reply(uint8_t cmd, const Bytes& data) { sim.device.answer(cmd, SimReply{data, 8, Millis(0), 1, {}}); }

    // Independent of the library's identifier code: extended flag, remote
    // flag, node id at bit 7, command id at bit 0.
    static void expectFrame(const can_frame_data& f, uint8_t cmd, bool remote, uint8_t dlc, const Bytes& data) {
        const uint32_t id = 0x80000000u | (remote ? 0x40000000u : 0u) | (kNode << 7) | cmd;
        EXPECT_EQ(std::make_tuple(f.can_id, f.can_dlc, dataBytes(f)), std::make_tuple(id, dlc, data)) << describe(f);
    }

    // Checks that `call` succeeds and sends exactly `count` frames.
    std::vector<can_frame_data> sentBy(const Operation<Device>& call, size_t count = 1) {
        sim.bus.clearSent();
        EXPECT_EQ(call(device), RET_SUCCESS);
        const auto sent = sim.bus.deviceFrames();
        EXPECT_EQ(sent.size(), count);
        return sent.size() == count ? sent : std::vector<can_frame_data>(count);
    }

    void expectWrites(const std::vector<WriteCase<Device>>& cases) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            expectFrame(sentBy(c.call)[0], c.commandId, false, c.dlc, c.data);
        }
    }

    // Reads into `got`: the absent node's object sends nothing and leaves the
    // outputs; this one sends one empty remote request of length 8.
    template <typename... T>
    void read(uint8_t cmd, ret_status_t (Device::*call)(T*...), std::tuple<T...>& got) {
        const auto run = [&](Device& d) { return std::apply([&](T&... out) { return (d.*call)(&out...); }, got); };
        const auto before = got;
        EXPECT_EQ(run(absent), RET_NOT_CONNECTED);
        EXPECT_EQ(got, before);
        sim.bus.clearSent();
        ASSERT_EQ(run(device), RET_SUCCESS);
        const auto sent = sim.bus.deviceFrames();
        ASSERT_EQ(sent.size(), 1u);
        expectFrame(sent[0], cmd, true, 8, {});
    }

    // Answers `cmd` with `data`, reads into outputs that hold other values
    // first, and compares them with `expected`.
    template <typename... T, typename... E>
    void expectDecoded(uint8_t cmd, const Bytes& data, ret_status_t (Device::*call)(T*...), E... expected) {
        static_assert(sizeof...(T) == sizeof...(E), "one expected value per output");
        SCOPED_TRACE(int(cmd));
        reply(cmd, data);
        std::tuple<T...> got{other(static_cast<T>(expected))...};
        read(cmd, call, got);
        EXPECT_EQ(got, std::tuple<T...>{static_cast<T>(expected)...});
    }

    LogCapture log;  // outlives the objects that may write to it
    SimBus sim{kNode};
    Device device{kNode, &sim.bus};
    Device absent{kNode + 1, &sim.bus};
};

}  // namespace qt_test

#endif
