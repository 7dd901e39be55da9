// Timed reads and writes, line reads, hang-ups, signals and one reader with
// several writers, all on real pseudo-terminals.

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_pair.hpp"
#include "quorvel_transport/serial.hpp"
#include "serial_test_util.hpp"

namespace {

using namespace qt_test;
using std::chrono::milliseconds;

// Runs fn on another thread, signals that thread `signals` times `gap` apart
// (the first after `gap`), then runs `later` on this one; returns fn's result.
template <typename Fn, typename Later>
auto aside(Fn fn, Later later, int signals = 0, milliseconds gap = {}) {
    std::promise<pthread_t> self;
    auto result = std::async(std::launch::async, [&] {
        self.set_value(::pthread_self());
        return fn();
    });
    const pthread_t thread = self.get_future().get();
    for (int i = 0; i < signals; ++i) {
        std::this_thread::sleep_for(gap);
        ::pthread_kill(thread, SIGUSR1);
    }
    later();
    return result.get();
}

TEST(SerialRead, TimeoutsBoundTheWholeRead) {
    PtyPair pty;
    // Nothing arriving: 100 + 10 x 10 bytes = 200 ms.
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 100, 10, 0, 0));
    uint8_t buf[10];
    EXPECT_PRED3(within, timed([&] { EXPECT_EQ(port.read(buf, sizeof buf), 0u); }), 190, 2000);

    // The inter-byte limit bounds only single waits, not the total.
    port.setTimeout(serial::Timeout(10, 1000, 0, 0, 0));
    pty.write("ab");
    awaitInput(port, 2);
    std::string got;
    EXPECT_PRED3(within, timed([&] { EXPECT_EQ(port.read(got, 5), 2u); }), 990, 3000);
    EXPECT_EQ(got, "ab");

    // At 50 bit/s, 1000 missing bytes would take 200 s of character time;
    // the read still ends at its 300 ms total.
    port.setBaudrate(50);
    port.setTimeout(serial::Timeout::simpleTimeout(300));
    std::vector<uint8_t> bytes;
    const long elapsed = aside([&] { return timed([&] { EXPECT_EQ(port.read(bytes, 1000), 1u); }); }, [&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("x");
    });
    EXPECT_EQ(bytes, std::vector<uint8_t>{'x'});
    EXPECT_PRED3(within, elapsed, 290, 2500);
}

TEST(SerialRead, CollectsLateBytesAndAppendsExactlyWhatCame) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(3000));
    pty.write("abc");
    std::string got;
    const long elapsed = aside([&] { return timed([&] { got = port.read(size_t{6}); }); }, [&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("de");
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("fgh");
    });
    EXPECT_EQ(got, "abcdef");
    EXPECT_PRED3(within, elapsed, 150, 2500);

    // The rest stays queued; appending reads keep what the buffer held and add
    // exactly the bytes that came, none of them translated.
    const std::string binary("\0\r\n\x11\x13\x7f\xff", 7);
    pty.write(binary);
    awaitInput(port, 2 + binary.size());
    std::vector<uint8_t> bytes{9};
    EXPECT_EQ(port.read(bytes, 5), 5u);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{9, 'g', 'h', 0, '\r', '\n'}));
    // Fewer than asked: what came, and nothing beyond it in the buffer.
    port.setTimeout(serial::Timeout::simpleTimeout(100));
    std::string text = "pre";
    EXPECT_EQ(port.read(text, 10), 4u);
    EXPECT_EQ(text, "pre\x11\x13\x7f\xff");
}

TEST(SerialWrite, EveryByteGoesOut) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    std::string all(256, '\0');
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<char>(i);
    EXPECT_EQ(port.write(std::vector<uint8_t>(all.begin(), all.end())), 256u);
    EXPECT_EQ(port.write(std::string("G6\r")), 3u);
    EXPECT_EQ(pty.read(259, milliseconds(2000)), all + "G6\r");
    EXPECT_EQ(port.write(nullptr, 0), 0u);
    // A zero time-out still gets a byte out: it polls once.
    port.setTimeout(serial::Timeout(serial::Timeout::max(), 0, 0, 0, 0));
    EXPECT_EQ(port.write(std::string("k")), 1u);
    EXPECT_EQ(pty.read(1, milliseconds(1000)), "k");
}

TEST(SerialReadline, EndsOnEolOrSizeOrSilence) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(200));
    pty.write("G6\r" + std::string(40, 'q'));
    std::string line = ">";
    EXPECT_EQ(port.readline(line, 30, "\r"), 3u);
    EXPECT_EQ(line, ">G6\r");
    EXPECT_EQ(port.readline(30, "\r"), std::string(30, 'q'));
    // The rest, without an eol, ends when a byte times out.
    EXPECT_GE(timed([&] { EXPECT_EQ(port.readline(30, "\r"), std::string(10, 'q')); }), 190);

    // A multi-byte eol split across arrivals.
    pty.write("ok\r");
    EXPECT_EQ(aside([&] { return port.readline(100, "\r\n"); }, [&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("\nabc\r\n");
    }), "ok\r\n");

    // Never more than size, also when size is 0 or shorter than the eol.
    awaitInput(port, 5);
    line = "keep";
    EXPECT_EQ(port.readline(line, 0, "\r\n"), 0u);
    EXPECT_EQ(line, "keep");
    EXPECT_TRUE(port.readlines(0, "\r\n").empty());
    EXPECT_EQ(port.readline(1, "\r\n"), "a");
    EXPECT_EQ(port.readline(3, "\r\n"), "bc\r");
    EXPECT_EQ(port.readline(3, "\r\n"), "\n");
}

TEST(SerialReadline, ReadlinesSplitsLinesAndKeepsTheUnterminatedRest) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(150));
    using Lines = std::vector<std::string>;
    pty.write("a\rb\rc");
    EXPECT_EQ(port.readlines(100, "\r"), (Lines{"a\r", "b\r", "c"}));
    // The size bounds the whole call; what is left stays queued.
    pty.write("aaaa\rbbbb\r");
    awaitInput(port, 10);
    EXPECT_EQ(port.readlines(6, "\r"), (Lines{"aaaa\r", "b"}));
    EXPECT_EQ(port.available(), 4u);
    EXPECT_EQ(port.readlines(100, "\r"), (Lines{"bbb\r"}));
    // Silence from the start: no line at all.
    EXPECT_TRUE(port.readlines(100, "\r").empty());
}

TEST(SerialHangup, APeerHangingUpEndsABlockedReadWithWhatCame) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(5000));
    auto reader = std::async(std::launch::async, [&] {
        std::string got;
        port.read(got, 10);
        return got;
    });
    std::this_thread::sleep_for(milliseconds(100));
    pty.write("ab");
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = std::chrono::steady_clock::now();
    pty.closeMaster();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(4)), std::future_status::ready) << "read still blocked";
    EXPECT_EQ(reader.get(), "ab");
    EXPECT_LT(since(start), 2500);

    // Every further call ends at once, without spinning to its time-out.
    std::string what;
    EXPECT_LT(timed([&] { what = whatOf<serial::SerialException>([&] { port.readline(100, "\r"); }); }), 2500);
    EXPECT_EQ(what,
              "SerialException device reports readiness to read but returned no data (device disconnected?) failed.");
    // The multi-byte read asks for the queue length first, which the hung-up
    // terminal refuses.
    EXPECT_EQ(whatOf<serial::IOException>([&] { port.read(size_t{10}); }), ioText(493, EIO));
    EXPECT_NE(whatOf<serial::SerialException>([&] { port.write(std::string("x")); })
                  .find("device reports readiness to write but returned no data (device disconnected?) errno=" +
                        std::to_string(EIO) + " bytes_written_now= -1 bytes_written=0 length=1"),
              std::string::npos);
    EXPECT_NO_THROW(port.close());
}

std::atomic<int> g_signals{0};
void countSignal(int) { g_signals.fetch_add(1); }

class SerialSignal : public ::testing::Test {
protected:
    void SetUp() override {
        struct sigaction sa {};
        sa.sa_handler = countSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = 0;  // no SA_RESTART: every blocking call sees EINTR
        ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old_), 0);
        g_signals = 0;
    }
    void TearDown() override { ::sigaction(SIGUSR1, &old_, nullptr); }

    struct sigaction old_ {};
    PtyPair pty;
};

TEST_F(SerialSignal, ABlockedReadNeitherThrowsNorEndsEarly) {
    serial::Serial port(pty.slavePath(), 115200, readTimeout(600));
    uint8_t buf[4];
    size_t count = 1;
    const long elapsed =
        aside([&] { return timed([&] { count = port.read(buf, sizeof buf); }); }, [] {}, 5, milliseconds(60));
    EXPECT_PRED3(within, elapsed, 590, 3000);
    EXPECT_GE(g_signals.load(), 5);
    EXPECT_EQ(count, 0u);

    // Data that comes after the signals is still read.
    port.setTimeout(serial::Timeout::simpleTimeout(3000));
    g_signals = 0;
    EXPECT_EQ(aside([&] { return port.readline(100, "\r"); }, [&] { pty.write("G6\r"); }, 4, milliseconds(40)),
              "G6\r");
    EXPECT_GE(g_signals.load(), 4);
}

// Nobody reads: the write ends at its total time-out with a short count.
TEST_F(SerialSignal, ABlockedWriteKeepsItsTimeout) {
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 0, 0, 500, 0));
    size_t count = 0;
    EXPECT_PRED3(within, aside([&] { return timed([&] { count = port.write(std::string(1 << 20, 'w')); }); }, [] {}, 5,
                               milliseconds(50)),
                 490, 3000);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, size_t{1} << 20);
}

TEST(SerialThreads, OneReaderAndTwoWritersShareAPort) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(2000));
    constexpr int kLines = 200, kWrites = 40;
    constexpr size_t kChunk = 4096;
    // The device side: sends numbered lines and collects everything written.
    std::string collected;
    std::thread device([&] {
        for (int i = 0; i < kLines; ++i) pty.write("line " + std::to_string(i) + "\r");
        collected = pty.read(2 * kWrites * kChunk, std::chrono::seconds(20));
    });
    auto writer = [&](char fill) {
        for (int i = 0; i < kWrites; ++i) ASSERT_EQ(port.write(std::string(kChunk, fill)), kChunk);
    };
    std::thread a(writer, 'a'), b(writer, 'b');
    std::vector<std::string> lines;
    for (int i = 0; i < kLines; ++i) lines.push_back(port.readline(64, "\r"));
    a.join();
    b.join();
    device.join();

    for (int i = 0; i < kLines; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], "line " + std::to_string(i) + "\r");
    ASSERT_EQ(collected.size(), 2 * kWrites * kChunk);
    // Whole writes never interleave.
    for (size_t at = 0; at < collected.size(); at += kChunk) {
        EXPECT_EQ(collected.substr(at, kChunk), std::string(kChunk, collected[at])) << "write interleaved at " << at;
    }
}

}  // namespace
