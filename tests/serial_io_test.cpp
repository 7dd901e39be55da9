// Timed reads and writes, line reads, hang-ups, signals and one reader with
// several writers, all on real pseudo-terminals.

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "pty_pair.hpp"
#include "serial.hpp"
#include "serial_test_util.hpp"

namespace {

using qt_test::PtyPair;
using qt_test::ioText;
using qt_test::since;
using qt_test::whatOf;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Waits until the port holds `count` input bytes, so a read that follows
// finds them all at once.
void awaitInput(serial::Serial& port, size_t count) {
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (port.available() < count && Clock::now() < deadline) std::this_thread::sleep_for(milliseconds(2));
    ASSERT_GE(port.available(), count);
}

// ---------------------------------------------------------------- reads

TEST(SerialRead, NothingArrivingReturnsAfterTheTotalTimeout) {
    PtyPair pty;
    // 100 + 10 x 10 bytes = 200 ms.
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 100, 10, 0, 0));
    uint8_t buf[10];
    const auto start = Clock::now();
    EXPECT_EQ(port.read(buf, sizeof buf), 0u);
    const milliseconds elapsed = since(start);
    EXPECT_GE(elapsed.count(), 190);
    EXPECT_LT(elapsed.count(), 2000);
}

TEST(SerialRead, InterByteLimitBoundsOnlySingleWaits) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(10, 1000, 0, 0, 0));
    pty.write("ab");
    awaitInput(port, 2);
    std::string got;
    const auto start = Clock::now();
    EXPECT_EQ(port.read(got, 5), 2u);
    const milliseconds elapsed = since(start);
    EXPECT_EQ(got, "ab");
    EXPECT_GE(elapsed.count(), 990);
    EXPECT_LT(elapsed.count(), 3000);
}

TEST(SerialRead, CollectsBytesThatArriveLaterAndReturnsWhenComplete) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(3000));
    pty.write("abc");
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("de");
        std::this_thread::sleep_for(milliseconds(100));
        pty.write("fgh");
    });
    const auto start = Clock::now();
    EXPECT_EQ(port.read(size_t{6}), "abcdef");
    const milliseconds elapsed = since(start);
    late.join();
    EXPECT_GE(elapsed.count(), 150);
    EXPECT_LT(elapsed.count(), 2500);
    // The rest stays queued for the next read.
    EXPECT_EQ(port.read(size_t{2}), "gh");
}

TEST(SerialRead, LongReadWithoutInterByteLimitWaitsForTheRestButNotPastItsTimeout) {
    PtyPair pty;
    // At 50 bit/s, 1000 missing bytes would take 200 s of character time;
    // the read still ends at its 300 ms total.
    serial::Serial port(pty.slavePath(), 50, serial::Timeout::simpleTimeout(300));
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("x");
    });
    std::vector<uint8_t> got;
    const auto start = Clock::now();
    const size_t n = port.read(got, 1000);
    const milliseconds elapsed = since(start);
    late.join();
    EXPECT_EQ(n, 1u);
    EXPECT_EQ(got, std::vector<uint8_t>{'x'});
    EXPECT_GE(elapsed.count(), 290);
    EXPECT_LT(elapsed.count(), 2500);
}

TEST(SerialRead, ReadFormsAppendExactlyWhatCame) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(100));
    const std::string all = std::string("\0\r\n\x11\x13\x7f\xff", 7) + "tail";
    pty.write(all);
    awaitInput(port, all.size());

    std::vector<uint8_t> bytes{9, 9};
    EXPECT_EQ(port.read(bytes, 3), 3u);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{9, 9, 0, '\r', '\n'}));
    std::string text = "pre";
    EXPECT_EQ(port.read(text, 4), 4u);
    EXPECT_EQ(text, std::string("pre\x11\x13\x7f\xff"));
    uint8_t raw[8] = {};
    EXPECT_EQ(port.read(raw, 2), 2u);
    EXPECT_EQ(std::memcmp(raw, "ta", 2), 0);
    // Fewer than asked: what came, and nothing beyond it in the buffer.
    EXPECT_EQ(port.read(size_t{10}), "il");
    EXPECT_EQ(port.read(text, 0), 0u);
    EXPECT_EQ(text, std::string("pre\x11\x13\x7f\xff"));
}

// ---------------------------------------------------------------- writes

TEST(SerialWrite, EveryByteValueGoesOutUnchanged) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(1000));
    std::vector<uint8_t> all(256);
    for (size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>(i);
    EXPECT_EQ(port.write(all), 256u);
    EXPECT_EQ(port.write(std::string("G6\r")), 3u);
    const std::string got = pty.read(259, milliseconds(2000));
    EXPECT_EQ(got, std::string(all.begin(), all.end()) + "G6\r");
    EXPECT_EQ(port.write(nullptr, 0), 0u);
}

TEST(SerialWrite, StopsAtTheTotalTimeoutWhenNobodyReads) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 0, 0, 300, 0));
    const std::string big(1 << 20, 'z');
    const auto start = Clock::now();
    const size_t written = port.write(big);
    const milliseconds elapsed = since(start);
    EXPECT_GT(written, 0u);
    EXPECT_LT(written, big.size());
    EXPECT_GE(elapsed.count(), 290);
    EXPECT_LT(elapsed.count(), 3000);

    // Once drained, a zero time-out still gets a byte out: it polls once.
    pty.drain(milliseconds(100));
    serial::Timeout zero(serial::Timeout::max(), 0, 0, 0, 0);
    port.setTimeout(zero);
    EXPECT_EQ(port.write(std::string("k")), 1u);
    EXPECT_EQ(pty.read(1, milliseconds(1000)), "k");
}

// ---------------------------------------------------------------- lines

TEST(SerialReadline, EndsOnEolOrSizeOrSilence) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(200));

    pty.write("G6\rnext");
    std::string line = ">";
    EXPECT_EQ(port.readline(line, 30, "\r"), 3u);
    EXPECT_EQ(line, ">G6\r");

    // The rest, without an eol, ends when a byte times out.
    const auto start = Clock::now();
    EXPECT_EQ(port.readline(30, "\r"), "next");
    EXPECT_GE(since(start).count(), 190);

    const std::string forty(40, 'q');
    pty.write(forty);
    awaitInput(port, 40);
    EXPECT_EQ(port.readline(30, "\r"), std::string(30, 'q'));
    EXPECT_EQ(port.available(), 10u);
    EXPECT_EQ(port.readline(30, "\r"), std::string(10, 'q'));

    // A multi-byte eol, including one split across arrivals.
    pty.write("ok\r");
    std::thread late([&] {
        std::this_thread::sleep_for(milliseconds(50));
        pty.write("\nmore\r\n");
    });
    EXPECT_EQ(port.readline(100, "\r\n"), "ok\r\n");
    late.join();
    EXPECT_EQ(port.readline(100, "\r\n"), "more\r\n");
}

TEST(SerialReadline, NeverReadsMoreThanSize) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(100));
    pty.write("abc\r\n");
    awaitInput(port, 5);

    std::string line = "keep";
    EXPECT_EQ(port.readline(line, 0, "\r\n"), 0u);
    EXPECT_EQ(line, "keep");
    EXPECT_EQ(port.available(), 5u);
    // Smaller than the eol: what fits.
    EXPECT_EQ(port.readline(1, "\r\n"), "a");
    EXPECT_EQ(port.available(), 4u);
    EXPECT_TRUE(port.readlines(0, "\r\n").empty());
    EXPECT_EQ(port.available(), 4u);
    EXPECT_EQ(port.readline(3, "\r\n"), "bc\r");
    EXPECT_EQ(port.readline(3, "\r\n"), "\n");
}

TEST(SerialReadline, ReadlinesSplitsLinesAndKeepsTheUnterminatedRest) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(150));
    pty.write("a\rb\rc");
    EXPECT_EQ(port.readlines(100, "\r"), (std::vector<std::string>{"a\r", "b\r", "c"}));

    // The size bounds the whole call; what is left stays queued.
    pty.write("aaaa\rbbbb\r");
    awaitInput(port, 10);
    EXPECT_EQ(port.readlines(6, "\r"), (std::vector<std::string>{"aaaa\r", "b"}));
    EXPECT_EQ(port.available(), 4u);
    EXPECT_EQ(port.readlines(100, "\r"), (std::vector<std::string>{"bbb\r"}));

    // Lines are matched each on its own: "aa" then "a" is not a second eol.
    pty.write("aaa");
    EXPECT_EQ(port.readlines(100, "aa"), (std::vector<std::string>{"aa", "a"}));

    // Silence from the start: no line at all.
    EXPECT_TRUE(port.readlines(100, "\r").empty());
}

// ---------------------------------------------------------------- hang-up

// CPU time the calling thread has used.
milliseconds threadCpuTime() {
    rusage usage{};
    ::getrusage(RUSAGE_THREAD, &usage);
    return milliseconds(usage.ru_utime.tv_sec * 1000 + usage.ru_utime.tv_usec / 1000 +
                        usage.ru_stime.tv_sec * 1000 + usage.ru_stime.tv_usec / 1000);
}

struct HangupOutcome {
    bool threw = false;
    std::string what;
    size_t count = 0;
    milliseconds elapsed{0};
    milliseconds cpu{0};
};

TEST(SerialHangup, APeerHangingUpEndsABlockedReadWithoutSpinning) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(5000));
    pty.write("G");
    awaitInput(port, 1);

    auto reader = std::async(std::launch::async, [&] {
        HangupOutcome out;
        const milliseconds cpu0 = threadCpuTime();
        const auto start = Clock::now();
        try {
            std::string line;
            out.count = port.readline(line, 100, "\r");
        } catch (const serial::SerialException& e) {
            out.threw = true;
            out.what = e.what();
        }
        out.elapsed = since(start);
        out.cpu = threadCpuTime() - cpu0;
        return out;
    });
    std::this_thread::sleep_for(milliseconds(200));
    pty.closeMaster();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(4)), std::future_status::ready) << "read still blocked";
    const HangupOutcome out = reader.get();
    EXPECT_TRUE(out.threw);
    EXPECT_EQ(out.what,
              "SerialException device reports readiness to read but returned no data (device disconnected?) failed.");
    EXPECT_LT(out.elapsed.count(), 2500);
    EXPECT_LT(out.cpu.count(), 500);

    // Every further read ends at once the same way, and so does a write.
    uint8_t byte = 0;
    const auto start = Clock::now();
    EXPECT_THROW(port.read(&byte, 1), serial::SerialException);
    EXPECT_LT(since(start).count(), 1000);
    try {
        port.write(std::string("x"));
        ADD_FAILURE() << "write to a hung-up device succeeded";
    } catch (const serial::SerialException& e) {
        EXPECT_NE(std::string(e.what()).find("device reports readiness to write but returned no data "
                                             "(device disconnected?) errno=" +
                                             std::to_string(EIO) + " bytes_written_now= -1 bytes_written=0 length=1"),
                  std::string::npos)
            << e.what();
    }
    EXPECT_NO_THROW(port.close());
}

TEST(SerialHangup, BytesReadBeforeAHangupAreReturned) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(3000));
    auto reader = std::async(std::launch::async, [&] {
        std::string got;
        port.read(got, 10);
        return got;
    });
    std::this_thread::sleep_for(milliseconds(100));
    pty.write("ab");
    std::this_thread::sleep_for(milliseconds(200));
    const auto start = Clock::now();
    pty.closeMaster();
    ASSERT_EQ(reader.wait_for(std::chrono::seconds(2)), std::future_status::ready) << "read still blocked";
    EXPECT_EQ(reader.get(), "ab");
    EXPECT_LT(since(start).count(), 1500);
    // The next read reports the hang-up: the multi-byte read asks for the
    // queue length first, which the hung-up terminal refuses.
    EXPECT_EQ(whatOf<serial::IOException>([&] { port.read(size_t{10}); }), ioText(493, EIO));
    EXPECT_THROW(port.read(size_t{1}), serial::SerialException);
}

// ---------------------------------------------------------------- signals

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

    // Signals the thread `count` times, `gap` apart, starting after `gap`.
    static void pester(pthread_t thread, int count, milliseconds gap) {
        for (int i = 0; i < count; ++i) {
            std::this_thread::sleep_for(gap);
            ::pthread_kill(thread, SIGUSR1);
        }
    }

    struct sigaction old_ {};
};

TEST_F(SerialSignal, ABlockedReadNeitherThrowsNorEndsEarly) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 600, 0, 0, 0));
    std::promise<pthread_t> self;
    auto reader = std::async(std::launch::async, [&] {
        self.set_value(::pthread_self());
        uint8_t buf[4];
        const auto start = Clock::now();
        const size_t n = port.read(buf, sizeof buf);
        return std::make_pair(n, since(start));
    });
    pester(self.get_future().get(), 5, milliseconds(60));
    const auto [count, elapsed] = reader.get();
    EXPECT_GE(g_signals.load(), 5);
    EXPECT_EQ(count, 0u);
    EXPECT_GE(elapsed.count(), 590);
    EXPECT_LT(elapsed.count(), 3000);
}

TEST_F(SerialSignal, DataAfterSignalsIsStillRead) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(3000));
    std::promise<pthread_t> self;
    auto reader = std::async(std::launch::async, [&] {
        self.set_value(::pthread_self());
        return port.readline(100, "\r");
    });
    pester(self.get_future().get(), 4, milliseconds(40));
    pty.write("G6\r");
    EXPECT_EQ(reader.get(), "G6\r");
    EXPECT_GE(g_signals.load(), 4);
}

TEST_F(SerialSignal, ABlockedWriteKeepsItsTimeout) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout(serial::Timeout::max(), 0, 0, 500, 0));
    std::promise<pthread_t> self;
    auto writer = std::async(std::launch::async, [&] {
        self.set_value(::pthread_self());
        const std::string big(1 << 20, 'w');
        const auto start = Clock::now();
        const size_t n = port.write(big);
        return std::make_pair(n, since(start));
    });
    pester(self.get_future().get(), 5, milliseconds(50));
    const auto [count, elapsed] = writer.get();
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, size_t{1} << 20);
    EXPECT_GE(elapsed.count(), 490);
    EXPECT_LT(elapsed.count(), 3000);
}

// ---------------------------------------------------------------- threads

TEST(SerialThreads, OneReaderAndTwoWritersShareAPort) {
    PtyPair pty;
    serial::Serial port(pty.slavePath(), 115200, serial::Timeout::simpleTimeout(2000));
    constexpr int kLines = 200;
    constexpr int kWrites = 40;
    constexpr size_t kChunk = 4096;

    // The device side: sends numbered lines and collects everything written.
    std::string collected;
    std::thread device([&] {
        for (int i = 0; i < kLines; ++i) pty.write("line " + std::to_string(i) + "\r");
        collected = pty.read(2 * kWrites * kChunk, std::chrono::seconds(20));
    });
    auto writer = [&](char fill) {
        const std::string chunk(kChunk, fill);
        for (int i = 0; i < kWrites; ++i) ASSERT_EQ(port.write(chunk), kChunk);
    };
    std::thread a(writer, 'a');
    std::thread b(writer, 'b');

    std::vector<std::string> lines;
    for (int i = 0; i < kLines; ++i) lines.push_back(port.readline(64, "\r"));
    a.join();
    b.join();
    device.join();

    for (int i = 0; i < kLines; ++i) EXPECT_EQ(lines[static_cast<size_t>(i)], "line " + std::to_string(i) + "\r");
    ASSERT_EQ(collected.size(), 2 * kWrites * kChunk);
    // Whole writes never interleave.
    for (size_t at = 0; at < collected.size(); at += kChunk) {
        const std::string chunk = collected.substr(at, kChunk);
        EXPECT_EQ(chunk, std::string(kChunk, chunk[0])) << "write interleaved at " << at;
    }
}

}  // namespace
