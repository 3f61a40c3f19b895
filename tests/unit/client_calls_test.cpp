// The client library's C interface over a fake delivery: its structures' layout, what every
// answer of the service and every failure of the pipe become, and the arguments it refuses.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <optional>
#include <string>

#include "client/calls.h"
#include "protocol/encode.h"

namespace kesta::client {
namespace {

using Outcome = Exchange::Outcome;

// Field offsets and sizes are the interface of every language that declares these structures
// for itself (docs/CLIENT.md's C# and Python): they may never move.
TEST(ClientAbi, StructureLayoutAndStatusValuesArePinned) {
  const struct {
    const char* what;
    std::size_t actual, expected;
  } rows[] = {
      {"sizeof kesta_config", sizeof(kesta_config), 136},
      {"client_key", offsetof(kesta_config, client_key), 4},
      {"server_key", offsetof(kesta_config, server_key), 36},
      {"shared_key", offsetof(kesta_config, shared_key), 68},
      {"endpoint_ip", offsetof(kesta_config, endpoint_ip), 100},
      {"endpoint_port", offsetof(kesta_config, endpoint_port), 104},
      {"endpoint_url", offsetof(kesta_config, endpoint_url), 112},
      {"client_ip", offsetof(kesta_config, client_ip), 120},
      {"client_port_count", offsetof(kesta_config, client_port_count), 124},
      {"client_ports", offsetof(kesta_config, client_ports), 128},
      {"sizeof kesta_info", sizeof(kesta_info), 40},
      {"has_handshake", offsetof(kesta_info, has_handshake), 4},
      {"last_handshake_seconds", offsetof(kesta_info, last_handshake_seconds), 8},
      {"last_handshake_nanoseconds", offsetof(kesta_info, last_handshake_nanoseconds), 16},
      {"tx_bytes", offsetof(kesta_info, tx_bytes), 24},
      {"rx_bytes", offsetof(kesta_info, rx_bytes), 32},
      {"sizeof kesta_error", sizeof(kesta_error), 1032},
      {"windows_code", offsetof(kesta_error, windows_code), 4},
      {"text", offsetof(kesta_error, text), 8},
      {"sizeof kesta_status", sizeof(kesta_status), 4},
      {"sizeof kesta_state", sizeof(kesta_state), 4},
  };
  for (const auto& row : rows) EXPECT_EQ(row.actual, row.expected) << row.what;
  const char* names[] = {"connected",       "disconnected",     "service_error",
                         "no_response",     "pipe_unreachable", "service_not_running",
                         "not_the_service", "timed_out",        "bad_argument",
                         "internal_error",  "unknown"};
  for (int value = 0; value <= 10; ++value) {
    EXPECT_STREQ(status_name(static_cast<kesta_status>(value)), names[value]) << value;
  }
}

kesta_config sample_config(const std::uint16_t* ports, std::uint32_t count) {
  kesta_config config{};
  config.size = sizeof config;
  for (int i = 0; i < 32; ++i) {
    config.client_key[i] = static_cast<std::uint8_t>(i + 1);
    config.server_key[i] = static_cast<std::uint8_t>(0x40 + i);
    config.shared_key[i] = static_cast<std::uint8_t>(0x80 + i);
  }
  const std::uint8_t endpoint[] = {203, 0, 113, 1}, client[] = {10, 0, 0, 2};
  std::memcpy(config.endpoint_ip, endpoint, 4);
  std::memcpy(config.client_ip, client, 4);
  config.endpoint_port = 51820;
  config.endpoint_url = "vpn.example";
  config.client_ports = ports;
  config.client_port_count = count;
  return config;
}

using Answer = std::function<Exchange(const Request&)>;

Answer reply(const protocol::Response& response) {
  return [line = *protocol::encode_response(response)](const Request&) {
    return Exchange{Outcome::kResponse, line, {}, 0};
  };
}

Answer failure(Outcome outcome, std::string error, std::uint32_t code) {
  return [=](const Request&) { return Exchange{outcome, {}, error, code}; };
}

enum class Call { kConnect, kDisconnect, kInfo };

// Every answer of the service and failure of the pipe, and every unusable argument, through the
// C interface over a fake delivery; the outputs are larger than this version's, as a program
// built against a later header passes them.
TEST(ClientCalls, StatusesTextsAndOutputs) {
  const std::uint16_t ports[] = {53, 443};
  const std::string huge(1 << 20, 'u');
  const kesta_config good = sample_config(ports, 2);
  kesta_config small = good, no_ports = good, bad_url = good, long_url = good;
  small.size = 135;
  no_ports.client_ports = nullptr;
  bad_url.endpoint_url = "caf\xC3";
  long_url.endpoint_url = huge.c_str();
  std::string accents;  // 1200 bytes, cut to whole characters
  for (int i = 0; i < 600; ++i) accents += "\xC3\xA9";
  const protocol::Response connected =
      protocol::Connected{{protocol::SystemTime{133'444'736'005'000'000}, 1234, 5678}};
  const struct Row {
    const char* what;
    Call call;
    const kesta_config* config;
    std::uint32_t timeout_ms;
    Answer answer;  // empty: nothing may be delivered
    kesta_status status;
    std::string text;
    std::uint32_t code;
  } rows[] = {
      {"connected", Call::kConnect, &good, 2500, reply(connected), KESTA_CONNECTED, "", 0},
      {"disconnected", Call::kDisconnect, nullptr, 9, reply(protocol::Disconnected{}),
       KESTA_DISCONNECTED, "", 0},
      {"a long error, cut", Call::kConnect, &good, 2500, reply(protocol::Error{accents}),
       KESTA_SERVICE_ERROR, accents.substr(0, 1022), 0},
      {"unreadable", Call::kInfo, nullptr, 2500,
       [](const Request&) {
         return Exchange{Outcome::kResponse, "pEluZm8=\n", {}, 0};
       },
       KESTA_NO_RESPONSE,
       "the service's answer cannot be read: unknown variant `Info`, expected one of "
       "`Connected`, `Disconnected`, `Error`",
       0},
      {"hung up", Call::kInfo, nullptr, 2500, failure(Outcome::kNoResponse, "", 0),
       KESTA_NO_RESPONSE, "the service ended the connection without an answer", 0},
      {"unreachable", Call::kInfo, nullptr, 2500, failure(Outcome::kUnreachable, "Denied.", 5),
       KESTA_PIPE_UNREACHABLE, "cannot open \\\\.\\pipe\\redevuva.sock: Denied.", 5},
      {"out of memory", Call::kInfo, nullptr, 2500,
       [](const Request&) -> Exchange { throw std::bad_alloc(); }, KESTA_INTERNAL_ERROR,
       "out of memory", 0},
      {"no config", Call::kConnect, nullptr, 2500, nullptr, KESTA_BAD_ARGUMENT, "config is NULL",
       0},
      {"old config", Call::kConnect, &small, 2500, nullptr, KESTA_BAD_ARGUMENT,
       "config->size is 135; a kesta_config has at least 136 bytes", 0},
      {"no ports", Call::kConnect, &no_ports, 2500, nullptr, KESTA_BAD_ARGUMENT,
       "config->client_ports is NULL but config->client_port_count is 2", 0},
      {"not UTF-8", Call::kConnect, &bad_url, 2500, nullptr, KESTA_BAD_ARGUMENT,
       "config->endpoint_url is not UTF-8: incomplete utf-8 byte sequence from index 3", 0},
      {"too long", Call::kConnect, &long_url, 2500, nullptr, KESTA_BAD_ARGUMENT,
       "the configuration makes a request of 1398337 bytes; the service reads at most 1048576", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    alignas(8) unsigned char info_bytes[sizeof(kesta_info) + 16];
    std::memset(info_bytes, 0xEE, sizeof info_bytes);
    auto& info = *reinterpret_cast<kesta_info*>(info_bytes);
    info.size = sizeof info_bytes;
    kesta_error error;
    std::memset(&error, 0xEE, sizeof error);
    error.size = sizeof error;
    kesta_state state = KESTA_STATE_CONNECTED;
    std::optional<Request> delivered;
    const auto deliver = [&](const Request& request) {
      delivered = request;
      return row.answer ? row.answer(request) : Exchange{};
    };
    const kesta_status status =
        row.call == Call::kConnect
            ? connect_with(deliver, row.config, &info, &error, row.timeout_ms)
        : row.call == Call::kInfo ? get_info_with(deliver, &info, &state, &error, row.timeout_ms)
                                  : disconnect_with(deliver, &error, row.timeout_ms);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(error.text, row.text);
    EXPECT_EQ(error.windows_code, row.code);
    ASSERT_EQ(delivered.has_value(), static_cast<bool>(row.answer));
    if (delivered) {
      EXPECT_EQ(delivered->timeout, std::chrono::milliseconds(row.timeout_ms));
      EXPECT_EQ(delivered->pipe, "\\\\.\\pipe\\redevuva.sock");
      EXPECT_EQ(delivered->service, "redevuva_service");
      protocol::Config sent{
          {}, {"vpn.example", {203, 0, 113, 1}, 51820}, {{10, 0, 0, 2}, {53, 443}}};
      std::memcpy(sent.encryption.client_key.data(), good.client_key, 32);
      std::memcpy(sent.encryption.server_key.data(), good.server_key, 32);
      std::memcpy(sent.encryption.shared_key.data(), good.shared_key, 32);
      EXPECT_EQ(delivered->line,
                protocol::encode_command(
                    row.call == Call::kConnect      ? protocol::Command{protocol::Connect{sent}}
                    : row.call == Call::kDisconnect ? protocol::Command{protocol::Disconnect{}}
                                                    : protocol::Command{protocol::Info{}}));
    }
    if (row.call == Call::kInfo) {
      EXPECT_EQ(state, row.status == KESTA_CONNECTED      ? KESTA_STATE_CONNECTED
                       : row.status == KESTA_DISCONNECTED ? KESTA_STATE_DISCONNECTED
                                                          : KESTA_STATE_UNKNOWN);
    }
    if (row.call == Call::kDisconnect) continue;
    // What lies beyond this version's fields is zeroed, and so is everything else but a
    // connection's statistics.
    const bool up = row.status == KESTA_CONNECTED;
    EXPECT_EQ(info.size, sizeof info_bytes);
    EXPECT_EQ(info.has_handshake, up ? 1u : 0u);
    EXPECT_EQ(info.last_handshake_seconds, up ? 1'700'000'000 : 0);
    EXPECT_EQ(info.last_handshake_nanoseconds, up ? 500'000'000u : 0u);
    EXPECT_EQ(info.tx_bytes, up ? 1234u : 0u);
    EXPECT_EQ(info.rx_bytes, up ? 5678u : 0u);
    for (std::size_t i = sizeof(kesta_info); i < sizeof info_bytes; ++i) {
      EXPECT_EQ(info_bytes[i], 0) << i;
    }
  }
  // An error structure too small to write into is left alone.
  kesta_error small_error{};
  small_error.size = 1031;
  std::strcpy(small_error.text, "untouched");
  EXPECT_EQ(disconnect_with([](const Request&) { return Exchange{}; }, &small_error, 100),
            KESTA_BAD_ARGUMENT);
  EXPECT_STREQ(small_error.text, "untouched");
}

}  // namespace
}  // namespace kesta::client
