// Strict decoding accepts only canonical text, so every accepted text must encode back to
// itself, and nothing is written past the buffer it is given; the fast path and the readable
// decoder agree.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/base64.h"

using namespace kesta::protocol;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  std::vector<std::uint8_t> out(base64_decoded_capacity(size));
  const auto count = base64_decode(text, out);
  if (!count) {
    if (count.error().message().empty()) std::abort();
    return 0;
  }
  if (*count > out.size()) std::abort();
  out.resize(*count);
  std::string encoded;
  base64_encode(out, encoded);
  if (encoded != text) std::abort();
  // A buffer too small for the result is filled only as far as it goes, by the readable
  // decoder (the fast path takes only what fits), with the fast path's bytes.
  std::vector<std::uint8_t> small(*count / 2);
  const auto partial = base64_decode(text, small);
  if (!partial || *partial != *count) std::abort();
  if (!std::equal(small.begin(), small.end(), out.begin())) std::abort();
  return 0;
}
