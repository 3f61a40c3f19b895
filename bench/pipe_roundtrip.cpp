// Sequential Info round trips over the real pipe: the service under the service control
// manager against a minimal server with the same pipe modes, in the same run; and the
// service's working set after 1,000 and 10,000 requests. Prints figures, asserts nothing.
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "e2e/service_harness.h"
#include "protocol/encode.h"

namespace {

using namespace kesta;
using Clock = std::chrono::steady_clock;

constexpr const wchar_t* kServicePipe = L"\\\\.\\pipe\\redevuva.sock";
constexpr const wchar_t* kBaselinePipe = L"\\\\.\\pipe\\kesta_bench_baseline";
constexpr DWORD kPipeMode =
    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT | PIPE_REJECT_REMOTE_CLIENTS;

// One client exchange; false when the pipe could not be used.
bool round_trip(const wchar_t* pipe_name, const std::string& line) {
  HANDLE pipe = INVALID_HANDLE_VALUE;
  for (int attempt = 0; attempt < 1000 && pipe == INVALID_HANDLE_VALUE; ++attempt) {
    pipe =
        CreateFileW(pipe_name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe == INVALID_HANDLE_VALUE && GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(pipe_name, 1000);
    }
  }
  if (pipe == INVALID_HANDLE_VALUE) return false;
  DWORD count = 0;
  bool ok = WriteFile(pipe, line.data(), static_cast<DWORD>(line.size()), &count, nullptr);
  char buffer[512];
  std::size_t received = 0;
  while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) received += count;
  CloseHandle(pipe);
  return ok && received > 0;
}

// Requests per second over `requests` sequential round trips.
double measure(const wchar_t* pipe_name, const std::string& line, int requests) {
  const auto start = Clock::now();
  for (int i = 0; i < requests; ++i) {
    if (!round_trip(pipe_name, line)) {
      std::fprintf(stderr, "round trip %d failed\n", i);
      return 0;
    }
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  return requests / took.count();
}

// The least a server can do with the same pipe modes: one waiting instance, read a line,
// write a fixed line, and leave the flush, disconnect and close to another thread.
class BaselineServer {
 public:
  // The threads serve until the process ends.
  BaselineServer() {
    std::thread([this] { accept_loop(); }).detach();
    std::thread([this] { flush_loop(); }).detach();
  }

 private:
  static HANDLE instance() {
    return CreateNamedPipeW(kBaselinePipe, PIPE_ACCESS_DUPLEX, kPipeMode, PIPE_UNLIMITED_INSTANCES,
                            512, 512, 0, nullptr);
  }

  void accept_loop() {
    HANDLE waiting = instance();
    const std::string answer = "rERpc2Nvbm5lY3RlZA==\n";
    while (waiting != INVALID_HANDLE_VALUE) {
      if (!ConnectNamedPipe(waiting, nullptr) && GetLastError() != ERROR_PIPE_CONNECTED &&
          GetLastError() != ERROR_NO_DATA) {
        continue;
      }
      const HANDLE connected = std::exchange(waiting, instance());
      char buffer[512];
      DWORD count = 0;
      while (ReadFile(connected, buffer, sizeof buffer, &count, nullptr) && count > 0 &&
             std::find(buffer, buffer + count, '\n') == buffer + count) {
      }
      WriteFile(connected, answer.data(), static_cast<DWORD>(answer.size()), &count, nullptr);
      {
        const std::lock_guard lock(mutex_);
        queue_.push_back(connected);
      }
      ready_.notify_one();
    }
  }

  void flush_loop() {
    while (true) {
      std::unique_lock lock(mutex_);
      ready_.wait(lock, [this] { return !queue_.empty(); });
      const HANDLE pipe = queue_.front();
      queue_.pop_front();
      lock.unlock();
      FlushFileBuffers(pipe);
      DisconnectNamedPipe(pipe);
      CloseHandle(pipe);
    }
  }

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<HANDLE> queue_;
};

struct WorkingSet {
  double current_mib = 0;
  double peak_mib = 0;
};

WorkingSet working_set(DWORD process_id) {
  WorkingSet result;
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, process_id);
  PROCESS_MEMORY_COUNTERS counters{};
  if (process && GetProcessMemoryInfo(process, &counters, sizeof counters)) {
    result.current_mib = counters.WorkingSetSize / 1048576.0;
    result.peak_mib = counters.PeakWorkingSetSize / 1048576.0;
  }
  if (process) CloseHandle(process);
  return result;
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

int main() {
  e2e::ServiceRun run({});
  const SERVICE_STATUS_PROCESS status = run.start();
  if (status.dwCurrentState != SERVICE_RUNNING) {
    std::fprintf(stderr, "the service did not start (state %lu, exit code %lu)\n",
                 status.dwCurrentState, status.dwWin32ExitCode);
    return 1;
  }
  static BaselineServer baseline;
  const std::string info = protocol::encode_command(protocol::Info{});
  constexpr int kRequests = 1000;

  // Alternate the two servers so that a slower phase of the machine hits both alike.
  measure(kServicePipe, info, 100);
  measure(kBaselinePipe, info, 100);
  std::vector<double> service_rates, baseline_rates;
  for (int round = 0; round < 5; ++round) {
    service_rates.push_back(measure(kServicePipe, info, kRequests));
    baseline_rates.push_back(measure(kBaselinePipe, info, kRequests));
  }
  const double service_rps = median(service_rates), baseline_rps = median(baseline_rates);
  std::printf("service:  %8.0f requests/s (median of 5 x %d)\n", service_rps, kRequests);
  std::printf("baseline: %8.0f requests/s (median of 5 x %d)\n", baseline_rps, kRequests);
  std::printf("ratio service/baseline: %.2f\n", service_rps / baseline_rps);

  // The service has answered 5,100 requests by now; its working set after a fresh 1,000 and
  // after 10,000 more shows whether anything accumulates per request.
  const DWORD pid = run.query().dwProcessId;
  const WorkingSet before = working_set(pid);
  measure(kServicePipe, info, 1000);
  const WorkingSet at_1000 = working_set(pid);
  measure(kServicePipe, info, 9000);
  const WorkingSet at_10000 = working_set(pid);
  std::printf(
      "service working set: start %.2f MiB; after 1,000 requests %.2f MiB (peak %.2f); "
      "after 10,000 requests %.2f MiB (peak %.2f)\n",
      before.current_mib, at_1000.current_mib, at_1000.peak_mib, at_10000.current_mib,
      at_10000.peak_mib);
  run.stop();

  // Every service process carries the system's service plumbing (and, under Wine, Wine's
  // own libraries): a service that does nothing at all, run the same way, shows how much.
  const std::wstring minimal = (e2e::own_directory() / "minimal_service.exe").wstring();
  const std::wstring target = (run.folder() / "redevuva_service.exe").wstring();
  if (!CopyFileW(minimal.c_str(), target.c_str(), FALSE)) {
    std::fprintf(stderr, "cannot put the minimal service in place (%lu)\n", GetLastError());
    return 1;
  }
  if (run.start().dwCurrentState == SERVICE_RUNNING) {
    const WorkingSet minimal = working_set(run.query().dwProcessId);
    std::printf(
        "a service that does nothing, for reference: %.2f MiB (peak %.2f); the "
        "service's own share: %.2f MiB\n",
        minimal.current_mib, minimal.peak_mib, at_10000.peak_mib - minimal.peak_mib);
    run.stop();
  }
  std::fflush(stdout);
  ExitProcess(0);  // the baseline server's threads are still blocked in the pipe
}
