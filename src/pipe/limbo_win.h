#pragma once

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <list>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "core/unique_handle_win.h"
#include "pipe/io_deadline_win.h"

namespace kesta::pipe {

// How long a keeper waits for a client to read what was written to it.
inline constexpr std::chrono::milliseconds kFlushDeadline{10'000};

// Disconnects (when server-side) and closes a pipe instance on the calling thread.
void disconnect_and_close(UniqueFile pipe, bool is_server) noexcept;

// Closes finished pipe instances on keeper threads once their clients have read everything,
// so the thread that wrote never waits for a client. An instance goes to an idle keeper when
// there is one; else to a new keeper while fewer than kPooledKeepers exist; else to a
// short-lived extra keeper while fewer than kExtraKeepers of those run; only then into the one
// pending slot of a busy keeper, where it waits behind another client's flush. When every slot
// is taken it is closed at once without a disconnect, which leaves its answer readable: clients
// that do not read their answers must not make the service start threads without end.
class LimboPool {
 public:
  static constexpr std::size_t kPooledKeepers = 16;
  static constexpr std::size_t kExtraKeepers = 64;

  explicit LimboPool(std::chrono::milliseconds flush_deadline = kFlushDeadline,
                     std::size_t extra_keepers = kExtraKeepers);
  // Lets every keeper finish what it holds, then joins it.
  ~LimboPool();
  LimboPool(const LimboPool&) = delete;
  LimboPool& operator=(const LimboPool&) = delete;

  // The pool of the process: created on first use, never destroyed, so its keepers live until
  // the process ends.
  static std::shared_ptr<LimboPool> process_pool();

  // Flushes (giving up after the flush deadline), disconnects and closes `pipe` on a keeper.
  void hand_over(UniqueFile pipe, bool is_server) noexcept;

  // Keepers started so far, extra ones included; the last one is "limbo keeper N".
  std::size_t keepers_started() const;
  std::size_t pooled_keepers() const;

 private:
  struct Item {
    UniqueFile pipe;
    bool is_server;
  };
  // A channel holding at most one pending item; closed when its sending side is gone.
  struct Slot {
    std::mutex mutex;
    std::condition_variable filled;
    std::unique_ptr<Item> current;  // the instance a new keeper starts on; guarded by mutex
    std::unique_ptr<Item> item;     // the pending one; guarded by mutex
    bool closed = false;            // guarded by mutex
    bool working = false;           // the keeper is flushing an instance; guarded by mutex
    // Sends when the slot is free; with `only_idle`, only when the keeper has nothing to do.
    bool try_send(std::unique_ptr<Item>& offered, bool only_idle);
    void close();
  };
  struct Extra {
    Thread thread;
    std::shared_ptr<std::atomic<bool>> done;
  };

  // Starts a keeper on `item`, pooled or extra; on failure `item` is left as it was.
  bool start_keeper(std::unique_ptr<Item>& item, bool pooled) noexcept;
  void keep(Slot& slot, std::size_t number, std::atomic<bool>* done);
  void reap_extras();

  std::chrono::milliseconds flush_deadline_;
  std::size_t extra_keepers_;
  IoDeadline deadline_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Slot>> slots_;  // guarded by mutex_, in the order started
  std::vector<Thread> pooled_;                // guarded by mutex_
  std::list<Extra> extras_;                   // guarded by mutex_
  std::size_t started_ = 0;                   // guarded by mutex_
};

}  // namespace kesta::pipe
