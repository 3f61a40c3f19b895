#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace kesta::client {

inline constexpr std::string_view kServiceName = "redevuva_service";
inline constexpr std::string_view kPipePath = "\\\\.\\pipe\\redevuva.sock";
// The longest response line read; the service's are a few hundred bytes.
inline constexpr std::size_t kMaxResponseBytes = 1 << 20;

// One request line to deliver.
struct Request {
  std::string line;  // ends in LF
  std::string pipe = std::string(kPipePath);
  // The service whose process must serve the pipe before anything is written; when the pipe is
  // missing, its state tells a stopped service from an unreachable pipe. Empty: any server is
  // written to, and a missing pipe is only unreachable.
  std::string service = std::string(kServiceName);
  // For everything: the wait for a free instance, the write and the read.
  std::chrono::milliseconds timeout{10'000};
};

// How a delivery went.
struct Exchange {
  enum class Outcome {
    kResponse,     // `line` is the first line the server wrote, LF included
    kNoResponse,   // the server ended the connection, or the line could not be written or read
    kUnreachable,  // the pipe cannot be opened
    kNotRunning,   // the pipe is missing and `service` is not running
    kUntrusted,    // the pipe's server is not the process of `service`; nothing was written
    kTimedOut,     // the pipe stayed busy, or the server kept silent, until the timeout
  };
  Outcome outcome = Outcome::kNoResponse;
  std::string line;
  // Otherwise why: for kUnreachable the system's message alone; for kNoResponse what failed, or
  // empty when the server simply hung up; a sentence for the rest.
  std::string error;
  // The code of the Windows call that failed, 0 when none did.
  std::uint32_t system_code = 0;
};

// Opens the pipe with the rights a client needs and at identification level, checks its server,
// writes the line and reads the first response line, all within the request's timeout.
Exchange exchange_over_pipe(const Request& request);

}  // namespace kesta::client
