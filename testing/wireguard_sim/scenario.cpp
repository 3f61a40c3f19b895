#include <array>
#include <charconv>

#include "wireguard_sim/wireguard_sim.h"

namespace kesta::wgsim {
namespace {

constexpr std::pair<Fault, std::string_view> kFaultNames[] = {
    {Fault::kOpenAdapter, "OpenAdapter"},           {Fault::kCreateAdapter, "CreateAdapter"},
    {Fault::kSetConfiguration, "SetConfiguration"}, {Fault::kSetStateUp, "SetStateUp"},
    {Fault::kSetStateDown, "SetStateDown"},
};

constexpr std::pair<ReadAnomaly, std::string_view> kAnomalyNames[] = {
    {ReadAnomaly::kNone, "None"},
    {ReadAnomaly::kSizeQueryTrue, "SizeQueryTrue"},
    {ReadAnomaly::kWrongLastError, "WrongLastError"},
    {ReadAnomaly::kZeroSize, "ZeroSize"},
    {ReadAnomaly::kZeroPeers, "ZeroPeers"},
    {ReadAnomaly::kEndpointFamilyZero, "EndpointFamilyZero"},
    {ReadAnomaly::kIpv4Cidr33, "Ipv4Cidr33"},
    {ReadAnomaly::kSizeTooSmall, "SizeTooSmall"},
    {ReadAnomaly::kSecondCallFails, "SecondCallFails"},
};

constexpr std::pair<Handshake, std::string_view> kHandshakeNames[] = {
    {Handshake::kNormal, "Normal"},
    {Handshake::kNever, "Never"},
    {Handshake::kTimeWithoutRx, "TimeWithoutRx"},
    {Handshake::kRxWithoutHandshake, "RxWithoutHandshake"},
};

template <class E, std::size_t N>
std::string_view name_of(const std::pair<E, std::string_view> (&names)[N], E value) {
  for (const auto& [candidate, name] : names) {
    if (candidate == value) return name;
  }
  return "?";
}

template <class E, std::size_t N>
std::optional<E> value_of(const std::pair<E, std::string_view> (&names)[N], std::string_view name) {
  for (const auto& [value, candidate] : names) {
    if (candidate == name) return value;
  }
  return std::nullopt;
}

std::optional<std::uint32_t> number(std::string_view text) {
  std::uint32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return value;
}

// "A.B.C.D:PORT" with a nonzero port.
bool parse_server(std::string_view text, Scenario& scenario) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return false;
  const auto port = number(text.substr(colon + 1));
  if (!port || *port == 0 || *port > 0xFFFF) return false;
  std::array<std::uint8_t, 4> address{};
  std::string_view rest = text.substr(0, colon);
  for (std::size_t i = 0; i < address.size(); ++i) {
    const std::size_t dot = i + 1 < address.size() ? rest.find('.') : rest.size();
    if (dot == std::string_view::npos) return false;
    const auto part = number(rest.substr(0, dot));
    if (!part || *part > 0xFF) return false;
    address[i] = static_cast<std::uint8_t>(*part);
    rest = dot < rest.size() ? rest.substr(dot + 1) : std::string_view();
  }
  scenario.server_address = address;
  scenario.server_port = static_cast<std::uint16_t>(*port);
  return true;
}

std::string_view trim(std::string_view text) {
  const std::size_t begin = text.find_first_not_of(" \t\r");
  if (begin == std::string_view::npos) return {};
  return text.substr(begin, text.find_last_not_of(" \t\r") - begin + 1);
}

// Applies one "key value" line; false when it is not understood.
bool apply(Scenario& scenario, std::string_view key, std::string_view value) {
  if (key == "fail") {
    const auto fault = value_of(kFaultNames, value);
    if (fault) scenario.faults.insert(*fault);
    return fault.has_value();
  }
  if (key == "read_anomaly") {
    const auto anomaly = value_of(kAnomalyNames, value);
    if (anomaly) scenario.read_anomaly = *anomaly;
    return anomaly.has_value();
  }
  if (key == "anomaly_after_reads") {
    const auto reads = number(value);
    if (reads) scenario.anomaly_after_reads = *reads;
    return reads.has_value();
  }
  if (key == "handshake") {
    const auto handshake = value_of(kHandshakeNames, value);
    if (handshake) scenario.handshake = *handshake;
    return handshake.has_value();
  }
  if (key == "handshake_delay_ms") {
    const auto delay = number(value);
    if (delay) scenario.handshake_delay = std::chrono::milliseconds(*delay);
    return delay.has_value();
  }
  if (key == "existing_adapter" && !value.empty()) {
    scenario.existing_adapters.emplace_back(value);
    return true;
  }
  if (key == "server") return parse_server(value, scenario);
  if (key == "attach_read_only_stderr" && value.empty()) {
    scenario.attach_read_only_stderr = true;
    return true;
  }
  if (key == "attach_error_mode") {
    const auto mode = number(value);
    if (mode) scenario.attach_error_mode = *mode;
    return mode.has_value();
  }
  return false;
}

}  // namespace

std::string_view anomaly_name(ReadAnomaly anomaly) {
  return name_of(kAnomalyNames, anomaly);
}

std::string format_scenario(const Scenario& scenario) {
  std::string text;
  for (Fault fault : scenario.faults) {
    text.append("fail ").append(name_of(kFaultNames, fault)).append("\n");
  }
  text.append("read_anomaly ").append(name_of(kAnomalyNames, scenario.read_anomaly)).append("\n");
  text.append("anomaly_after_reads ")
      .append(std::to_string(scenario.anomaly_after_reads))
      .append("\n");
  text.append("handshake ").append(name_of(kHandshakeNames, scenario.handshake)).append("\n");
  text.append("handshake_delay_ms ")
      .append(std::to_string(scenario.handshake_delay.count()))
      .append("\n");
  for (const std::string& name : scenario.existing_adapters) {
    text.append("existing_adapter ").append(name).append("\n");
  }
  text.append("server ");
  for (std::uint8_t part : scenario.server_address) text.append(std::to_string(part)).append(".");
  text.back() = ':';
  text.append(std::to_string(scenario.server_port)).append("\n");
  if (scenario.attach_error_mode) {
    text.append("attach_error_mode ")
        .append(std::to_string(*scenario.attach_error_mode))
        .append("\n");
  }
  if (scenario.attach_read_only_stderr) text.append("attach_read_only_stderr\n");
  return text;
}

std::pair<std::optional<Scenario>, std::string> parse_scenario(std::string_view text) {
  Scenario scenario;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view raw = text.substr(0, end);
    if (raw.ends_with('\r')) raw.remove_suffix(1);  // files written in text mode on Windows
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    const std::string_view line = trim(raw.substr(0, raw.find('#')));
    if (line.empty()) continue;
    const std::size_t space = line.find(' ');
    const std::string_view key = line.substr(0, space);
    const std::string_view value =
        space == std::string_view::npos ? std::string_view() : trim(line.substr(space + 1));
    if (!apply(scenario, key, value)) return {std::nullopt, std::string(raw)};
  }
  return {scenario, {}};
}

}  // namespace kesta::wgsim
