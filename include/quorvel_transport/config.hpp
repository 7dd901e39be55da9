#ifndef QUORVEL_TRANSPORT_CONFIG_HPP
#define QUORVEL_TRANSPORT_CONFIG_HPP

#include <atomic>
#include <mutex>
#include <ostream>
#include <streambuf>
#include <string>

// The library is built with hidden visibility; only what carries QUORVEL_API
// is exported from libquorvel_transport.so.
#if defined(QUORVEL_TRANSPORT_BUILDING)
#define QUORVEL_API __attribute__((visibility("default")))
#else
#define QUORVEL_API
#endif
// For the private implementation classes nested in exported classes.
#define QUORVEL_LOCAL __attribute__((visibility("hidden")))

// An output stream that accepts and drops every character. It never enters a
// failed state. Interfaces and devices log to one by default.
class QUORVEL_API NullStream : public std::ostream {
public:
    class NullBuffer : public std::streambuf {
    protected:
        int overflow(int c) override { return c; }
    };

    NullStream();
    ~NullStream() override;

    NullStream(const NullStream&) = delete;
    NullStream& operator=(const NullStream&) = delete;

private:
    NullBuffer buffer_;
};

// Default log stream of every interface.
extern QUORVEL_API NullStream _ns;

// Where one library object writes its diagnostic lines. Lines written from
// several threads stay whole, and nothing is formatted while the stream is a
// NullStream, so logging on the receive thread costs nothing by default.
class LogSink {
public:
    explicit LogSink(std::ostream* stream) { setStream(stream); }

    // The caller keeps the stream alive while the object may write to it.
    void setStream(std::ostream* stream) {
        discards_.store(stream == nullptr || dynamic_cast<NullStream*>(stream) != nullptr,
                        std::memory_order_release);
        stream_.store(stream, std::memory_order_release);
    }
    std::ostream* stream() const { return stream_.load(std::memory_order_acquire); }
    bool discards() const { return discards_.load(std::memory_order_acquire); }

    // One line: the arguments, then std::endl.
    template <typename... Args>
    void line(const Args&... args) {
        if (discards()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        std::ostream& out = *stream();
        (out << ... << args) << std::endl;
    }

    // Free-form output under the same lock, for text that sets stream flags.
    template <typename Fn>
    void write(Fn&& fn) {
        if (discards()) return;
        std::lock_guard<std::mutex> lock(mutex_);
        fn(*stream());
    }

private:
    std::atomic<std::ostream*> stream_{nullptr};
    std::atomic<bool> discards_{true};
    std::mutex mutex_;
};

// "0.1.10-beta"
QUORVEL_API std::string getLibraryVersion();

#endif
