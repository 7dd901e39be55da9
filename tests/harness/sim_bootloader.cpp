#include "sim_bootloader.hpp"

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>
#include <unistd.h>

namespace qt_test {

namespace {

constexpr uint32_t kSync = 0x79, kSpeed = 0x03, kErase = 0x43, kWrite = 0x31, kData = 0x04, kGo = 0x21;
constexpr uint8_t kEnterBootloaderCommand = 127;
constexpr uint8_t kAck = 0x79, kNack = 0x1F;

bool isStandard(const can_frame_data& f) { return (f.can_id & 0xE0000000u) == 0 && f.can_id < 0x800; }

std::optional<CANBaudRate> rateOfSpeedCode(uint8_t code) {
    constexpr CANBaudRate kRates[] = {CAN_BAUDRATE_125K, CAN_BAUDRATE_250K, CAN_BAUDRATE_500K, CAN_BAUDRATE_1M};
    if (code < 1 || code > 4) return std::nullopt;
    return kRates[code - 1];
}

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | uint32_t{p[3]};
}

}  // namespace

SimBootloader::SimBootloader(TestTransport& bus, uint32_t nodeId, bool startInBootloader)
    : bus_(bus), nodeId_(nodeId), inBootloader_(startInBootloader) {
    listener_ = bus_.addListener([this](const can_frame_data& f) { onFrame(f); });
    tickJob_ = bus_.schedule(Millis(1), [this] { tick(); }, Millis(1));
}

SimBootloader::~SimBootloader() {
    bus_.removeListener(listener_);
    bus_.cancel(tickJob_);
}

void SimBootloader::failAt(BootStep step, BootFault fault, int occurrence) {
    std::lock_guard<std::mutex> lock(mutex_);
    faults_[step] = {fault, occurrence};
}

void SimBootloader::secondAcksWithoutDelay(bool batched) {
    std::lock_guard<std::mutex> lock(mutex_);
    secondAckDelay_ = Millis(0);
    batched_ = batched;
}

CANBaudRate SimBootloader::hostRate() const {
    const std::vector<CANBaudRate> calls = bus_.baudRateCalls();
    return calls.empty() ? CAN_BAUDRATE_500K : calls.back();
}

void SimBootloader::onFrame(const can_frame_data& frame) {
    can_frame_data f = frame;
    std::lock_guard<std::mutex> lock(mutex_);
    if (!isStandard(f)) {
        if (getExtFromFrame(&f) && !getRtrFromFrame(&f) && getDeviceIdFromFrame(&f) == nodeId_ &&
            getCommandIdFromFrame(&f) == kEnterBootloaderCommand && f.can_dlc == 0) {
            inBootloader_ = true;
            rate_ = CAN_BAUDRATE_125K;
        }
        return;
    }
    if (!inBootloader_ || hostRate() != rate_) return;  // not heard
    onBootloaderFrame(f);
    if (batched_) {
        bus_.inject(outbox_);
    } else {
        for (const can_frame_data& out : outbox_) bus_.inject(out);
    }
    outbox_.clear();
}

bool SimBootloader::reply(BootStep step, uint32_t id, bool ok) {
    if (!ok) ++protocolErrors_;
    const int n = ++replies_[step];
    auto fault = faults_.find(step);
    if (fault != faults_.end() && (fault->second.second == 0 || fault->second.second == n)) {
        if (fault->second.first == BootFault::Silence) return false;
        ok = false;
    }
    const can_frame_data out = rawFrame(id, {ok ? kAck : kNack});
    const bool second = step == BootStep::SpeedAtNewRate || step == BootStep::EraseDone || step == BootStep::WriteDone;
    std::optional<CANBaudRate> holdFor;
    if (step == BootStep::SpeedAtNewRate) holdFor = rate_;
    if (second && (secondAckDelay_.count() > 0 || holdFor)) {
        pending_.push_back({std::chrono::steady_clock::now() + secondAckDelay_, holdFor, out});
    } else {
        outbox_.push_back(out);
    }
    return ok;
}

void SimBootloader::tick() {
    std::vector<can_frame_data> due;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (pending_.empty()) return;
        const auto now = std::chrono::steady_clock::now();
        const CANBaudRate host = hostRate();
        for (auto it = pending_.begin(); it != pending_.end();) {
            if (it->due <= now && (!it->hostRate || *it->hostRate == host)) {
                due.push_back(it->reply);
                it = pending_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const can_frame_data& f : due) bus_.inject(f);
}

void SimBootloader::onBootloaderFrame(const can_frame_data& f) {
    switch (f.can_id) {
        case kSync:
            reply(BootStep::Sync, kSync, f.can_dlc == 0);
            return;
        case kSpeed: {
            const std::optional<CANBaudRate> rate = f.can_dlc == 1 ? rateOfSpeedCode(f.data[0]) : std::nullopt;
            if (!reply(BootStep::Speed, kSpeed, rate.has_value())) return;
            rate_ = *rate;
            reply(BootStep::SpeedAtNewRate, kSpeed, true);
            return;
        }
        case kErase:
            if (sectorsToCome_ < 0) {
                // Global erase (0xFF) is not offered by this model.
                if (reply(BootStep::EraseCount, kErase, f.can_dlc == 1 && !writing_ && f.data[0] != 0xFF)) {
                    sectorsToCome_ = f.data[0] + 1;
                    sectorBatch_.clear();
                }
            } else if (!reply(BootStep::EraseSector, kErase, f.can_dlc == 1)) {
                sectorsToCome_ = -1;
            } else {
                sectorBatch_.push_back(f.data[0]);
                if (--sectorsToCome_ == 0) {
                    sectorsToCome_ = -1;
                    if (reply(BootStep::EraseDone, kErase, true))
                        erased_.insert(erased_.end(), sectorBatch_.begin(), sectorBatch_.end());
                }
            }
            return;
        case kWrite:
            if (!reply(BootStep::WriteAddress, kWrite, f.can_dlc == 5 && !writing_ && sectorsToCome_ < 0)) return;
            writing_ = true;
            writeAddress_ = bigEndian32(f.data);
            writeSize_ = size_t{f.data[4]} + 1;
            writeBuffer_.clear();
            return;
        case kData: {
            writing_ = reply(BootStep::WriteData, kWrite,
                             writing_ && f.can_dlc >= 1 && f.can_dlc <= 8 &&
                                 writeBuffer_.size() + f.can_dlc <= writeSize_);
            if (!writing_) return;
            writeBuffer_.insert(writeBuffer_.end(), f.data, f.data + f.can_dlc);
            if (writeBuffer_.size() < writeSize_) return;
            writing_ = false;
            const bool programmed = reply(BootStep::WriteDone, kWrite, true);
            writes_.push_back({writeAddress_, writeSize_, programmed});
            for (size_t i = 0; programmed && i < writeBuffer_.size(); ++i)
                memory_[writeAddress_ + static_cast<uint32_t>(i)] = writeBuffer_[i];
            return;
        }
        case kGo:
            if (!reply(BootStep::Go, kGo, f.can_dlc == 4 && !writing_ && sectorsToCome_ < 0)) return;
            go_ = bigEndian32(f.data);
            inBootloader_ = false;
            return;
        default:
            ++protocolErrors_;
    }
}

std::string hexRecord(uint8_t type, uint16_t address, const uint8_t* data, size_t n) {
    std::string line = ":";
    char buf[16];
    unsigned sum = static_cast<unsigned>(n) + (address >> 8) + (address & 0xFF) + type;
    std::snprintf(buf, sizeof buf, "%02X%04X%02X", static_cast<unsigned>(n), address, type);
    line += buf;
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", data[i]);
        line += buf;
        sum += data[i];
    }
    std::snprintf(buf, sizeof buf, "%02X", (0x100 - (sum & 0xFF)) & 0xFF);
    line += buf;
    return line + "\r\n";
}

std::string hexText(const std::map<uint32_t, std::vector<uint8_t>>& blocks, size_t recordSize) {
    std::string text;
    uint32_t upper = 0;
    for (const auto& [start, bytes] : blocks) {
        size_t offset = 0;
        while (offset < bytes.size()) {
            const uint32_t address = start + static_cast<uint32_t>(offset);
            if ((address >> 16) != upper) {
                upper = address >> 16;
                const uint8_t ext[2] = {static_cast<uint8_t>(upper >> 8), static_cast<uint8_t>(upper)};
                text += hexRecord(4, 0, ext, 2);
            }
            size_t n = std::min(recordSize, bytes.size() - offset);
            n = std::min<size_t>(n, 0x10000 - (address & 0xFFFF));
            text += hexRecord(0, static_cast<uint16_t>(address & 0xFFFF), bytes.data() + offset, n);
            offset += n;
        }
    }
    return text + hexRecord(1, 0, nullptr, 0);
}

std::string writeTempFile(const std::string& name, const std::string& text) {
    const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string file = "qt_" + std::to_string(::getpid()) + "_" +
                       (info != nullptr ? std::string(info->name()) + "_" : std::string()) + name;
    std::replace(file.begin(), file.end(), '/', '_');
    const std::string path = ::testing::TempDir() + file;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
    return path;
}

}  // namespace qt_test
