// Configuration export and import against simulated drivers: the exact text,
// the getters' and setters' order on the wire, what is sent for each kind
// of document, and that a bad value sends nothing.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device_access.hpp"
#include "driver_impl.hpp"
#include "sim_device.hpp"

using namespace qt_test;

namespace {

constexpr uint32_t kNode = 0x2A5;

using Bytes = std::array<uint8_t, 8>;

// A getter's reply and the setter that takes the same values back (setter 0: export only).
struct Exchange { uint8_t getter; Bytes reply; uint8_t setter, setterDlc; };

// In export order. 0.1 as undervoltage level; the thermistor enabled with an
// upper limit of 90; the bit rate 500000 (index 6).
const std::vector<Exchange> kDriver = {
    {59, Payload().put<uint32_t>(500000).bytes(), 58, 4},
    {12, Payload().put(0.1f).put(52.5f).bytes(), 11, 8},
    {14, Payload().put(2.5f).putBool(true).putBool(false).putBool(false).bytes(), 13, 8},
    {16, Payload().put(-3.25f).bytes(), 15, 4},
    {18, Payload().put<uint8_t>(14).put<uint16_t>(380).put(20.0f).bytes(), 17, 8},
    {85, Payload().put(0.125f).put(0.0009765625f).bytes(), 0, 0},
    {22, Payload().put<uint8_t>(4).put<int32_t>(16384).putBool(true).bytes(), 21, 8},
    {26, Payload().put<uint8_t>(9).put<int32_t>(-1).putBool(false).bytes(), 25, 8},
    {24, Payload().put(6.0f).bytes(), 23, 8},
    {20, Payload().put(2.0f).put(10.0f).bytes(), 19, 8},
    {40, Payload().put(10000.0f).put<uint16_t>(3435).put<uint8_t>(90).putBool(true).bytes(), 38, 8},
    {46, Payload().putBool(true).putBool(false).putBool(true).bytes(), 45, 1},
    {28, Payload().put(20.5f).bytes(), 27, 4},
    {30, Payload().put(0.5f).put(0.25f).bytes(), 29, 8},
    {33, Payload().put(1.5f).put(300.0f).bytes(), 0, 0},
    {32, Payload().put(1000.0f).bytes(), 31, 8},
    {3, {1, 2, 3, 4}, 0, 0},
    {4, Payload().put<uint8_t>(1).put<uint8_t>(4).put<uint16_t>(12).bytes(), 0, 0},
    {5, {'a', 'b', 'c', '1', '2', '3', 0xFF, 0}, 0, 0},
};

// The exact text is this document indented by 4, keys sorted; the commit's
// byte 0xFF comes out as U+FFFD and its NUL escaped.
const std::string kExported = nlohmann::json::parse(R"({"Vostel Q4": {"brake_resistance_value": 2.5, "can_baud_rate": 6,
    "current_controller_bandwidth": 1000.0, "current_gain": 1.5, "current_integrator_gain": 300.0,
    "fw_commit": "abc123)" "\xEF\xBF\xBD" R"(\u0000", "fw_version": "1.4.12", "gear_ratio": 6.0,
    "hw_version": "1-2.3-4", "is_brake_resistor_enabled": true, "is_motor_thermistor_enabled": true,
    "motor_calib_current": 10.0, "motor_calib_voltage": 2.0, "motor_current_limit": 20.0,
    "motor_encoder_resolution_param": 16384, "motor_encoder_type": 4, "motor_encoder_use_index": true,
    "motor_kv_rating": 380, "motor_phase_inductance": 0.0009765625, "motor_phase_resistance": 0.125,
    "motor_pole_pairs": 14, "motor_temperature_lower_limit": 80, "motor_temperature_upper_limit": 90,
    "motor_thermistor_beta": 3435, "motor_thermistor_r_ref": 10000.0, "output_encoder_resolution_parameter": -1,
    "output_encoder_type": 9, "output_encoder_use_index": false, "overvoltage_level": 52.5, "position_gain": 20.5,
    "regen_current_trip_level": -3.25, "startup_closed_loop": true, "startup_encoder_matching": false,
    "startup_index_search": true, "undervoltage_level": 0.10000000149011612, "vel_gain": 0.5,
    "vel_integrator_gain": 0.25}})").dump(4);

SimReply replyOf(const Bytes& data) { return SimReply{data, 8, Millis(0), 1, std::nullopt}; }

std::vector<uint8_t> commandIds(const std::vector<can_frame_data>& frames) {
    std::vector<uint8_t> ids;
    for (can_frame_data f : frames) ids.push_back(getCommandIdFromFrame(&f));
    return ids;
}

class Configuration : public ::testing::Test {
protected:
    void SetUp() override {
        for (const Exchange& e : kDriver) sim.device.answer(e.getter, replyOf(e.reply));
        ASSERT_TRUE(sim.ready());
    }

    struct Imported { bool result; std::string printed; std::vector<can_frame_data> frames; };

    Imported importText(const std::string& text) {
        sim.bus.clearSent();
        testing::internal::CaptureStdout();
        try {
            // A braced list is evaluated in order: the import, then what it printed and sent.
            return {driver.importConfiguration(text), testing::internal::GetCapturedStdout(), sim.bus.deviceFrames()};
        } catch (...) {
            testing::internal::GetCapturedStdout();
            EXPECT_EQ(sim.bus.deviceFrames().size(), 0u) << "sent before throwing";
            throw;
        }
    }
    Imported import(const std::string& settings) { return importText(R"({"Vostel Q4": )" + settings + "}"); }

    SimBus sim{kNode};
    Driver driver{kNode, &sim.bus};
    VirtualPacer pacer;
    std::optional<PacedBy<Driver>> paced{std::in_place, driver, pacer};
};

TEST_F(Configuration, ExportWritesEveryGetterOutputInOrderOrNothing) {
    EXPECT_EQ(driver.exportConfiguration(), kExported);
    std::vector<uint8_t> order;
    for (const Exchange& e : kDriver) order.push_back(e.getter);
    EXPECT_EQ(commandIds(sim.bus.deviceFrames()), order);

    // A rate outside the table is -1, written as a 32-bit unsigned value.
    sim.device.answer(59, Payload().put<uint32_t>(800000).reply());
    EXPECT_NE(driver.exportConfiguration().find(R"("can_baud_rate": 4294967295,)"), std::string::npos);

    // The first getter that fails ends the export.
    for (int silent : {0, 12}) {
        sim.device.silence(order[silent]);
        sim.bus.clearSent();
        EXPECT_EQ(driver.exportConfiguration(), "") << silent;
        EXPECT_EQ(commandIds(sim.bus.deviceFrames()), std::vector<uint8_t>(order.begin(), order.begin() + silent + 1));
        sim.device.answer(order[silent], replyOf(kDriver[silent].reply));
    }
}

// Export, then import what was exported: the driver receives exactly the
// values it reported, in import order, the bit rate last.
TEST_F(Configuration, RoundTripSendsWhatWasReported) {
    const std::string text = driver.exportConfiguration();
    const Imported got = importText(text);
    EXPECT_TRUE(got.result);
    EXPECT_EQ(got.printed, text + "\n");

    const std::vector<uint8_t> importOrder = {11, 13, 15, 17, 21, 25, 23, 19, 38, 45, 27, 29, 31, 58};
    ASSERT_EQ(got.frames.size(), importOrder.size());
    for (size_t i = 0; i < importOrder.size(); ++i) {
        auto e = std::find_if(kDriver.begin(), kDriver.end(), [&](auto& x) { return x.setter == importOrder[i]; });
        std::vector<uint8_t> want(e->reply.begin(), e->reply.begin() + e->setterDlc);
        if (e->setter == 25) want[5] |= 0x02;      // configureOutputEncoder's enable bit
        if (e->setter == 38) want[6] = want[7] = 0;  // the thermistor reply's limit and flag
        expectSameFrame(got.frames[i], makeFrame(kNode, e->setter, want, e->setterDlc));
    }
    EXPECT_EQ(pacer.slept(), std::chrono::milliseconds(14 * 50));
}

TEST_F(Configuration, ImportSendsOnlyTheGroupsThatApplyAndStopsAtAFailedSetter) {
    const struct { bool result; std::vector<uint8_t> sent; const char* settings; } rows[] = {
        {true, {}, "5"},
        {true, {27}, R"({"gear_ratio": null, "position_gain": 2})"},
        {true, {}, R"({"motor_pole_pairs": 7, "motor_current_limit": 3.0})"},
        {true, {}, R"({"is_brake_resistor_enabled": false, "brake_resistance_value": 1.5})"},
        {true, {},
         R"({"is_motor_thermistor_enabled": false, "motor_thermistor_r_ref": 1, "motor_thermistor_beta": 2})"},
        {false, {11, 23},
         R"({"can_baud_rate": 4294967295, "gear_ratio": 2, "undervoltage_level": 1, "overvoltage_level": 2})"},
        {false, {}, R"({"can_baud_rate": 9})"},
    };
    for (const auto& [result, sent, settings] : rows) {
        const Imported got = import(settings);
        EXPECT_EQ(std::make_pair(got.result, commandIds(got.frames)), std::make_pair(result, sent)) << settings;
    }
    const Imported empty = importText("{}");
    EXPECT_EQ(std::make_tuple(empty.result, empty.printed, empty.frames.size()), std::make_tuple(true, "{}\n", 0u));

    // A disabled encoder is sent as all zeros, whatever else its group holds.
    const auto disable = import(R"({"output_encoder_type": 0, "output_encoder_resolution_parameter": 5,
                                    "output_encoder_use_index": true})").frames;
    ASSERT_EQ(disable.size(), 1u);
    expectSameFrame(disable[0], makeFrame(kNode, 25, {}, 8));

    // Every setter would return RET_INTERFACE_NOT_RUNNING: only the first is
    // called, and its pause is kept.
    sim.bus.closeInterface();
    const auto before = pacer.slept();
    EXPECT_FALSE(import(R"({"regen_current_trip_level": 3, "gear_ratio": 4, "position_gain": 5})").result);
    EXPECT_EQ(pacer.slept() - before, std::chrono::milliseconds(50));
}

// Nothing is sent for a text that cannot be parsed or a value that does not
// fit its setting, even when groups before it are good.
TEST_F(Configuration, ImportRefusesBadTextAndValuesBeforeSending) {
    const auto failure = [&](const std::string& text) -> std::string {
        try {
            importText(text);
        } catch (const std::exception& e) {
            return e.what();
        }
        return "no exception";
    };
    for (const std::string& text : std::vector<std::string>{"", "{", "{} x", "// note\n{}", R"({"a": 1,})", "[1,]",
             R"({"Vostel Q4": 1e400})", std::string(100000, '[') + std::string(100000, ']')})
        EXPECT_EQ(failure(text), "Failed to parse configuration file: invalid JSON format") << text.substr(0, 20);

    // A value out of range names its key; a value of the wrong type is the JSON library's type error.
    const std::string good = R"({"Vostel Q4": {"undervoltage_level": 1, "overvoltage_level": 2, )";
    const std::pair<const char*, const char*> refused[] = {
        {R"("motor_pole_pairs": 300, "motor_kv_rating": 1, "motor_current_limit": 1)", R"("motor_pole_pairs")"},
        {R"("motor_pole_pairs": -1, "motor_kv_rating": 1, "motor_current_limit": 1)", R"("motor_pole_pairs")"},
        {R"("motor_pole_pairs": 255.5, "motor_kv_rating": 70000, "motor_current_limit": 1)", R"("motor_kv_rating")"},
        {R"("motor_encoder_type": 1, "motor_encoder_resolution_param": 2147483648, "motor_encoder_use_index": true)",
         R"("motor_encoder_resolution_param")"},
        {R"("gear_ratio": 1e39)", R"("gear_ratio")"},
        {R"("can_baud_rate": 4294967296)", R"("can_baud_rate")"},
        {R"("gear_ratio": "2")", "[json.exception.type_error."},
        {R"("startup_index_search": 1, "startup_encoder_matching": true, "startup_closed_loop": true)",
         "[json.exception.type_error."},
    };
    for (const auto& [settings, mention] : refused) {
        const std::string message = failure(good + settings + "}}");
        EXPECT_NE(message.find(mention), std::string::npos) << message;
    }
}

TEST_F(Configuration, ImportPausesFiftyMillisecondsAfterEachSetterInRealTime) {
    paced.reset();
    const auto start = std::chrono::steady_clock::now();
    const Imported got = import(R"({"gear_ratio": 4, "position_gain": 5, "vel_gain": 1, "vel_integrator_gain": 2})");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(got.result);
    EXPECT_EQ(commandIds(got.frames), (std::vector<uint8_t>{23, 27, 29}));
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_LT(elapsed, std::chrono::seconds(5));
}

}  // namespace
