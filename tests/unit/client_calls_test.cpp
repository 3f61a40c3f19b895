// The client library's C interface over a fake delivery: its structures' layout, and what the
// end-to-end table cannot show: the request a configuration makes, the statistics to the
// nanosecond, outputs of a later version, texts cut to whole characters, a failing delivery
// and arguments that would crash a careless library.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <functional>
#include <new>
#include <string>

#include "client/calls.h"
#include "protocol/encode.h"
#include "testing/tunnel/tunnel_harness.h"

namespace kesta::client {
namespace {

// Field offsets and sizes are the interface of every language that declares these structures
// for itself (docs/CLIENT.md's C# and Python): they may never move.
TEST(ClientAbi, StructureLayoutIsPinned) {
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
}

TEST(ClientCalls, StatusesTextsAndOutputs) {
  // Distinct bytes everywhere, so that no field can take another's place unnoticed.
  const protocol::Config sent = testing::sample_config();
  kesta_config good{};
  good.size = sizeof good;
  std::memcpy(good.client_key, sent.encryption.client_key.data(), 32);
  std::memcpy(good.server_key, sent.encryption.server_key.data(), 32);
  std::memcpy(good.shared_key, sent.encryption.shared_key.data(), 32);
  std::memcpy(good.endpoint_ip, sent.endpoint.ip.data(), 4);
  std::memcpy(good.client_ip, sent.client.ip.data(), 4);
  good.endpoint_port = sent.endpoint.port;
  good.endpoint_url = sent.endpoint.url.c_str();
  good.client_ports = sent.client.ports.data();
  good.client_port_count = 2;
  kesta_config small = good, no_ports = good;
  small.size = 135;
  no_ports.client_ports = nullptr;
  std::string accents;  // 1200 bytes, cut to whole characters
  for (int i = 0; i < 600; ++i) accents += "\xC3\xA9";
  const auto reply = [](const protocol::Response& response) {
    return [line = *protocol::encode_response(response)](const Request&) {
      return Exchange{Exchange::Outcome::kResponse, line, {}, 0};
    };
  };
  const struct Row {
    const char* what;
    const kesta_config* config;                      // null: an Info
    std::function<Exchange(const Request&)> answer;  // empty: nothing may be delivered
    kesta_status status;
    std::string text;
    std::uint32_t code;
  } rows[] = {
      {"connected", &good,
       reply(protocol::Connected{{protocol::SystemTime{133'444'736'005'000'000}, 1234, 5678}}),
       KESTA_CONNECTED, "", 0},
      {"a long error, cut", &good, reply(protocol::Error{accents}), KESTA_SERVICE_ERROR,
       accents.substr(0, 1022), 0},
      {"unreachable", nullptr,
       [](const Request&) {
         return Exchange{Exchange::Outcome::kUnreachable, {}, "Denied.", 5};
       },
       KESTA_PIPE_UNREACHABLE, "cannot open \\\\.\\pipe\\redevuva.sock: Denied.", 5},
      {"out of memory", nullptr, [](const Request&) -> Exchange { throw std::bad_alloc(); },
       KESTA_INTERNAL_ERROR, "out of memory", 0},
      {"old config", &small, nullptr, KESTA_BAD_ARGUMENT,
       "config->size is 135; a kesta_config has at least 136 bytes", 0},
      {"no ports", &no_ports, nullptr, KESTA_BAD_ARGUMENT,
       "config->client_ports is NULL but config->client_port_count is 2", 0},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.what);
    // Outputs larger than this version's, as a program built against a later header has them.
    alignas(8) unsigned char info_bytes[sizeof(kesta_info) + 16];
    std::memset(info_bytes, 0xEE, sizeof info_bytes);
    auto& info = *reinterpret_cast<kesta_info*>(info_bytes);
    info.size = sizeof info_bytes;
    kesta_error error;
    std::memset(&error, 0xEE, sizeof error);
    error.size = sizeof error;
    kesta_state state = KESTA_STATE_CONNECTED;
    std::string delivered;
    const auto deliver = [&](const Request& request) {
      delivered = request.line;
      return row.answer ? row.answer(request) : Exchange{};
    };
    const kesta_status status = row.config != nullptr
                                    ? connect_with(deliver, row.config, &info, &error, 2500)
                                    : get_info_with(deliver, &info, &state, &error, 2500);
    EXPECT_EQ(status, row.status);
    EXPECT_EQ(error.text, row.text);
    EXPECT_EQ(error.windows_code, row.code);
    EXPECT_EQ(delivered, !row.answer             ? ""
                         : row.config != nullptr ? protocol::encode_command(protocol::Connect{sent})
                                                 : protocol::encode_command(protocol::Info{}));
    EXPECT_EQ(state, row.config != nullptr ? KESTA_STATE_CONNECTED : KESTA_STATE_UNKNOWN);
    // Only a connection has statistics; what lies beyond this version's fields is zeroed.
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
