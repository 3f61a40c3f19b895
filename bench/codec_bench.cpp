// Decoding a request line against msgpack-c merely unpacking the same bytes into its object
// tree, and encoding a Connected response. Allocation counts per operation are reported.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <msgpack.hpp>
#include <new>
#include <string>
#include <vector>

#include "protocol/base64.h"
#include "protocol/decode.h"
#include "protocol/encode.h"

namespace {

std::atomic<long> g_allocations{0};

}  // namespace

void* operator new(std::size_t size) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}

namespace {

using namespace kesta::protocol;

Config typical_config() {
  Config c;
  for (std::size_t i = 0; i < 32; ++i) {
    c.encryption.client_key[i] = static_cast<std::uint8_t>(i * 7 + 1);
    c.encryption.server_key[i] = static_cast<std::uint8_t>(i * 11 + 3);
    c.encryption.shared_key[i] = static_cast<std::uint8_t>(i * 13 + 5);
  }
  c.endpoint = {"vpn.example.net", {203, 0, 113, 7}, 51820};
  c.client = {{10, 66, 0, 2}, {53, 443}};
  return c;
}

void str(std::vector<std::uint8_t>& out, std::string_view s) {
  out.push_back(static_cast<std::uint8_t>(0xa0 | s.size()));
  out.insert(out.end(), s.begin(), s.end());
}

void key_str(std::vector<std::uint8_t>& out, const Key& key) {
  std::string text;
  base64_encode(key, text);
  out.push_back(0xd9);
  out.push_back(static_cast<std::uint8_t>(text.size()));
  out.insert(out.end(), text.begin(), text.end());
}

void address(std::vector<std::uint8_t>& out, const Ipv4Address& ip) {
  out.push_back(0x94);
  for (std::uint8_t part : ip) {
    if (part > 0x7f) out.push_back(0xcc);
    out.push_back(part);
  }
}

// The same Connect with every record in map form, keys by name.
std::vector<std::uint8_t> map_form_bytes(const Config& c) {
  std::vector<std::uint8_t> b;
  b.push_back(0x81);
  str(b, "Connect");
  b.push_back(0x83);
  str(b, "encryption");
  b.push_back(0x83);
  str(b, "client_key");
  key_str(b, c.encryption.client_key);
  str(b, "server_key");
  key_str(b, c.encryption.server_key);
  str(b, "shared_key");
  key_str(b, c.encryption.shared_key);
  str(b, "endpoint");
  b.push_back(0x83);
  str(b, "url");
  str(b, c.endpoint.url);
  str(b, "ip");
  address(b, c.endpoint.ip);
  str(b, "port");
  b.insert(b.end(), {0xcd, 0xca, 0x6c});
  str(b, "client");
  b.push_back(0x82);
  str(b, "ip");
  address(b, c.client.ip);
  str(b, "ports");
  b.insert(b.end(), {0x92, 0x35, 0xcd, 0x01, 0xbb});
  return b;
}

std::vector<std::uint8_t> bytes_of(const std::string& line) {
  std::vector<std::uint8_t> out(base64_decoded_capacity(line.size()));
  out.resize(*base64_decode(std::string_view(line).substr(0, line.size() - 1), out));
  return out;
}

std::string array_line() {
  return encode_command(Connect{typical_config()});
}
std::string map_line() {
  std::string line;
  base64_encode(map_form_bytes(typical_config()), line);
  return line + "\n";
}

void decode_line(benchmark::State& state, const std::string& line) {
  if (!decode_command(line).command) state.SkipWithError("line does not decode");
  const long before = g_allocations.load();
  for (auto _ : state) {
    auto decoded = decode_command(line);
    benchmark::DoNotOptimize(decoded);
  }
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
  state.counters["line_bytes"] = static_cast<double>(line.size());
}

void msgpack_c_unpack(benchmark::State& state, const std::vector<std::uint8_t>& bytes) {
  const long before = g_allocations.load();
  for (auto _ : state) {
    msgpack::object_handle handle =
        msgpack::unpack(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    benchmark::DoNotOptimize(handle.get());
  }
  state.counters["allocs/op"] = benchmark::Counter(
      static_cast<double>(g_allocations.load() - before) / static_cast<double>(state.iterations()));
}

void BM_DecodeCommand_ArrayForm(benchmark::State& state) {
  decode_line(state, array_line());
}
void BM_DecodeCommand_MapForm(benchmark::State& state) {
  decode_line(state, map_line());
}
void BM_MsgpackC_Unpack_ArrayForm(benchmark::State& state) {
  msgpack_c_unpack(state, bytes_of(array_line()));
}
void BM_MsgpackC_Unpack_MapForm(benchmark::State& state) {
  msgpack_c_unpack(state, bytes_of(map_line()));
}
void BM_EncodeResponse_Connected(benchmark::State& state) {
  const Response response = Connected{{SystemTime{133'444'736'005'000'000}, 1234, 5678}};
  for (auto _ : state) {
    auto line = encode_response(response);
    benchmark::DoNotOptimize(line);
  }
}

BENCHMARK(BM_DecodeCommand_ArrayForm);
BENCHMARK(BM_MsgpackC_Unpack_ArrayForm);
BENCHMARK(BM_DecodeCommand_MapForm);
BENCHMARK(BM_MsgpackC_Unpack_MapForm);
BENCHMARK(BM_EncodeResponse_Connected);

}  // namespace

BENCHMARK_MAIN();
