// The installed service under hostile or careless local clients: a flood of clients that never
// read their answers, silent clients that reconnect whenever they are dropped, clients that send
// one byte every two seconds, clients that send 64 KiB and one byte without a line feed and
// pause, and clients that send Info and never read the answer. Prints the latency of ordinary
// Info requests made meanwhile, to the answer and to the end of the stream, and "sample NAME"
// lines at which bench/service_load.sh reads the service's threads and memory from the Linux
// side. Prints figures, asserts nothing.
//
// Usage: pipe_load.exe flood N          N clients send Info and never read; hold them 20 s
//        pipe_load.exe latency [--silent N] [--slow N] [--fat N] [--non-readers N]
//                              [--requests N]
//        pipe_load.exe idle SECONDS [--minimal]   the service left alone, or a service that
//                                                  does nothing in its place
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "e2e/service_harness.h"
#include "protocol/encode.h"

namespace {

using namespace kesta;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const wchar_t* kPipe = L"\\\\.\\pipe\\redevuva.sock";

void say(const char* format, auto... values) {
  std::printf(format, values...);
  std::printf("\n");
  std::fflush(stdout);
}

// Asks for a sample and gives the sampler time to take it.
void sample(const char* name) {
  say("sample %s", name);
  std::this_thread::sleep_for(1s);
}

// Opens the pipe, waiting while every instance is taken; INVALID_HANDLE_VALUE after `limit`.
HANDLE open_pipe(Clock::duration limit) {
  const auto until = Clock::now() + limit;
  while (Clock::now() < until) {
    const HANDLE pipe =
        CreateFileW(kPipe, GENERIC_READ | FILE_WRITE_DATA, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (pipe != INVALID_HANDLE_VALUE) return pipe;
    if (GetLastError() == ERROR_PIPE_BUSY) {
      WaitNamedPipeW(kPipe, 1000);
    } else {
      std::this_thread::sleep_for(10ms);
    }
  }
  return INVALID_HANDLE_VALUE;
}

bool write_text(HANDLE pipe, std::string_view text) {
  DWORD count = 0;
  return WriteFile(pipe, text.data(), static_cast<DWORD>(text.size()), &count, nullptr) &&
         count == text.size();
}

// Milliseconds from the first attempt to open the pipe to the answer's line feed, and to the end
// of the stream after it; negative when no answer came.
struct Latency {
  double answer = -1;
  double end = -1;
};

Latency info_latency(const std::string& line) {
  using Ms = std::chrono::duration<double, std::milli>;
  const auto start = Clock::now();
  Latency latency;
  const HANDLE pipe = open_pipe(300s);
  if (pipe == INVALID_HANDLE_VALUE) return latency;
  if (write_text(pipe, line)) {
    char buffer[512];
    DWORD count = 0;
    while (ReadFile(pipe, buffer, sizeof buffer, &count, nullptr) && count > 0) {
      if (latency.answer < 0 && std::find(buffer, buffer + count, '\n') != buffer + count) {
        latency.answer = Ms(Clock::now() - start).count();
      }
    }
    if (latency.answer >= 0) latency.end = Ms(Clock::now() - start).count();
  }
  CloseHandle(pipe);
  return latency;
}

// Connects and says nothing; when the service drops it, connects again.
void silent_client() {
  while (true) {
    const HANDLE pipe = open_pipe(3600s);
    char byte = 0;
    DWORD count = 0;
    while (ReadFile(pipe, &byte, 1, &count, nullptr) && count > 0) {
    }
    CloseHandle(pipe);
  }
}

// Sends the start of a request one byte every two seconds; reconnects when dropped.
void slow_client() {
  const std::string line = protocol::encode_command(protocol::Info{});
  while (true) {
    const HANDLE pipe = open_pipe(3600s);
    for (std::size_t at = 0; write_text(pipe, line.substr(at % (line.size() - 1), 1)); ++at) {
      std::this_thread::sleep_for(2s);
    }
    CloseHandle(pipe);
  }
}

// Sends 64 KiB and one byte without a line feed and pauses; reconnects when dropped.
void fat_client() {
  const std::string fat(64 * 1024 + 1, 'A');
  while (true) {
    const HANDLE pipe = open_pipe(3600s);
    char byte = 0;
    DWORD count = 0;
    if (write_text(pipe, fat)) {
      while (ReadFile(pipe, &byte, 1, &count, nullptr) && count > 0) {
      }
    }
    CloseHandle(pipe);
  }
}

// Sends Info and never reads the answer; connects again once the service has let it go.
void non_reader() {
  const std::string line = protocol::encode_command(protocol::Info{});
  while (true) {
    const HANDLE pipe = open_pipe(3600s);
    DWORD available = 0;
    if (write_text(pipe, line)) {
      while (PeekNamedPipe(pipe, nullptr, 0, nullptr, &available, nullptr)) {
        std::this_thread::sleep_for(100ms);
      }
    }
    CloseHandle(pipe);
  }
}

int flood(int clients) {
  const std::string line = protocol::encode_command(protocol::Info{});
  sample("idle");
  const auto start = Clock::now();
  std::vector<HANDLE> held;
  for (int i = 0; i < clients; ++i) {
    const HANDLE pipe = open_pipe(60s);
    if (pipe == INVALID_HANDLE_VALUE || !write_text(pipe, line)) {
      say("client %d could not send its request (%lu)", i, GetLastError());
      break;
    }
    held.push_back(pipe);
  }
  const std::chrono::duration<double> took = Clock::now() - start;
  say("%zu clients sent Info and read nothing, in %.1f s", held.size(), took.count());
  sample("flood");
  std::this_thread::sleep_for(14s);
  sample("15s-after");
  const double latency = info_latency(line).answer;
  say("an ordinary Info meanwhile: %.1f ms%s", latency, latency < 0 ? " (no answer)" : "");
  for (const HANDLE pipe : held) CloseHandle(pipe);
  return 0;
}

struct Unruly {
  int silent = 0, slow = 0, fat = 0, non_readers = 0;
};

void print_figures(const char* what, std::vector<double> ms) {
  std::sort(ms.begin(), ms.end());
  say("  %s: median %.1f ms, worst %.1f ms", what, ms[ms.size() / 2], ms.back());
}

int latency(Unruly unruly, int requests) {
  const std::string line = protocol::encode_command(protocol::Info{});
  for (int i = 0; i < unruly.silent; ++i) std::thread(silent_client).detach();
  for (int i = 0; i < unruly.slow; ++i) std::thread(slow_client).detach();
  for (int i = 0; i < unruly.fat; ++i) std::thread(fat_client).detach();
  for (int i = 0; i < unruly.non_readers; ++i) std::thread(non_reader).detach();
  // Lets the unruly clients take their places first.
  const bool alone = unruly.silent + unruly.slow + unruly.fat + unruly.non_readers == 0;
  std::this_thread::sleep_for(alone ? 1s : 6s);
  sample("before-requests");
  std::vector<double> answers, ends;
  int failures = 0;
  for (int i = 0; i < requests; ++i) {
    const Latency latency = info_latency(line);
    if (latency.answer < 0) {
      ++failures;
    } else {
      answers.push_back(latency.answer);
      ends.push_back(latency.end);
    }
  }
  sample("after-requests");
  char who[160];
  std::snprintf(who, sizeof who, "Info with %d silent, %d slow, %d fat and %d non-reading clients",
                unruly.silent, unruly.slow, unruly.fat, unruly.non_readers);
  if (answers.empty()) {
    say("%s: no answer to %d requests", who, requests);
    return 1;
  }
  say("%s: %zu answers (%d without answer)", who, answers.size(), failures);
  print_figures("answer", answers);
  print_figures("end of stream", ends);
  return 0;
}

int idle(int seconds, bool minimal) {
  // One request first, so that everything a served request leaves behind is in place.
  if (!minimal) (void)info_latency(protocol::encode_command(protocol::Info{}));
  std::this_thread::sleep_for(2s);
  sample("idle-start");
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  sample("idle-end");
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: pipe_load.exe flood N\n"
               "       pipe_load.exe latency [--silent N] [--slow N] [--fat N] "
               "[--non-readers N] [--requests N]\n"
               "       pipe_load.exe idle SECONDS [--minimal]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  const std::string_view scenario = argv[1];
  int count = 0, requests = 100;
  Unruly unruly;
  bool minimal = false;
  if (scenario == "idle") {
    if (argc < 3 || argc > 4) return usage();
    count = std::atoi(argv[2]);
    minimal = argc == 4 && std::string_view(argv[3]) == "--minimal";
    if (argc == 4 && !minimal) return usage();
  } else if (scenario == "flood") {
    if (argc != 3) return usage();
    count = std::atoi(argv[2]);
  } else if (scenario == "latency") {
    for (int i = 2; i + 1 < argc; i += 2) {
      const std::string_view option = argv[i];
      const int value = std::atoi(argv[i + 1]);
      if (option == "--silent") {
        unruly.silent = value;
      } else if (option == "--slow") {
        unruly.slow = value;
      } else if (option == "--fat") {
        unruly.fat = value;
      } else if (option == "--non-readers") {
        unruly.non_readers = value;
      } else if (option == "--requests") {
        requests = value;
      } else {
        return usage();
      }
    }
  } else {
    return usage();
  }

  e2e::ServiceRun run({});
  if (minimal) {
    const std::wstring from = (e2e::own_directory() / "minimal_service.exe").wstring();
    const std::wstring to = (run.folder() / "redevuva_service.exe").wstring();
    if (!CopyFileW(from.c_str(), to.c_str(), FALSE)) {
      std::fprintf(stderr, "cannot put the minimal service in place (%lu)\n", GetLastError());
      return 1;
    }
  }
  const SERVICE_STATUS_PROCESS status = run.start();
  if (status.dwCurrentState != SERVICE_RUNNING) {
    std::fprintf(stderr, "the service did not start (state %lu, exit code %lu)\n",
                 status.dwCurrentState, status.dwWin32ExitCode);
    return 1;
  }
  const int result = scenario == "flood"  ? flood(count)
                     : scenario == "idle" ? idle(count, minimal)
                                          : latency(unruly, requests);
  // The unruly clients' threads are still blocked in the pipe; the process's end ends them.
  std::fflush(stdout);
  run.stop();
  ExitProcess(static_cast<UINT>(result));
}
