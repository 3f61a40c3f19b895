#pragma once

// The Base64 decoder's fast path. It takes a text only when it can see the text is well formed
// and its bytes fit; everything else, with every rule and every error text, is left to the
// readable decoder in base64.cpp.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace kesta::protocol::base64_fast {

// Decodes `text` into `out` when it is whole groups of four symbols, the last of which may end
// in canonical padding with zero trailing bits, and its bytes fit in `out`; returns their
// count. Otherwise nullopt, with `out` holding whatever was decoded before the doubt arose.
std::optional<std::size_t> decode_plain(std::span<const std::uint8_t> text,
                                        std::span<std::uint8_t> out);

}  // namespace kesta::protocol::base64_fast
