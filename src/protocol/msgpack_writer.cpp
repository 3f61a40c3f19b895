#include "protocol/msgpack_writer.h"

#include "protocol/msgpack_markers.h"

namespace kesta::protocol {

using namespace msgpack;

void MsgpackWriter::nil() {
  byte(kNil);
}

void MsgpackWriter::uint(std::uint64_t value) {
  if (value <= kPositiveFixintLast) {
    byte(static_cast<std::uint8_t>(value));
  } else if (value <= 0xff) {
    prefixed(kUint8, value, 1);
  } else if (value <= 0xffff) {
    prefixed(kUint16, value, 2);
  } else if (value <= 0xffffffff) {
    prefixed(kUint32, value, 4);
  } else {
    prefixed(kUint64, value, 8);
  }
}

void MsgpackWriter::str(std::string_view text) {
  if (text.size() <= kFixstrLengthMask) {
    byte(static_cast<std::uint8_t>(kFixstr | text.size()));
  } else if (text.size() <= 0xff) {
    prefixed(kStr8, text.size(), 1);
  } else if (text.size() <= 0xffff) {
    prefixed(kStr16, text.size(), 2);
  } else {
    prefixed(kStr32, text.size(), 4);
  }
  bytes_.insert(bytes_.end(), text.begin(), text.end());
}

void MsgpackWriter::array(std::size_t count) {
  if (count <= kFixContainerLengthMask) {
    byte(static_cast<std::uint8_t>(kFixarray | count));
  } else if (count <= 0xffff) {
    prefixed(kArray16, count, 2);
  } else {
    prefixed(kArray32, count, 4);
  }
}

void MsgpackWriter::single_entry_map(std::string_view key) {
  byte(kFixmap | 1);
  str(key);
}

void MsgpackWriter::prefixed(std::uint8_t marker, std::uint64_t value, int width) {
  byte(marker);
  for (int shift = 8 * (width - 1); shift >= 0; shift -= 8) {
    byte(static_cast<std::uint8_t>(value >> shift));
  }
}

}  // namespace kesta::protocol
