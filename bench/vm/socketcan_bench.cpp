// Request/reply round trips on vcan0 against one answering peer (a
// simulated driver on a raw socket on its own thread), from three
// requesters: a Driver read (getBusVoltage) over a started CANInterface, a
// bare raw CAN socket, and python-can. Prints the ratios at the end. Needs
// vcan0: run it through tests/vm/run_in_vm.sh.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "quorvel_transport/can_interface.hpp"
#include "quorvel_transport/driver.hpp"
#include "test_transport.hpp"
#include "vcan_socket.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kPeerNode = 0x77;
constexpr uint8_t kReadCmd = 70;
constexpr Millis kReplyTimeout(1000);

can_frame_data readRequest() { return makeFrame(kPeerNode, kReadCmd, {}, 8, true); }

bool isReply(const can_frame_data& f) {
    return f.can_id == (CAN_EFF_FLAG | (kPeerNode << DEVICE_ID_BIT_SHIFT) | kReadCmd);
}

void BM_DriverRead(benchmark::State& state) {
    CANInterface bus;
    Driver driver(kPeerNode, &bus);
    if (!startAndWaitRunning(bus)) {
        state.SkipWithError("cannot open vcan0");
        return;
    }
    waitUntil([&] { return driver.isConnected(); }, Millis(3000));
    float voltage = 0;
    for (auto _ : state) {
        if (driver.getBusVoltage(&voltage) != RET_SUCCESS) {
            state.SkipWithError("read failed");
            break;
        }
        benchmark::DoNotOptimize(voltage);
    }
}

void BM_RawSocketRequestReply(benchmark::State& state) {
    VcanSocket socket;
    if (!socket.ok()) {
        state.SkipWithError("cannot open vcan0");
        return;
    }
    const can_frame_data request = readRequest();
    can_frame_data reply{};
    for (auto _ : state) {
        bool answered = socket.send(request);
        while (answered && socket.recv(reply, kReplyTimeout) && !isReply(reply)) {
        }
        if (!answered || !isReply(reply)) {
            state.SkipWithError("no reply");
            break;
        }
        benchmark::DoNotOptimize(reply.data[0]);
    }
}

// One python run of many round trips; its mean is the iteration time.
void BM_PythonCanRequestReply(benchmark::State& state) {
    char command[512];
    std::snprintf(command, sizeof command, "/usr/bin/python3 %s --node 0x%X --cmd %d --count %d 2>&1",
                  QT_PYTHON_RTT_SCRIPT, kPeerNode, kReadCmd, 500);
    for (auto _ : state) {
        FILE* pipe = ::popen(command, "r");
        long meanNs = -1;
        char line[256];
        while (pipe != nullptr && std::fgets(line, sizeof line, pipe) != nullptr) {
            if (std::sscanf(line, "mean_ns %ld", &meanNs) != 1) std::fputs(line, stderr);
        }
        if (pipe == nullptr || ::pclose(pipe) != 0 || meanNs <= 0) {
            state.SkipWithError("python-can run failed");
            break;
        }
        state.SetIterationTime(static_cast<double>(meanNs) * 1e-9);
    }
}

BENCHMARK(BM_DriverRead)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_RawSocketRequestReply)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_PythonCanRequestReply)->Unit(benchmark::kMicrosecond)->Iterations(1)->UseManualTime();

// Keeps each benchmark's mean real time per round trip for the ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Iteration && !run.error_occurred) {
                const std::string name = run.benchmark_name();
                micros[name.substr(0, name.find('/'))] = run.GetAdjustedRealTime();
            }
        }
    }
    RatioReporter() : ConsoleReporter(OO_Tabular) {}
    std::map<std::string, double> micros;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    // Answers with 24.5 V and beats so that the Driver sees it connected.
    AnsweringPeer peer(
        kPeerNode, kReadCmd,
        [](uint8_t* data) {
            can_frame_data f{};
            canSetSignal<float>(f, 24.5f, 0, 32, true);
            std::memcpy(data, f.data, 8);
        });
    if (!peer.ok()) {
        std::fprintf(stderr, "vcan0 missing: run this through tests/vm/run_in_vm.sh\n");
        return 1;
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();

    auto& m = reporter.micros;
    const double read = m["BM_DriverRead"];
    const double raw = m["BM_RawSocketRequestReply"];
    const double py = m["BM_PythonCanRequestReply"];
    std::printf("\nround trip on vcan0: Driver read %.1f us, bare sockets %.1f us, python-can %.1f us\n", read, raw,
                py);
    if (read > 0 && raw > 0) std::printf("Driver read / bare sockets = %.2f (goal: at most 1.3)\n", read / raw);
    if (read > 0 && py > 0) std::printf("python-can / Driver read = %.2f (goal: at least 5)\n", py / read);
    return read > 0 && raw > 0 && py > 0 ? 0 : 1;
}
