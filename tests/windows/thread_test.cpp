#include "core/thread.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>

#include "tests/unit/codec_test_util.h"

namespace kesta {
namespace {

// Touches most of the worker stack below the caller page by page, as the system stack probe does,
// so that they are committed and can be painted.
[[gnu::noinline]] void commit_stack() {
  volatile char probe[kWorkerStack - 64 * 1024];
  for (std::size_t at = 0; at < sizeof probe; at += 4096) probe[at] = 0;
}

// Runs `work` on the calling thread and returns how many bytes of stack below the caller it
// used: the stack below is committed and painted first, and found again afterwards.
template <class Work>
[[gnu::noinline]] std::size_t stack_used_by(Work&& work) {
  commit_stack();
  char here = 0;
  const auto at = reinterpret_cast<std::uintptr_t>(&here);
  // Well inside what commit_stack touched, and clear of this frame.
  const std::uintptr_t bottom = at - kWorkerStack + 72 * 1024;
  const std::uintptr_t top = at - 1024;
  std::memset(reinterpret_cast<void*>(bottom), 0xCD, top - bottom);
  work();
  std::uintptr_t reached = bottom;
  while (reached < top && *reinterpret_cast<const unsigned char*>(reached) == 0xCD) ++reached;
  return at - reached;
}

// The worker's stack holds the deepest request the decoder accepts, with room to spare: values
// it skips are read recursively, one frame per level of nesting.
TEST(ThreadStack, TheWorkerStackHoldsTheDeepestRequestTheDecoderAccepts) {
  const protocol::Config config = test::sample_config();
  std::string deep;
  for (int level = 0; level < 1021; ++level) deep += "\x91";
  deep += "\x90";
  const std::string message =
      test::mp::map(1) + test::mp::str("Connect") + test::mp::map(4) + test::mp::str("encryption") +
      test::encryption_wire(config.encryption) + test::mp::str("deep") + deep +
      test::mp::str("endpoint") + test::endpoint_wire(config.endpoint) + test::mp::str("client") +
      test::client_wire(config.client);
  std::optional<protocol::Command> decoded;
  std::size_t used = 0;
  Thread worker(kWorkerStack,
                [&] { used = stack_used_by([&] { decoded = test::decoded_command(message); }); });
  worker.join();
  EXPECT_EQ(decoded, protocol::Command{protocol::Connect{config}});
  std::printf("stack used by the deepest request: %zu bytes\n", used);
  EXPECT_LT(used, kWorkerStack / 2);
}

}  // namespace
}  // namespace kesta
