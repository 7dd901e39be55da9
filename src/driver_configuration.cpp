// Configuration export and import of the motor driver: the bus side. The
// JSON mapping is config/configuration_json.hpp.

#include <chrono>
#include <iostream>
#include <variant>
#include <vector>

#include "config/configuration_json.hpp"
#include "driver_impl.hpp"

namespace config = quorvel_detail::config;

namespace {

bool fails(ret_status_t status) { return status != RET_SUCCESS; }

// The driver needs time to take each setting in.
constexpr std::chrono::milliseconds kSettingPause{50};

// Setter calls, one per setting.
struct ApplySetting {
    Driver& d;

    ret_status_t operator()(const config::DCBusTripLevels& s) { return d.setDCBusTripLevels(s.under, s.over); }
    ret_status_t operator()(const config::BrakeResistor& s) { return d.enableBrakeResistor(s.resistance); }
    ret_status_t operator()(const config::RegenCurrentTripLevel& s) { return d.setRegenCurrentTripLevel(s.level); }
    ret_status_t operator()(const config::MotorParameters& s) {
        return d.setMotorParameters(s.polePairs, s.kvRating, s.currentLimit);
    }
    ret_status_t operator()(const config::MotorEncoder& s) {
        return d.configureMotorEncoder(s.type, s.resolution, s.useIndex);
    }
    ret_status_t operator()(const config::OutputEncoder& s) {
        return s.type == 0 ? d.disableOutputEncoder() : d.configureOutputEncoder(s.type, s.resolution, s.useIndex);
    }
    ret_status_t operator()(const config::GearBox& s) { return d.setGearBoxParameters(s.ratio); }
    ret_status_t operator()(const config::MotorCalibration& s) {
        return d.setMotorCalibrationParameters(s.voltage, s.current);
    }
    ret_status_t operator()(const config::MotorThermistor& s) { return d.setMotorThermistorParameters(s.rRef, s.beta); }
    ret_status_t operator()(const config::StartupConfigs& s) {
        return d.setStartupConfigs(s.indexSearch, s.encoderMatching, s.closedLoop);
    }
    ret_status_t operator()(const config::PositionGain& s) { return d.setPositionControllerGain(s.gain); }
    ret_status_t operator()(const config::VelocityGains& s) {
        return d.setVelocityControllerGains(s.gain, s.integratorGain);
    }
    ret_status_t operator()(const config::CurrentControllerBandwidth& s) {
        return d.setCurrentControllerBandwidth(s.bandwidth);
    }
    // An index outside the table (4294967295 from an unknown rate) is refused
    // by setCANBaudRate.
    ret_status_t operator()(const config::BitRate& s) {
        return d.setCANBaudRate(static_cast<CANBaudRate>(static_cast<int>(s.index)));
    }
};

}  // namespace

std::string Driver::exportConfiguration() {
    config::ExportedConfiguration c;
    auto& [dcBus, brake, regen, motor, motorEncoder, outputEncoder, gearBox, calibration, thermistor, startup,
           positionGain, velocityGains, currentBandwidth, bitRate] = c.groups;
    CANBaudRate rate = CAN_BAUDRATE_10K;
    bool unusedBrakeFlag1 = false, unusedBrakeFlag2 = false;

    // The first failing getter ends the export; later ones are not called.
    unsigned char* hw = c.hardwareVersion;
    const bool failed =
        fails(getCANBaudRate(&rate)) ||
        fails(getDCBusTripLevels(&dcBus.under, &dcBus.over)) ||
        fails(getBrakeResistorState(&brake.enabled, &brake.resistance, &unusedBrakeFlag1, &unusedBrakeFlag2)) ||
        fails(getRegenCurrentTripLevel(&regen.level)) ||
        fails(getMotorParameters(&motor.polePairs, &motor.kvRating, &motor.currentLimit)) ||
        fails(getMotorPhaseParameters(&c.phaseResistance, &c.phaseInductance)) ||
        fails(getMotorEncoderConfiguration(&motorEncoder.type, &motorEncoder.resolution, &motorEncoder.useIndex)) ||
        fails(getOutputEncoderConfiguration(&outputEncoder.type, &outputEncoder.resolution,
                                            &outputEncoder.useIndex)) ||
        fails(getGearBoxParameters(&gearBox.ratio)) ||
        fails(getMotorCalibrationParameters(&calibration.voltage, &calibration.current)) ||
        fails(getMotorThermistorConfiguration(&thermistor.enabled, &thermistor.rRef, &thermistor.beta,
                                              &c.temperatureUpperLimit, &c.temperatureLowerLimit)) ||
        fails(getStartupConfigs(&startup.indexSearch, &startup.encoderMatching, &startup.closedLoop)) ||
        fails(getPositionControllerGain(&positionGain.gain)) ||
        fails(getVelocityControllerGains(&velocityGains.gain, &velocityGains.integratorGain)) ||
        fails(getCurrentControllerGains(&c.currentGain, &c.currentIntegratorGain)) ||
        fails(getCurrentControllerBandwidth(&currentBandwidth.bandwidth)) ||
        fails(getHardwareVersion(&hw[0], &hw[1], &hw[2], &hw[3])) ||
        fails(getFirmwareVersion(&c.firmwareMajor, &c.firmwareMinor, &c.firmwarePatch)) ||
        fails(getFirmwareCommit(&c.firmwareCommit));
    if (failed) return {};

    bitRate.index = static_cast<unsigned int>(rate);
    return config::exportText(c);
}

bool Driver::importConfiguration(std::string configuration) {
    const config::Document document = config::parseDocument(configuration);
    std::cout << document.printed << std::endl;
    // Throws on a bad value before anything is sent.
    const std::vector<config::Setting> settings = config::planImport(document.json);

    quorvel_detail::Pacer& pacer = quorvel_detail::pacerOf(impl);
    ApplySetting apply{*this};
    for (const config::Setting& setting : settings) {
        const ret_status_t status = std::visit(apply, setting);
        pacer.sleepFor(kSettingPause);
        if (status != RET_SUCCESS) return false;
    }
    return true;
}
