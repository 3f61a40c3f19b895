#pragma once

#include <windows.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/thread.h"
#include "core/unique_handle_win.h"
#include "protocol/request_line.h"

namespace kesta::pipe {

using Clock = std::chrono::steady_clock;

// "timed out after 5 seconds": how a read or a write that passed its deadline fails.
std::string timeout_text(std::chrono::milliseconds deadline);

// A connected pipe instance with its framed request: the line, or why none could be read.
struct ReadRequest {
  UniqueFile pipe;
  Result<std::string> request;
};

struct ReadAheadOptions {
  std::chrono::milliseconds read_deadline;
  std::size_t max_pending;  // connections held between their accept and the worker taking them
  std::size_t budget;       // bytes the request lines of those connections may hold together
  std::size_t free_bytes;   // bytes each line may hold without drawing on the budget
};

// Accepts clients and reads their request lines on one thread, with overlapped I/O on a
// completion port, into one RequestFramer each; the worker is handed each connection with its
// framed request in the order the lines complete (or their reads end), and never reads from a
// client, so no client can keep it waiting. A line may be read up to its 1 MiB bound. Memory
// stays bounded: every connection's line may hold `free_bytes` as it likes, and beyond that
// draws on what `budget` leaves once every pending connection has had its `free_bytes`; a line
// that finds no budget waits with its reads paused, while its deadline runs on, until the worker
// takes a line that held some. At most `max_pending` connections are held between their accept
// and the worker taking them; then the thread neither listens nor creates a further instance
// until the worker takes one, so every client in the meantime finds the pipe busy
// (ERROR_PIPE_BUSY) and waits with WaitNamedPipeW.
class ReadAhead {
 public:
  // Creates a further overlapped instance of the pipe, or an empty handle with the last error.
  using InstanceFactory = std::function<UniqueFile()>;

  // Takes the pipe's first instance and starts the thread; fails with the Windows code when the
  // port or the thread cannot be made.
  static Result<std::unique_ptr<ReadAhead>> start(UniqueFile first, InstanceFactory create_instance,
                                                  ReadAheadOptions options);
  // Cancels what is in flight and closes every connection not handed out.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Waits for the next connection whose request is framed, or for a failure to accept.
  Result<ReadRequest> next();

 private:
  struct Pending {
    OVERLAPPED overlapped{};
    UniqueFile pipe;
    protocol::RequestFramer framer;
    Clock::time_point deadline;
    std::size_t granted = 0;  // bytes the line may hold before it grows again
    std::size_t charged = 0;  // bytes of the budget the line holds
    bool in_flight = false;
    bool cancelled = false;  // the deadline passed while a read was in flight
  };
  struct Ready {
    Result<ReadRequest> connection;
    std::size_t charged = 0;  // given back to the budget when the worker takes the connection
  };

  ReadAhead(UniqueFile first, InstanceFactory create_instance, ReadAheadOptions options);
  void run();
  void listen();
  void report_failure(DWORD code);
  void on_connected(DWORD error);
  void start_read(Pending& pending);
  bool grow(Pending& pending);
  void resume_waiting();
  void on_read(Pending& pending, DWORD bytes, DWORD error);
  void finish(Pending& pending);
  void hand_out(Ready ready);
  void expire_deadlines();
  DWORD milliseconds_to_next_wake() const;
  void shut_down();

  InstanceFactory create_instance_;
  ReadAheadOptions options_;
  UniqueHandle port_;
  // Touched by the thread alone (pending_ changes under mutex_ too, so that it and ready_ are
  // counted together).
  UniqueFile waiting_;
  OVERLAPPED connect_{};
  bool listening_ = false;
  // One failure to listen is reported; retries go on quietly until listening works again.
  bool failure_reported_ = false;
  Clock::time_point retry_at_ = Clock::time_point::max();
  std::vector<std::unique_ptr<Pending>> pending_;
  std::deque<Pending*> waiting_for_budget_;  // in the order they asked

  mutable std::mutex mutex_;
  std::condition_variable ready_changed_;
  std::deque<Ready> ready_;  // guarded by mutex_, in the order reads ended
  std::size_t spare_ = 0;    // budget no line holds; guarded by mutex_
  bool paused_ = false;      // no instance listens because too many are held; guarded by mutex_
  Thread thread_;
};

}  // namespace kesta::pipe
