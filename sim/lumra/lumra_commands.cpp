#include "sim/lumra/lumra_commands.h"

#include <charconv>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <string_view>

#include "sim/common/errors.h"

namespace qorsim::lumra {
namespace {

constexpr double kHeatPerChannelC = 1.5;

// A whole decimal integer, nothing before or after it.
template <typename T>
std::optional<T> parseNumber(std::string_view text) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
    return value;
}

std::optional<size_t> parseChannel(const Device& device, std::string_view text) {
    const std::optional<uint32_t> channel = parseNumber<uint32_t>(text);
    if (!channel || *channel >= device.channels.size()) return std::nullopt;
    return *channel;
}

double temperature(const Device& device) {
    double t = device.base_temperature_c;
    if (device.output_on)
        for (const Channel& c : device.channels)
            if (c.on) t += kHeatPerChannelC;
    return t;
}

using Handler = std::function<int32_t(Device&, const char*, std::string&)>;

// Commands that answer a value of the device and take no argument.
Handler answering(std::function<std::string(const Device&)> read) {
    return [read = std::move(read)](Device& d, const char*, std::string& answer) {
        answer = read(d);
        return int32_t{0};
    };
}

// Commands that take a channel number and answer one of its values.
Handler perChannel(std::function<std::string(const Channel&)> read) {
    return [read = std::move(read)](Device& d, const char* value, std::string& answer) {
        const std::optional<size_t> channel = value ? parseChannel(d, value) : std::nullopt;
        if (!channel) return err::kLumraInvalidValue;
        answer = read(d.channels[*channel]);
        return int32_t{0};
    };
}

int32_t setIntensity(Device& d, const char* value, std::string& answer) {
    if (value == nullptr) return err::kLumraInvalidValue;
    const std::string_view text(value);
    const size_t comma = text.find(',');
    if (comma == std::string_view::npos) return err::kLumraInvalidValue;
    const std::optional<size_t> channel = parseChannel(d, text.substr(0, comma));
    const std::optional<int64_t> intensity = parseNumber<int64_t>(text.substr(comma + 1));
    if (!channel || !intensity) return err::kLumraInvalidValue;
    Channel& c = d.channels[*channel];
    if (*intensity < c.min || *intensity > c.max) return err::kLumraInvalidValue;
    c.intensity = static_cast<int32_t>(*intensity);
    answer = "OK";
    return 0;
}

const std::map<std::string, Handler, std::less<>>& commands() {
    static const auto* table = new std::map<std::string, Handler, std::less<>>{
        {"PING", answering([](const Device&) { return std::string("PONG"); })},
        {"GET_SERIAL", answering([](const Device& d) { return std::to_string(d.serial); })},
        {"GET_TYPE", answering([](const Device& d) { return std::to_string(d.type); })},
        {"GET_PORT", answering([](const Device& d) { return d.port; })},
        {"GET_CHANNELS", answering([](const Device& d) { return std::to_string(d.channels.size()); })},
        {"GET_OUTPUT", answering([](const Device& d) { return std::string(d.output_on ? "ON" : "OFF"); })},
        {"GET_TEMPERATURE", answering([](const Device& d) {
             char text[32];
             std::snprintf(text, sizeof text, "%.1f", temperature(d));
             return std::string(text);
         })},
        {"GET_WAVELENGTH", perChannel([](const Channel& c) { return std::to_string(c.wavelength); })},
        {"GET_INTENSITY", perChannel([](const Channel& c) { return std::to_string(c.intensity); })},
        {"GET_STATE", perChannel([](const Channel& c) { return std::string(c.on ? "1" : "0"); })},
        {"SET_INTENSITY", setIntensity},
    };
    return *table;
}

}  // namespace

int32_t runCommand(Device& device, const std::string& command, const char* value, std::string& answer) {
    const auto it = commands().find(command);
    if (it == commands().end()) return err::kLumraUnknownCommand;
    return it->second(device, value, answer);
}

}  // namespace qorsim::lumra
