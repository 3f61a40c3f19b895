// Connect latency against the simulated server. For each handshake delay, 20 Connects go
// through the tunnel handlers with the real clock; the program prints the median time from the
// request to the Connected answer minus the delay (the cost of polling and of the driver
// calls), and how many statistics reads the handshake wait made per poll.

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <memory>
#include <variant>
#include <vector>

#include "protocol/render.h"
#include "testing/tunnel/tunnel_harness.h"
#include "tunnel/wait_clock.h"

namespace {

using namespace std::chrono_literals;
using Milliseconds = std::chrono::duration<double, std::milli>;
using kesta::testing::TunnelHarness;

constexpr int kConnects = 20;

// The production clock, counting the pauses of the wait: one pause ends every poll but the
// last.
class CountingClock final : public kesta::tunnel::WaitClock {
 public:
  TimePoint now() override { return inner_.now(); }
  void pause(Duration duration) override {
    ++pauses;
    inner_.pause(duration);
  }

  std::size_t pauses = 0;

 private:
  kesta::tunnel::SteadyWaitClock inner_;
};

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t mid = values.size() / 2;
  return values.size() % 2 != 0 ? values[mid] : (values[mid - 1] + values[mid]) / 2;
}

// Statistics reads from the switch-up on; the last one is the answer's own, not the wait's.
std::size_t wait_reads(const std::vector<std::string>& calls) {
  const auto up = std::find(calls.begin(), calls.end(), "SetAdapterState 1");
  const auto reads = static_cast<std::size_t>(std::count(up, calls.end(), "Read"));
  return reads > 0 ? reads - 1 : 0;
}

bool run(std::chrono::milliseconds delay) {
  auto clock = std::make_unique<CountingClock>();
  CountingClock& counting = *clock;
  TunnelHarness harness({.handshake_delay = delay}, std::move(clock));
  const kesta::protocol::Command connect =
      kesta::protocol::Connect{kesta::testing::sample_config()};

  std::vector<double> overhead;
  std::size_t polls = 0;
  std::size_t reads = 0;
  double worst_reads_per_poll = 0;
  for (int i = 0; i < kConnects; ++i) {
    const std::size_t pauses_before = counting.pauses;
    const auto start = std::chrono::steady_clock::now();
    const auto exchange = harness.send(connect);
    const Milliseconds elapsed = std::chrono::steady_clock::now() - start;

    if (!std::holds_alternative<kesta::protocol::Connected>(exchange.response)) {
      std::printf("connect %d with delay %lld ms was not answered Connected: %s\n", i,
                  static_cast<long long>(delay.count()),
                  kesta::protocol::render(exchange.response).c_str());
      return false;
    }
    overhead.push_back(elapsed.count() - Milliseconds(delay).count());
    const std::size_t connect_polls = counting.pauses - pauses_before + 1;
    const std::size_t connect_reads = wait_reads(exchange.calls);
    polls += connect_polls;
    reads += connect_reads;
    worst_reads_per_poll =
        std::max(worst_reads_per_poll, static_cast<double>(connect_reads) / connect_polls);
  }
  std::printf(
      "delay %4lld ms: overhead median %6.2f ms, min %6.2f ms, max %6.2f ms; "
      "polls per connect %5.2f; statistics reads per poll %.2f (worst connect %.2f)\n",
      static_cast<long long>(delay.count()), median(overhead),
      *std::min_element(overhead.begin(), overhead.end()),
      *std::max_element(overhead.begin(), overhead.end()), static_cast<double>(polls) / kConnects,
      static_cast<double>(reads) / polls, worst_reads_per_poll);
  return true;
}

}  // namespace

int main() {
  std::printf("%d connects per delay, request to Connected minus the handshake delay\n", kConnects);
  bool ok = true;
  for (const auto delay : {20ms, 200ms}) ok = run(delay) && ok;
  return ok ? 0 : 1;
}
