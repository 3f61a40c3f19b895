// What a rotation of the service's log costs at its 16 MiB bound: the copy to "<log>.1" timed
// in process, then, against the installed service under Wine, how long the Info request waits
// whose line makes the log rotate. Prints figures, asserts nothing.
//
// Usage (from the source tree, after cmake --build --preset windows --target log_rotation):
//   cmake/wine-run build/windows/wine build/windows/bin/log_rotation.exe [ROTATIONS]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e/service_harness.h"
#include "protocol/encode.h"
#include "service/service_log_win.h"

namespace {

using namespace kesta;
using Clock = std::chrono::steady_clock;

double ms_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double, std::milli>(to - from).count();
}

std::uint64_t size_of(const std::wstring& path) {
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) return 0;
  return (std::uint64_t{data.nFileSizeHigh} << 32) | data.nFileSizeLow;
}

void print_spread(const char* what, std::vector<double> values) {
  if (values.empty()) return;
  std::sort(values.begin(), values.end());
  std::printf("%-44s %4zu: min %8.2f  median %8.2f  max %8.2f ms\n", what, values.size(),
              values.front(), values[values.size() / 2], values.back());
}

// The ServiceLog itself at the bound: a line that rotates against one that does not.
void time_copy_in_process(int rotations) {
  wchar_t folder[MAX_PATH];
  GetTempPathW(MAX_PATH, folder);
  const std::wstring path = std::wstring(folder) + L"kesta_log_rotation.log";
  DeleteFileW(path.c_str());
  DeleteFileW((path + L".1").c_str());
  SetStdHandle(STD_ERROR_HANDLE, nullptr);
  auto log = service::ServiceLog::open(path);
  if (!log) {
    std::printf("cannot open %ls: %s\n", path.c_str(), log.error().report().c_str());
    return;
  }
  const std::string line(64 * 1024 - 1, 'x');
  std::vector<double> rotating, plain;
  while (static_cast<int>(rotating.size()) < rotations) {
    const std::uint64_t before = size_of(path);
    const auto start = Clock::now();
    (*log)->write_line(line);
    const double took = ms_between(start, Clock::now());
    (size_of(path) < before ? rotating : plain).push_back(took);
  }
  print_spread("in process, a 64 KiB line", plain);
  print_spread("in process, a 64 KiB line that copies 16 MiB", rotating);
  DeleteFileW(path.c_str());
  DeleteFileW((path + L".1").c_str());
}

// The installed service: lines the service logs whole fill its log to just under the bound,
// 1 MiB at a time, then 16 KiB at a time; then Info requests, one after another, until one of
// them makes the log rotate. That one waits for the copy.
void time_service(int rotations) {
  e2e::ServiceRun run({});
  if (run.start().dwCurrentState != SERVICE_RUNNING) {
    std::printf("the service did not start\n");
    return;
  }
  const std::wstring path = L"C:\\redevuva_service.log";
  const std::string info = protocol::encode_command(protocol::Info{});
  std::vector<double> plain, rotating;
  for (int r = 0; r < rotations; ++r) {
    for (const std::size_t filler : {1024 * 1024, 16 * 1024}) {
      const std::string line = std::string(filler - 64, 'A') + "\n";
      while (size_of(path) + 2 * filler < service::kServiceLogBound) e2e::exchange_bytes(line);
    }
    for (std::uint64_t before = size_of(path);; before = size_of(path)) {
      const auto start = Clock::now();
      e2e::exchange(info);
      const double took = ms_between(start, Clock::now());
      if (size_of(path) < before) {
        rotating.push_back(took);
        break;
      }
      plain.push_back(took);
    }
  }
  print_spread("service, Info", plain);
  print_spread("service, Info whose first line copies 16 MiB", rotating);
  run.stop();
}

}  // namespace

int main(int argc, char** argv) {
  const int rotations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  time_copy_in_process(rotations);
  time_service(rotations);
  return 0;
}
