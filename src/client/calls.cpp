#include "client/calls.h"

#include <algorithm>
#include <cstring>
#include <exception>
#include <initializer_list>
#include <new>
#include <optional>
#include <string>
#include <string_view>

#include "core/utf8.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace kesta::client {
namespace {

static_assert(sizeof(void*) != 8 ||
                  (sizeof(kesta_config) == kConfigSizeV1 && sizeof(kesta_info) == kInfoSizeV1 &&
                   sizeof(kesta_error) == kErrorSizeV1),
              "a structure grew: keep its first version's size above and add fields at its end");

using Outcome = Exchange::Outcome;

// Writes `parts` into the caller's error, cut at a character boundary; never allocates.
void set_error(kesta_error* error, std::uint32_t code,
               std::initializer_list<std::string_view> parts) noexcept {
  if (error == nullptr) return;
  error->windows_code = code;
  std::size_t used = 0;
  const std::size_t room = sizeof error->text - 1;
  for (std::string_view part : parts) {
    std::size_t take = std::min(part.size(), room - used);
    // Back off to the start of a character when the text is cut.
    if (take < part.size()) {
      while (take > 0 && (static_cast<unsigned char>(part[take]) & 0xC0) == 0x80) --take;
    }
    std::memcpy(error->text + used, part.data(), take);
    used += take;
    if (take < part.size()) break;
  }
  error->text[used] = '\0';
}

// Zeroes what follows `size` in a structure of the caller's, however large its version is.
template <class T>
void clear(T* structure) noexcept {
  std::memset(reinterpret_cast<unsigned char*>(structure) + sizeof structure->size, 0,
              structure->size - sizeof structure->size);
}

kesta_status bad(kesta_error* error, std::initializer_list<std::string_view> parts) noexcept {
  set_error(error, 0, parts);
  return KESTA_BAD_ARGUMENT;
}

// Checks and clears the caller's outputs; a status when one is unusable.
std::optional<kesta_status> prepare(kesta_info* out, kesta_state* state, kesta_error* error,
                                    std::uint32_t timeout_ms) {
  // Without a usable error there is nowhere to say why.
  if (error != nullptr && error->size < kErrorSizeV1) return KESTA_BAD_ARGUMENT;
  if (error != nullptr) clear(error);
  if (state != nullptr) *state = KESTA_STATE_UNKNOWN;
  if (out != nullptr) {
    if (out->size < kInfoSizeV1) {
      return bad(error, {"out->size is ", std::to_string(out->size), "; a kesta_info has at least ",
                         std::to_string(kInfoSizeV1), " bytes"});
    }
    clear(out);
  }
  if (timeout_ms == 0) return bad(error, {"timeout_ms is 0; give at least 1 millisecond"});
  return std::nullopt;
}

std::optional<kesta_status> check(const kesta_config* config, kesta_error* error) {
  if (config == nullptr) return bad(error, {"config is NULL"});
  if (config->size < kConfigSizeV1) {
    return bad(error, {"config->size is ", std::to_string(config->size),
                       "; a kesta_config has at least ", std::to_string(kConfigSizeV1), " bytes"});
  }
  if (config->client_port_count > 0 && config->client_ports == nullptr) {
    return bad(error, {"config->client_ports is NULL but config->client_port_count is ",
                       std::to_string(config->client_port_count)});
  }
  // Ports beyond what a request line can carry would only be allocated to be refused.
  if (config->client_port_count > kMaxRequestBytes) {
    return bad(error, {"config->client_port_count is ", std::to_string(config->client_port_count),
                       "; the service reads no request that long"});
  }
  if (config->endpoint_url != nullptr) {
    // Bounded before it is measured further: the service reads no longer line anyway.
    const std::string_view url(config->endpoint_url,
                               strnlen(config->endpoint_url, kMaxRequestBytes + 1));
    if (const auto fault = validate_utf8(url)) {
      return bad(error, {"config->endpoint_url is not UTF-8: ", fault->message()});
    }
  }
  return std::nullopt;
}

protocol::Config to_protocol(const kesta_config& from) {
  protocol::Config config;
  std::memcpy(config.encryption.client_key.data(), from.client_key, 32);
  std::memcpy(config.encryption.server_key.data(), from.server_key, 32);
  std::memcpy(config.encryption.shared_key.data(), from.shared_key, 32);
  if (from.endpoint_url != nullptr) config.endpoint.url = from.endpoint_url;
  std::memcpy(config.endpoint.ip.data(), from.endpoint_ip, 4);
  config.endpoint.port = from.endpoint_port;
  std::memcpy(config.client.ip.data(), from.client_ip, 4);
  config.client.ports.assign(from.client_ports, from.client_ports + from.client_port_count);
  return config;
}

void fill(kesta_info* out, const protocol::WireguardInterfaceInfo& info) {
  if (out == nullptr) return;
  if (info.last_handshake) {
    constexpr std::int64_t kPerSecond = 10'000'000;  // 100-nanosecond intervals
    const std::int64_t since = info.last_handshake->intervals - protocol::kUnixEpochIntervals;
    out->has_handshake = 1;
    out->last_handshake_seconds = since / kPerSecond;
    out->last_handshake_nanoseconds = static_cast<std::uint32_t>(since % kPerSecond * 100);
  }
  out->tx_bytes = info.tx_bytes;
  out->rx_bytes = info.rx_bytes;
}

// The status of a delivery, with the caller's outputs filled in.
kesta_status settle(const Request& request, const Exchange& exchange, kesta_info* out,
                    kesta_state* state, kesta_error* error) {
  switch (exchange.outcome) {
    case Outcome::kResponse:
      break;
    case Outcome::kNoResponse:
      if (exchange.error.empty()) {
        set_error(error, 0, {"the service ended the connection without an answer"});
      } else {
        set_error(error, exchange.system_code,
                  {"the service ended the connection without an answer (", exchange.error, ")"});
      }
      return KESTA_NO_RESPONSE;
    case Outcome::kUnreachable:
      set_error(error, exchange.system_code, {"cannot open ", request.pipe, ": ", exchange.error});
      return KESTA_PIPE_UNREACHABLE;
    case Outcome::kNotRunning:
      set_error(error, exchange.system_code, {exchange.error});
      return KESTA_SERVICE_NOT_RUNNING;
    case Outcome::kUntrusted:
      set_error(error, exchange.system_code, {"refused to write to the pipe: ", exchange.error});
      return KESTA_NOT_THE_SERVICE;
    case Outcome::kTimedOut:
      set_error(error, exchange.system_code, {exchange.error});
      return KESTA_TIMED_OUT;
  }
  const auto response = protocol::decode_response(exchange.line);
  if (!response) {
    set_error(error, 0, {"the service's answer cannot be read: ", response.error()});
    return KESTA_NO_RESPONSE;
  }
  if (const auto* connected = std::get_if<protocol::Connected>(&*response)) {
    fill(out, connected->info);
    if (state != nullptr) *state = KESTA_STATE_CONNECTED;
    return KESTA_CONNECTED;
  }
  if (const auto* failure = std::get_if<protocol::Error>(&*response)) {
    set_error(error, 0, {failure->message});
    return KESTA_SERVICE_ERROR;
  }
  if (state != nullptr) *state = KESTA_STATE_DISCONNECTED;
  return KESTA_DISCONNECTED;
}

// Runs one call; whatever is thrown on the way becomes a status here, at the boundary.
template <class Body>
kesta_status guarded(kesta_error* error, Body body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    set_error(error, 0, {"out of memory"});
  } catch (const std::exception& e) {
    set_error(error, 0, {"internal error: ", e.what()});
  } catch (...) {
    set_error(error, 0, {"internal error"});
  }
  return KESTA_INTERNAL_ERROR;
}

kesta_status deliver_command(Deliver deliver, const protocol::Command& command, kesta_info* out,
                             kesta_state* state, kesta_error* error, std::uint32_t timeout_ms) {
  Request request;
  request.line = protocol::encode_command(command);
  if (request.line.size() > kMaxRequestBytes) {
    return bad(error, {"the configuration makes a request of ", std::to_string(request.line.size()),
                       " bytes; the service reads at most ", std::to_string(kMaxRequestBytes)});
  }
  request.timeout = std::chrono::milliseconds(timeout_ms);
  return settle(request, deliver(request), out, state, error);
}

}  // namespace

kesta_status connect_with(Deliver deliver, const kesta_config* config, kesta_info* out,
                          kesta_error* error, std::uint32_t timeout_ms) noexcept {
  return guarded(error, [&] {
    if (auto refused = prepare(out, nullptr, error, timeout_ms)) return *refused;
    if (auto refused = check(config, error)) return *refused;
    return deliver_command(deliver, protocol::Connect{to_protocol(*config)}, out, nullptr, error,
                           timeout_ms);
  });
}

kesta_status disconnect_with(Deliver deliver, kesta_error* error,
                             std::uint32_t timeout_ms) noexcept {
  return guarded(error, [&] {
    if (auto refused = prepare(nullptr, nullptr, error, timeout_ms)) return *refused;
    return deliver_command(deliver, protocol::Disconnect{}, nullptr, nullptr, error, timeout_ms);
  });
}

kesta_status get_info_with(Deliver deliver, kesta_info* out, kesta_state* state, kesta_error* error,
                           std::uint32_t timeout_ms) noexcept {
  return guarded(error, [&] {
    if (auto refused = prepare(out, state, error, timeout_ms)) return *refused;
    return deliver_command(deliver, protocol::Info{}, out, state, error, timeout_ms);
  });
}

const char* status_name(kesta_status status) noexcept {
  switch (status) {
    case KESTA_CONNECTED:
      return "connected";
    case KESTA_DISCONNECTED:
      return "disconnected";
    case KESTA_SERVICE_ERROR:
      return "service_error";
    case KESTA_NO_RESPONSE:
      return "no_response";
    case KESTA_PIPE_UNREACHABLE:
      return "pipe_unreachable";
    case KESTA_SERVICE_NOT_RUNNING:
      return "service_not_running";
    case KESTA_NOT_THE_SERVICE:
      return "not_the_service";
    case KESTA_TIMED_OUT:
      return "timed_out";
    case KESTA_BAD_ARGUMENT:
      return "bad_argument";
    case KESTA_INTERNAL_ERROR:
      return "internal_error";
  }
  return "unknown";
}

}  // namespace kesta::client
