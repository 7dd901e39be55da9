#ifndef QUORVEL_TRANSPORT_REPLY_MACHINERY_HPP
#define QUORVEL_TRANSPORT_REPLY_MACHINERY_HPP

// The reply hand-off that every device implementation shares: a read arms
// the machinery for one command id, sends its request and waits; the
// interface's receive thread decodes the matching reply into the value
// vector and wakes the reader, who copies the values out in order.
//
// It holds one reply at a time: a reply is ignored when no read is armed for
// its command id, or when the armed read already has one, taken or not (the
// first matching reply wins). The one exception is for a
// device in its bootloader, which answers some steps twice under the same
// identifier with nothing sent in between, so the second answer can arrive
// before the reader has taken the first and armed again: while holding is on
// (holdUnawaitedReplies), such a one-field reply that came through
// getDataCallbackOrHold is kept in a single slot, a newer one replacing an
// older one, and the next arming takes it as its reply at once when it is
// for the armed command id and the wait sends no frame of its own, and
// drops it otherwise.
//
// A device implementation (device/device_impl.hpp) instantiates it with its
// value variant and logging policy, and passes its decoder table (command id
// -> decoder) to dispatchByCommandId. Header-only, so the hand-off can also
// be exercised directly, without an interface or threads.

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include <boost/variant/get.hpp>

#include "quorvel_transport/can_helpers.hpp"
#include "quorvel_transport/config.hpp"
#include "bus/device_protocol.hpp"
#include "quorvel_transport/ret_status.hpp"

namespace quorvel_detail {

constexpr int kNoCommand = -1;
// The most fields any reply layout has (eight bytes); the value vector keeps
// this capacity so that decoding never allocates on the receive thread.
constexpr std::size_t kMaxReplyFields = 8;

// Width of a reply field: fields are packed back to back from data bit 0.
template <typename T>
inline constexpr unsigned kFieldBits = sizeof(T) * 8;
template <>
inline constexpr unsigned kFieldBits<bool> = 1;
template <>
inline constexpr unsigned kFieldBits<std::string> = 64;

template <typename T>
T readField(const can_frame_data& frame, unsigned startBit) {
    return canGetSignal<T>(frame, static_cast<unsigned char>(startBit), kFieldBits<T>, true);
}

// Text fields take the whole payload: the bytes before the first zero byte.
template <>
inline std::string readField<std::string>(const can_frame_data& frame, unsigned) {
    std::size_t length = 0;
    while (length < sizeof frame.data && frame.data[length] != 0) ++length;
    return std::string(reinterpret_cast<const char*>(frame.data), length);
}

// A decoder table row: the command ids that share one reply layout (unused
// slots 0) and that layout's decoder.
template <typename Decoder>
struct DecoderRow {
    uint8_t ids[24];
    Decoder decode;
};

template <typename Decoder>
using DecoderTable = std::array<Decoder, 128>;

template <typename Decoder, typename Rows>
constexpr void addRows(DecoderTable<Decoder>& table, const Rows& rows) {
    for (const DecoderRow<Decoder>& row : rows) {
        for (uint8_t id : row.ids) {
            if (id == 0) continue;
            if (id >= table.size() || id == kHeartbeatCommandId || table[id] != nullptr) {
                throw "command id outside 7 bits, reserved or listed twice";
            }
            table[id] = row.decode;
        }
    }
}

// Indexes one or more lists of rows (a class's own rows merged with rows it
// shares with another class) by command id at compile time; an id listed
// twice, or one outside 7 bits, does not compile.
template <typename Decoder, typename... RowLists>
constexpr DecoderTable<Decoder> decoderTable(const RowLists&... lists) {
    DecoderTable<Decoder> table{};
    (addRows(table, lists), ...);
    return table;
}

// LogPolicy provides `template <typename T> static void field(LogSink&, const T&)`,
// called for every decoded field.
template <typename Value, typename LogPolicy>
class ReplyMachinery {
public:
    using Decoder = void (*)(ReplyMachinery&, const can_frame_data*, int);

    ReplyMachinery() { values_.reserve(kMaxReplyFields); }
    ReplyMachinery(const ReplyMachinery&) = delete;
    ReplyMachinery& operator=(const ReplyMachinery&) = delete;

    LogSink& log() { return log_; }

    // nullptr goes back to discarding.
    void setLogStream(std::ostream* stream) { log_.setStream(stream == nullptr ? &ownStream_ : stream); }

    // Calling thread, before the request goes out: nothing left over from an
    // earlier reply can be handed out after this, except, when `takeHeld`, a
    // held reply for this very command id, which becomes the reply at once.
    // A read whose own request provokes its reply passes false: an earlier
    // reply must not answer it.
    void arm(int commandId, bool takeHeld = true) {
        std::lock_guard<std::mutex> lock(mutex_);
        values_.clear();
        bitCursor_ = 0;
        readIndex_ = 0;
        dataReceived_ = false;
        replyAccepted_ = false;
        expectedCommandId_.store(commandId, std::memory_order_relaxed);
        waiting_.store(true, std::memory_order_relaxed);
        if (takeHeld && held_ && held_->commandId == commandId) {
            values_.push_back(held_->value);
            log_.line("setting new data received as true");
            dataReceived_ = true;
            replyAccepted_ = true;
        }
        held_.reset();
    }

    // Turns holding of early replies on or off (see the top of this file);
    // either way the slot starts empty.
    void holdUnawaitedReplies(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        holding_ = on;
        held_.reset();
    }

    // Calling thread, after the wait whatever its result: later replies are
    // ignored.
    void disarm() {
        std::lock_guard<std::mutex> lock(mutex_);
        expectedCommandId_.store(kNoCommand, std::memory_order_relaxed);
        waiting_.store(false, std::memory_order_relaxed);
    }

    bool isArmed() const { return waiting_.load(std::memory_order_relaxed); }
    int expectedCommandId() const { return expectedCommandId_.load(std::memory_order_relaxed); }

    // Decodes one field at the bit cursor into the value vector; returns its
    // width. The caller holds the mutex (getDataCallback does).
    template <typename T>
    int getDataFromFrame(const can_frame_data* frame) {
        values_.emplace_back(readField<T>(*frame, bitCursor_));
        LogPolicy::field(log_, boost::get<T>(values_.back()));
        bitCursor_ += kFieldBits<T>;
        return static_cast<int>(kFieldBits<T>);
    }

    // Receive thread: decodes a reply of fields Ts... for the armed read of
    // this command id; ignores it otherwise, or when a reply was already
    // taken (the first matching reply wins).
    template <typename... Ts>
    void getDataCallback(const can_frame_data* frame, int commandId) {
        deliver<Ts...>(frame, commandId, false);
    }

    // As getDataCallback for a one-field reply, except that a reply it would
    // ignore is held while holding is on.
    template <typename T>
    void getDataCallbackOrHold(const can_frame_data* frame, int commandId) {
        deliver<T>(frame, commandId, true);
    }
    // The decoder-table entry for a reply of fields Ts...
    template <typename... Ts>
    static void decoder(ReplyMachinery& self, const can_frame_data* frame, int commandId) {
        self.template getDataCallback<Ts...>(frame, commandId);
    }

    // Receive thread: hands a frame to its command id's decoder, or logs it.
    // Heartbeats (command 1) are the caller's to handle before this.
    void dispatchByCommandId(const can_frame_data* frame, const DecoderTable<Decoder>& table) {
        const uint8_t commandId = getCommandIdFromFrame(const_cast<can_frame_data*>(frame));
        const Decoder decode = table[commandId];
        if (decode == nullptr) {
            log_.line("Unknown Command Id.");
            return;
        }
        decode(*this, frame, commandId);
    }

    // Calling thread: waits up to `wait` for the armed reply, then copies its
    // values into the out-parameters in order (a null out-parameter skips
    // its value). RET_TIMEOUT leaves every out-parameter untouched. An
    // out-parameter whose type is not the decoded one throws boost::bad_get.
    template <typename... Ts>
    ret_status_t handOut(std::chrono::milliseconds wait, Ts*... outs) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!replied_.wait_until(lock, std::chrono::steady_clock::now() + wait, [this] { return dataReceived_; })) {
            return RET_TIMEOUT;
        }
        (takeValue(outs), ...);
        values_.clear();
        readIndex_ = 0;
        dataReceived_ = false;
        return RET_SUCCESS;
    }

    // The lock that guards the hand-off state, for device state that the
    // receive thread writes beside it (heartbeat payloads).
    std::mutex& mutex() { return mutex_; }

private:
    struct HeldReply {
        int commandId;
        Value value;
    };

    template <typename... Ts>
    void deliver(const can_frame_data* frame, int commandId, bool mayHold) {
        static_assert(sizeof...(Ts) <= kMaxReplyFields, "reply layout longer than the reserved value vector");
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!waiting_.load(std::memory_order_relaxed) ||
                expectedCommandId_.load(std::memory_order_relaxed) != commandId || replyAccepted_) {
                if constexpr (sizeof...(Ts) == 1) {
                    if (mayHold && holding_) hold<Ts...>(*frame, commandId);
                }
                return;
            }
            (getDataFromFrame<Ts>(frame), ...);
            bitCursor_ = 0;
            log_.line("setting new data received as true");
            dataReceived_ = true;
            replyAccepted_ = true;
        }
        replied_.notify_all();
    }

    // The caller holds the mutex. No allocation: the slot is in place.
    template <typename T>
    void hold(const can_frame_data& frame, int commandId) {
        const T value = readField<T>(frame, 0);
        LogPolicy::field(log_, value);
        held_.emplace(HeldReply{commandId, Value(value)});
    }

    template <typename T>
    void takeValue(T* out) {
        if (readIndex_ >= values_.size()) throw boost::bad_get();
        const T& value = boost::get<T>(values_[readIndex_++]);
        if (out != nullptr) *out = value;
    }

    NullStream ownStream_;
    LogSink log_{&ownStream_};
    std::atomic<bool> waiting_{false};
    std::atomic<int> expectedCommandId_{kNoCommand};
    bool dataReceived_ = false;
    // Stays set after the hand-out until the next arming: a reply that
    // arrives between hand-out and disarming belongs to no read (and is held
    // in bootloader mode) instead of being decoded for the read already served.
    bool replyAccepted_ = false;
    std::mutex mutex_;
    std::condition_variable replied_;
    std::vector<Value> values_;
    unsigned bitCursor_ = 0;
    unsigned readIndex_ = 0;
    bool holding_ = false;
    std::optional<HeldReply> held_;
};

// Arms on construction and disarms on every exit, exceptions included.
template <typename Machinery>
class ArmedRead {
public:
    ArmedRead(Machinery& machinery, int commandId, bool takeHeld = true) : machinery_(machinery) {
        machinery_.arm(commandId, takeHeld);
    }
    ~ArmedRead() { machinery_.disarm(); }
    ArmedRead(const ArmedRead&) = delete;
    ArmedRead& operator=(const ArmedRead&) = delete;

private:
    Machinery& machinery_;
};

}  // namespace quorvel_detail

#endif
