// libFuzzer target for the import's text-to-settings step. Beyond crashes and
// sanitizer reports it checks that every accepted text yields settings that
// hold exactly the document's values (an integer converted toward zero from
// a floating-point number).

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <type_traits>
#include <vector>

#include "config/configuration_json.hpp"

namespace config = quorvel_detail::config;
using config::Json;

static void check(bool ok) { if (!ok) std::abort(); }

// The document's number as it stands, exactly (long double holds 64-bit
// integers).
static long double exactly(const Json& value) {
    if (value.is_boolean()) return value.get<bool>() ? 1 : 0;
    if (value.is_number_unsigned()) return static_cast<long double>(value.get<std::uint64_t>());
    if (value.is_number_integer()) return static_cast<long double>(value.get<std::int64_t>());
    check(value.is_number_float());
    return value.get<double>();
}

template <typename T>
static void checkField(const Json& value, T field) {
    if constexpr (std::is_same_v<T, bool>) {
        check(value.is_boolean() && value.get<bool>() == field);
    } else if constexpr (std::is_same_v<T, float>) {
        const long double source = exactly(value);
        check(std::isfinite(field) && std::fabs(source) <= 3.40282346638528859812e+38L &&
              static_cast<long double>(field) == static_cast<long double>(static_cast<float>(source)));
    } else {
        check(static_cast<long double>(field) == std::trunc(exactly(value)));
    }
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    config::Document document;
    try {
        document = config::parseDocument(std::string(reinterpret_cast<const char*>(data), size));
    } catch (const std::runtime_error&) {
        return 0;
    }
    std::vector<config::Setting> settings;
    try {
        settings = config::planImport(document.json);
    } catch (const Json::type_error&) {
    } catch (const std::out_of_range&) {
    }
    for (const config::Setting& setting : settings) {
        const Json& model = document.json.at(config::kModelKey);
        std::visit([&](const auto& group) {
            config::forEachField(group, [&](const char* key, auto field) { checkField(model.at(key), field); });
        }, setting);
    }
    return 0;
}
