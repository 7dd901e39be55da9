#include "sim_bootloader.hpp"

namespace qt_test {

namespace {

constexpr uint32_t kSync = 0x79, kSpeed = 0x03, kErase = 0x43, kWrite = 0x31, kData = 0x04, kGo = 0x21;

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

SimBootloader::SimBootloader(TestTransport& bus, uint32_t nodeId, bool startInBootloader, Millis secondAckDelay,
                             bool batched)
    : bus_(bus), inBootloader_(startInBootloader), secondAckDelay_(secondAckDelay), batched_(batched) {
    listener_ = bus_.addListener([this, nodeId](const can_frame_data& f) {
        std::lock_guard<std::mutex> lock(mutex_);
        // The device's enter-bootloader command (127, no data) starts it.
        if (f.can_id == (0x80000000u | nodeId << 7 | 127u) && f.can_dlc == 0) {
            inBootloader_ = true;
            rate_ = CAN_BAUDRATE_125K;
        }
        if ((f.can_id & 0xE0000000u) != 0 || !inBootloader_ || hostRate() != rate_) return;  // not heard
        onBootloaderFrame(f);
        send(secondAckDelay_.count() == 0);
    });
    tickJob_ = bus_.schedule(Millis(1), [this] {
        std::lock_guard<std::mutex> lock(mutex_);
        send(true);
    }, Millis(1));
}

SimBootloader::~SimBootloader() {
    bus_.removeListener(listener_);
    bus_.cancel(tickJob_);
}

CANBaudRate SimBootloader::hostRate() const {
    const std::vector<CANBaudRate> calls = bus_.baudRateCalls();
    return calls.empty() ? CAN_BAUDRATE_500K : calls.back();
}

bool SimBootloader::reply(BootStep step, uint32_t id, bool ok) {
    if (step == faultStep_ && --faultCountdown_ == 0) {
        if (fault_ == BootFault::Silence) return false;
        ok = false;
    }
    const can_frame_data out = rawFrame(id, {static_cast<uint8_t>(ok ? 0x79 : 0x1F)});
    if (step == BootStep::SpeedAtNewRate || step == BootStep::EraseDone || step == BootStep::WriteDone) {
        const bool holdForHost = step == BootStep::SpeedAtNewRate;
        pending_.push_back({std::chrono::steady_clock::now() + secondAckDelay_, holdForHost, out});
    } else {
        outbox_.push_back(out);
    }
    return ok;
}

void SimBootloader::send(bool dueToo) {
    const auto now = std::chrono::steady_clock::now();
    for (auto it = pending_.begin(); dueToo && it != pending_.end();) {
        const bool ready = it->due <= now && (!it->holdForHost || hostRate() == rate_);
        if (ready) outbox_.push_back(it->reply);
        it = ready ? pending_.erase(it) : it + 1;
    }
    if (batched_) {
        bus_.inject(outbox_);
    } else {
        for (const can_frame_data& out : outbox_) bus_.inject(out);
    }
    outbox_.clear();
}

void SimBootloader::onBootloaderFrame(const can_frame_data& f) {
    switch (f.can_id) {
        case kSync:
            reply(BootStep::Sync, kSync, f.can_dlc == 0);
            break;
        case kSpeed:  // only code 3, 500 kbit/s, is modelled
            if (!reply(BootStep::Speed, kSpeed, f.can_dlc == 1 && f.data[0] == 3)) break;
            rate_ = CAN_BAUDRATE_500K;
            reply(BootStep::SpeedAtNewRate, kSpeed, true);
            break;
        case kErase:  // one sector per command: the count (0), then the sector
            if (!erasing_) {
                erasing_ = reply(BootStep::EraseCount, kErase, f.can_dlc == 1 && f.data[0] == 0 && !writing_);
            } else {
                erasing_ = false;
                if (reply(BootStep::EraseSector, kErase, f.can_dlc == 1)) reply(BootStep::EraseDone, kErase, true);
            }
            break;
        case kWrite:
            writing_ = reply(BootStep::WriteAddress, kWrite, f.can_dlc == 5 && !writing_ && !erasing_);
            writeAddress_ = bigEndian32(f.data);
            writeSize_ = size_t{f.data[4]} + 1;
            writeBuffer_.clear();
            break;
        case kData:
            writing_ = reply(BootStep::WriteData, kWrite,
                             writing_ && f.can_dlc >= 1 && writeBuffer_.size() + f.can_dlc <= writeSize_);
            if (!writing_) break;
            writeBuffer_.insert(writeBuffer_.end(), f.data, f.data + f.can_dlc);
            if (writeBuffer_.size() < writeSize_) break;
            writing_ = false;
            if (!reply(BootStep::WriteDone, kWrite, true)) break;
            for (size_t i = 0; i < writeBuffer_.size(); ++i)
                memory_[writeAddress_ + static_cast<uint32_t>(i)] = writeBuffer_[i];
            break;
        case kGo:
            if (!reply(BootStep::Go, kGo, f.can_dlc == 4 && !writing_ && !erasing_)) break;
            go_ = bigEndian32(f.data);
            inBootloader_ = false;
            break;
    }
}

}  // namespace qt_test
