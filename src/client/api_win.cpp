// The exported functions: the calls over the service's pipe.
#include "client/calls.h"
#include "kesta/version.h"

namespace {

constexpr auto over_pipe = [](const kesta::client::Request& request) {
  return kesta::client::exchange_over_pipe(request);
};

}  // namespace

kesta_status kesta_connect(const kesta_config* config, kesta_info* out, kesta_error* error,
                           uint32_t timeout_ms) {
  return kesta::client::connect_with(over_pipe, config, out, error, timeout_ms);
}

kesta_status kesta_disconnect(kesta_error* error, uint32_t timeout_ms) {
  return kesta::client::disconnect_with(over_pipe, error, timeout_ms);
}

kesta_status kesta_get_info(kesta_info* out, kesta_state* state, kesta_error* error,
                            uint32_t timeout_ms) {
  return kesta::client::get_info_with(over_pipe, out, state, error, timeout_ms);
}

const char* kesta_status_name(kesta_status status) {
  return kesta::client::status_name(status);
}

const char* kesta_client_version(void) {
  // kVersion views a string literal, so its text ends in a NUL.
  return kesta::kVersion.data();
}
