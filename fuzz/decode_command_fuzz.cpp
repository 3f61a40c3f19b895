// Feeds arbitrary lines, and arbitrary MessagePack bytes wrapped in Base64, to the decoders.
// Whatever decodes must survive a round trip through the client-side encoder.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <string>

#include "core/utf8.h"
#include "protocol/base64.h"
#include "protocol/decode.h"
#include "protocol/encode.h"
#include "protocol/render.h"

using namespace kesta::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> rest(data + 1, size - 1);
  std::string line;
  if (data[0] & 1) {
    // Mode 1: raw MessagePack, so the fuzzer reaches the decoder without learning Base64.
    base64_encode(rest, line);
  } else {
    line.assign(reinterpret_cast<const char*>(rest.data()), rest.size());
    if (kesta::validate_utf8(line)) return 0;  // the service refuses such lines before decoding
  }
  const DecodedCommand decoded = decode_command(line);
  if (decoded.command) {
    (void)render(*decoded.command);
    const DecodedCommand again = decode_command(encode_command(*decoded.command));
    if (!again.command || !(*again.command == *decoded.command)) std::abort();
  } else if (decoded.command.error().message.empty()) {
    std::abort();
  }
  if (auto response = decode_response(line)) {
    if (auto encoded = encode_response(*response)) {
      auto again = decode_response(*encoded);
      if (!again || !(*again == *response)) std::abort();
    }
    (void)render(*response);
  }
  return 0;
}
