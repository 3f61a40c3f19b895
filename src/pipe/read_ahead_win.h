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
#include "pipe/io_deadline_win.h"

namespace kesta::pipe {

// How a connection's read ahead ended.
enum class ReadEnd {
  kLine,     // a line feed arrived
  kLimit,    // the read-ahead limit was reached first; the rest is still in the pipe
  kStream,   // the client closed or broke its end (or sent an empty write)
  kError,    // the read failed; `error` holds the code
  kTimeout,  // the read deadline passed
};

// A connected pipe instance with what its client sent so far.
struct Prefetched {
  UniqueFile pipe;
  std::string bytes;
  ReadEnd end = ReadEnd::kLine;
  DWORD error = ERROR_SUCCESS;
  Clock::time_point deadline;
};

struct ReadAheadOptions {
  std::chrono::milliseconds read_deadline;
  std::size_t max_pending;  // connections read at the same time
  std::size_t limit;        // bytes read ahead per connection
};

// Accepts clients and reads their request lines on one thread, with overlapped I/O on a
// completion port, so that no client can keep the worker waiting: the worker is handed the
// connections in the order their lines complete (or their reads end). At most `max_pending`
// connections are held between their accept and the worker taking them; beyond that, clients
// wait at the pipe, where one instance stays created for the next.
class ReadAhead {
 public:
  // Creates a further overlapped instance of the pipe, or an empty handle with the last error.
  using InstanceFactory = std::function<UniqueFile()>;

  // Takes the pipe's first instance and starts the thread; throws std::system_error when the
  // port or the thread cannot be made.
  ReadAhead(UniqueFile first, InstanceFactory create_instance, ReadAheadOptions options);
  // Cancels what is in flight and closes every connection not handed out.
  ~ReadAhead();
  ReadAhead(const ReadAhead&) = delete;
  ReadAhead& operator=(const ReadAhead&) = delete;

  // Waits for the next connection whose read ahead has ended, or for a failure to accept.
  Result<Prefetched> next();

 private:
  struct Pending {
    OVERLAPPED overlapped{};
    Prefetched connection;
    std::size_t read_start = 0;  // where the read in flight writes into `connection.bytes`
    bool in_flight = false;
    bool cancelled = false;  // the deadline passed while a read was in flight
  };

  void run();
  void listen();
  void report_failure(DWORD code);
  void on_connected(DWORD error);
  void start_read(Pending& pending);
  void on_read(Pending& pending, DWORD bytes, DWORD error);
  void finish(Pending& pending, ReadEnd end, DWORD error = ERROR_SUCCESS);
  void hand_out(Result<Prefetched> item);
  void expire_deadlines();
  DWORD milliseconds_to_next_deadline() const;
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

  mutable std::mutex mutex_;
  std::condition_variable ready_changed_;
  std::deque<Result<Prefetched>> ready_;  // guarded by mutex_, in the order reads ended
  bool paused_ = false;  // no instance listens because too many are held; guarded by mutex_
  Thread thread_;
};

}  // namespace kesta::pipe
