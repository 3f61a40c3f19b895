#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

namespace kesta::protocol {

// Writes MessagePack values in their shortest forms.
class MsgpackWriter {
 public:
  void nil();
  void uint(std::uint64_t value);
  void str(std::string_view text);
  // The head of an array of `count` elements; the elements follow.
  void array(std::size_t count);
  // A map of one entry whose key is `key`; the value follows.
  void single_entry_map(std::string_view key);

  std::span<const std::uint8_t> bytes() const { return bytes_; }

 private:
  void byte(std::uint8_t value) { bytes_.push_back(value); }
  // The marker, then `value` big-endian in `width` bytes.
  void prefixed(std::uint8_t marker, std::uint64_t value, int width);

  std::vector<std::uint8_t> bytes_;
};

}  // namespace kesta::protocol
