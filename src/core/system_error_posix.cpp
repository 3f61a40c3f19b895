// Native stand-in for the Windows system error helpers, so portable code and its tests run
// off Windows.
#ifndef _WIN32

#include <string>

#include "core/system_error.h"

namespace kesta {
namespace {

thread_local std::uint32_t thread_last_error = 0;

}  // namespace

std::string system_error_message(std::uint32_t code) {
  return compose_system_error_message("system error " + std::to_string(code), code);
}

std::uint32_t last_system_error() {
  return thread_last_error;
}

void set_last_system_error(std::uint32_t code) {
  thread_last_error = code;
}

}  // namespace kesta

#endif
