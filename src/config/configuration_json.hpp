#ifndef QUORVEL_TRANSPORT_CONFIGURATION_JSON_HPP
#define QUORVEL_TRANSPORT_CONFIGURATION_JSON_HPP

// The motor driver's configuration as JSON text, as pure functions: what the
// getters reported becomes the text, and a text becomes the list of setter
// calls to make. No I/O; Driver::exportConfiguration and
// Driver::importConfiguration do the exchanges.
//
// Header-only so that the tests and the fuzz target run the very code that
// the library runs.

#include <cmath>
#include <cstdint>
#include <iterator>
#include <limits>
#include <stdexcept>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include <nlohmann/json.hpp>

namespace quorvel_detail {
namespace config {

using Json = nlohmann::json;

// The one top-level member: the settings of this driver model.
constexpr const char* kModelKey = "Vostel Q4";
constexpr const char* kParseFailure = "Failed to parse configuration file: invalid JSON format";
// Printing a document recurses once per level; a configuration is two levels
// deep, so anything far deeper is refused instead of exhausting the stack.
constexpr int kMaxDepth = 64;

// One group per setter call of an import. `keys` are read in their order
// into `fields`, each with the type its setter takes.
struct DCBusTripLevels {
    static constexpr const char* keys[] = {"undervoltage_level", "overvoltage_level"};
    float under = 0, over = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.under, s.over); }
};
// Applied only while enabled: there is no disable from a configuration.
struct BrakeResistor {
    static constexpr const char* keys[] = {"is_brake_resistor_enabled", "brake_resistance_value"};
    bool enabled = false;
    float resistance = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.enabled, s.resistance); }
};
struct RegenCurrentTripLevel {
    static constexpr const char* keys[] = {"regen_current_trip_level"};
    float level = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.level); }
};
struct MotorParameters {
    static constexpr const char* keys[] = {"motor_pole_pairs", "motor_kv_rating", "motor_current_limit"};
    unsigned char polePairs = 0;
    unsigned short kvRating = 0;
    float currentLimit = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.polePairs, s.kvRating, s.currentLimit); }
};
struct EncoderFields {
    unsigned char type = 0;
    int resolution = 0;
    bool useIndex = false;
    template <typename S> static auto fields(S& s) { return std::tie(s.type, s.resolution, s.useIndex); }
};
struct MotorEncoder : EncoderFields {
    static constexpr const char* keys[] = {"motor_encoder_type", "motor_encoder_resolution_param",
                                           "motor_encoder_use_index"};
};
// Type 0 disables the output encoder.
struct OutputEncoder : EncoderFields {
    static constexpr const char* keys[] = {"output_encoder_type", "output_encoder_resolution_parameter",
                                           "output_encoder_use_index"};
};
struct GearBox {
    static constexpr const char* keys[] = {"gear_ratio"};
    float ratio = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.ratio); }
};
struct MotorCalibration {
    static constexpr const char* keys[] = {"motor_calib_voltage", "motor_calib_current"};
    float voltage = 0, current = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.voltage, s.current); }
};
// Applied only while enabled.
struct MotorThermistor {
    static constexpr const char* keys[] = {"is_motor_thermistor_enabled", "motor_thermistor_r_ref",
                                           "motor_thermistor_beta"};
    bool enabled = false;
    float rRef = 0;
    unsigned short beta = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.enabled, s.rRef, s.beta); }
};
struct StartupConfigs {
    static constexpr const char* keys[] = {"startup_index_search", "startup_encoder_matching", "startup_closed_loop"};
    bool indexSearch = false, encoderMatching = false, closedLoop = false;
    template <typename S> static auto fields(S& s) { return std::tie(s.indexSearch, s.encoderMatching, s.closedLoop); }
};
struct PositionGain {
    static constexpr const char* keys[] = {"position_gain"};
    float gain = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.gain); }
};
struct VelocityGains {
    static constexpr const char* keys[] = {"vel_gain", "vel_integrator_gain"};
    float gain = 0, integratorGain = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.gain, s.integratorGain); }
};
struct CurrentControllerBandwidth {
    static constexpr const char* keys[] = {"current_controller_bandwidth"};
    float bandwidth = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.bandwidth); }
};
// The CANBaudRate index as 32 bits: an unknown rate (-1) is 4294967295.
struct BitRate {
    static constexpr const char* keys[] = {"can_baud_rate"};
    unsigned int index = 0;
    template <typename S> static auto fields(S& s) { return std::tie(s.index); }
};

// In import order; the bit rate is last, so a driver that changes its rate
// has received everything else first.
using SettingGroups = std::tuple<DCBusTripLevels, BrakeResistor, RegenCurrentTripLevel, MotorParameters, MotorEncoder,
                                 OutputEncoder, GearBox, MotorCalibration, MotorThermistor, StartupConfigs,
                                 PositionGain, VelocityGains, CurrentControllerBandwidth, BitRate>;
template <typename Groups> struct OneOf;
template <typename... Groups> struct OneOf<std::tuple<Groups...>> { using type = std::variant<Groups...>; };
using Setting = OneOf<SettingGroups>::type;

// What the export's getters reported: every group an import reads, and the
// values that only the export writes.
struct ExportedConfiguration {
    SettingGroups groups;
    float currentGain = 0, currentIntegratorGain = 0;
    float phaseResistance = 0, phaseInductance = 0;
    unsigned char temperatureUpperLimit = 0, temperatureLowerLimit = 0;
    unsigned char hardwareVersion[4] = {};
    unsigned char firmwareMajor = 0, firmwareMinor = 0;
    unsigned short firmwarePatch = 0;
    std::string firmwareCommit;
};

// fn(key, field) for each field of the group, in key order.
template <typename Group, typename Fn>
void forEachField(Group& group, Fn&& fn) {
    using G = std::decay_t<Group>;
    auto fields = G::fields(group);
    static_assert(std::size(G::keys) == std::tuple_size_v<decltype(fields)>, "one key per field");
    std::size_t i = 0;
    std::apply([&](auto&... field) { (fn(G::keys[i++], field), ...); }, fields);
}

// Indent 4, keys sorted (the object is an ordered map), non-ASCII as is, no
// final newline. A commit byte that is not UTF-8 becomes U+FFFD: the
// device's bytes must not make the export throw.
inline std::string exportText(const ExportedConfiguration& c) {
    Json settings = Json::object();
    const auto write = [&settings](const char* key, const auto& value) { settings[key] = value; };
    std::apply([&write](const auto&... group) { (forEachField(group, write), ...); }, c.groups);
    settings["current_gain"] = c.currentGain;
    settings["current_integrator_gain"] = c.currentIntegratorGain;
    settings["motor_phase_resistance"] = c.phaseResistance;
    settings["motor_phase_inductance"] = c.phaseInductance;
    settings["motor_temperature_upper_limit"] = c.temperatureUpperLimit;
    settings["motor_temperature_lower_limit"] = c.temperatureLowerLimit;
    const unsigned char* hw = c.hardwareVersion;
    settings["hw_version"] = std::to_string(hw[0]) + "-" + std::to_string(hw[1]) + "." + std::to_string(hw[2]) + "-" +
                             std::to_string(hw[3]);
    settings["fw_version"] = std::to_string(c.firmwareMajor) + "." + std::to_string(c.firmwareMinor) + "." +
                             std::to_string(c.firmwarePatch);
    settings["fw_commit"] = c.firmwareCommit;
    Json document = Json::object();
    document[kModelKey] = std::move(settings);
    return document.dump(4, ' ', false, Json::error_handler_t::replace);
}

// A parsed import text and the text to print for it (indent 4, no final
// newline).
// The JSON library's members can throw only on a broken invariant.
struct Document {  // NOLINT(bugprone-exception-escape)
    Json json;
    std::string printed;
};

// Strict JSON (no comments, no trailing commas, nothing after the value).
// Throws std::runtime_error(kParseFailure) for anything else.
inline Document parseDocument(const std::string& text) {
    struct TooDeep {};
    const auto limitDepth = [](int depth, Json::parse_event_t, Json&) {
        if (depth > kMaxDepth) throw TooDeep{};
        return true;
    };
    try {
        Document document;
        document.json = Json::parse(text, limitDepth, true, false);
        document.printed = document.json.dump(4);
        return document;
    } catch (const Json::exception&) {
    } catch (const TooDeep&) {
    }
    throw std::runtime_error(kParseFailure);
}

// Whether the JSON value, converted by the library to T, keeps its value
// (an integer truncated from a floating-point number included). Values that
// are not numbers pass: the library's conversion judges their type.
template <typename T>
bool representable(const Json& value) {
    using Limits = std::numeric_limits<T>;
    if constexpr (std::is_same_v<T, bool>) {
        return true;
    } else if constexpr (std::is_floating_point_v<T>) {
        static_assert(std::is_same_v<T, float>, "float settings only");
        // Integers of 64 bits all lie within the float range.
        return !value.is_number_float() || std::fabs(value.get<double>()) <= Limits::max();
    } else {
        static_assert(std::is_integral_v<T> && sizeof(T) <= 4, "integers of up to 32 bits");
        if (value.is_number_unsigned()) return value.get<std::uint64_t>() <= std::uint64_t{Limits::max()};
        if (value.is_number_integer()) {
            const std::int64_t v = value.get<std::int64_t>();
            return v >= std::int64_t{Limits::min()} && v <= std::int64_t{Limits::max()};
        }
        if (value.is_number_float()) {
            const double v = value.get<double>();  // converts toward zero
            return v > double(Limits::min()) - 1.0 && v < double(Limits::max()) + 1.0;
        }
        return true;
    }
}

// The library's conversion to T. Throws its type_error for a value of
// another JSON type, std::out_of_range naming the key for a number that T
// cannot hold.
template <typename T>
T readValue(const Json& value, const char* key) {
    if (!representable<T>(value)) {
        throw std::out_of_range(std::string("Configuration value out of range for \"") + key + "\": " + value.dump());
    }
    return value.get<T>();
}

namespace detail {

inline bool enabled(const BrakeResistor& g) { return g.enabled; }
inline bool enabled(const MotorThermistor& g) { return g.enabled; }
template <typename Group>
bool enabled(const Group&) {
    return true;
}

// A group is read when all its keys are present and not null.
template <typename Group>
void planGroup(const Json& settings, std::vector<Setting>& plan) {
    for (const char* key : Group::keys) {
        const auto it = settings.find(key);
        if (it == settings.end() || it->is_null()) return;
    }
    Group group;
    forEachField(group, [&](const char* key, auto& field) {
        field = readValue<std::decay_t<decltype(field)>>(settings.at(key), key);
    });
    if (enabled(group)) plan.push_back(group);
}

}  // namespace detail

// The setter calls of an import, in order. Every value is read and checked
// before this returns, so a bad value throws before anything is sent.
inline std::vector<Setting> planImport(const Json& document) {
    std::vector<Setting> plan;
    if (!document.is_object()) return plan;
    const auto settings = document.find(kModelKey);
    if (settings == document.end() || !settings->is_object()) return plan;
    std::apply([&](const auto&... group) { (detail::planGroup<std::decay_t<decltype(group)>>(*settings, plan), ...); },
               SettingGroups{});
    return plan;
}

}  // namespace config
}  // namespace quorvel_detail

#endif
