#ifndef QUORVEL_TRANSPORT_CONFIG_HPP
#define QUORVEL_TRANSPORT_CONFIG_HPP

#include <atomic>
#include <exception>
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
// The stream may be replaced at any moment from any thread: each line goes
// whole to one stream, and once setStream returns nothing more is written to
// the stream it replaced.
class LogSink {
public:
    explicit LogSink(std::ostream* stream) { setStream(stream); }

    // nullptr or a NullStream discards. The caller keeps the stream alive
    // until it is replaced.
    void setStream(std::ostream* stream) {
        std::ostream* target = dynamic_cast<NullStream*>(stream) != nullptr ? nullptr : stream;
        std::lock_guard<std::mutex> lock(mutex_);
        stream_.store(target, std::memory_order_relaxed);
    }

    // One line: the arguments, then std::endl.
    template <typename... Args>
    void line(const Args&... args) {
        write([&](std::ostream& out) { (out << ... << args) << std::endl; });
    }

    // Free-form output under the same lock, for text that sets stream flags.
    template <typename Fn>
    void write(Fn&& fn) {
        // Discarding takes no lock; the stream is read again under the lock,
        // where setStream cannot change it halfway through a line.
        if (stream_.load(std::memory_order_relaxed) == nullptr) return;
        std::lock_guard<std::mutex> lock(mutex_);
        if (std::ostream* out = stream_.load(std::memory_order_relaxed)) fn(*out);
    }

    // Runs fn; what it throws becomes one line naming `context` and the
    // exception's text. Never throws, so that destructors and threads that
    // must go on can use it.
    template <typename Fn>
    void logExceptions(const char* context, Fn&& fn) noexcept {
        try {
            try {
                fn();
            } catch (const std::exception& e) {
                line(context, ": ", e.what());
            } catch (...) {
                line(context);
            }
        } catch (...) {
            // The stream itself failed; there is nowhere left to say it.
        }
    }

private:
    std::atomic<std::ostream*> stream_{nullptr};
    std::mutex mutex_;
};

// "0.1.10-beta"
QUORVEL_API std::string getLibraryVersion();

#endif
