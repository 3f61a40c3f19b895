#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "core/error.h"

namespace kesta {

// Shared by the platform implementations: `text` without trailing white space, then
// " (os error N)".
std::string compose_system_error_message(std::string_view text, std::uint32_t code);

}  // namespace kesta
