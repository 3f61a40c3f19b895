#pragma once

#include <cstdint>

#include "client/exchange.h"
#include "kesta/client.h"
#include "protocol/request_line.h"

namespace kesta::client {

// The sizes of the structures' first version: the least a caller may pass. They stay as they
// are when the structures grow.
inline constexpr std::uint32_t kConfigSizeV1 = 136;
inline constexpr std::uint32_t kInfoSizeV1 = 40;
inline constexpr std::uint32_t kErrorSizeV1 = 1032;

// The longest request line the service reads, line feed included.
inline constexpr std::size_t kMaxRequestBytes = protocol::kMaxRequestLine;

// Whatever delivers one request: the pipe in the library, a fake in tests. It refers to the
// callable, which must outlive it, and never allocates; any callable converts to it.
class Deliver {
 public:
  template <class F>
  Deliver(const F& deliver) noexcept
      : target_(&deliver), call_([](const void* target, const Request& request) {
          return (*static_cast<const F*>(target))(request);
        }) {}
  Exchange operator()(const Request& request) const { return call_(target_, request); }

 private:
  const void* target_;
  Exchange (*call_)(const void*, const Request&);
};

// The calls of the C interface over a delivery. None throws: every failure is a status, with
// its text in `error` when the caller gave one.
kesta_status connect_with(Deliver deliver, const kesta_config* config, kesta_info* out,
                          kesta_error* error, std::uint32_t timeout_ms) noexcept;
kesta_status disconnect_with(Deliver deliver, kesta_error* error,
                             std::uint32_t timeout_ms) noexcept;
kesta_status get_info_with(Deliver deliver, kesta_info* out, kesta_state* state, kesta_error* error,
                           std::uint32_t timeout_ms) noexcept;

const char* status_name(kesta_status status) noexcept;

}  // namespace kesta::client
