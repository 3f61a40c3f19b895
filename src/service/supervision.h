#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "core/fault.h"
#include "core/thread.h"
#include "service/log.h"
#include "service/stop_channel.h"

namespace kesta::service {

// What ended the service's threads: a Fault, or nothing when the worker returned or something
// else was thrown.
struct WorkerEnd {
  std::optional<Fault> fault;
};

// "Some(\"text\")" for a fault with a fixed description, "None" for a composed one or none.
std::string describe_worker_end(const WorkerEnd& end);

// The fault barrier of the service's threads. The worker runs its body in it, and so does every
// other thread of the service once the barrier is installed for the process (install()): the
// first end it sees, the worker's however it ends or an exception escaping any other thread, is
// kept and wakes whoever waits for it. Either one ends the service the same way.
class FaultBarrier {
 public:
  // Makes it the barrier of every thread started from now on (core/thread.h).
  static void install(const std::shared_ptr<FaultBarrier>& barrier);

  // Runs one thread's body; an exception that escapes it is the end.
  void run(std::move_only_function<void()>& body) noexcept;
  // Keeps `end` unless an end was kept already, and wakes the waiting side.
  void end(WorkerEnd end);
  bool ended() const noexcept;
  // Calls `wake` once the end is kept, at once if it is.
  void on_end(std::function<void()> wake);
  // Only once ended().
  const WorkerEnd& what_ended() const noexcept;

 private:
  std::atomic<bool> ended_{false};
  WorkerEnd end_;  // written once, before ended_ is set
  std::mutex mutex_;
  std::function<void()> wake_;  // guarded by mutex_
};

// The worker thread with a non-blocking "has the service's end come?". The body runs until it
// ends through a fault, and so the service's end comes when it ends, or when another thread of
// the same barrier fails first; the end is kept for whoever joins.
class WorkerThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  explicit WorkerThread(std::move_only_function<void()> body, std::size_t stack = kWorkerStack,
                        std::shared_ptr<FaultBarrier> barrier = std::make_shared<FaultBarrier>());
  // Lets a still running thread go on serving; the end of the process ends it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  bool finished() const noexcept;
  // Calls `wake` once finished, at once if it is already.
  void on_finish(std::function<void()> wake);
  // Only once finished() is true; waits for the worker only when the end was its own.
  WorkerEnd join();

 private:
  std::shared_ptr<FaultBarrier> barrier_;
  std::shared_ptr<std::atomic<bool>> returned_;  // the worker's own body is over
  Thread thread_;
};

// How the supervision ended, and the exit code the final status carries.
enum class SupervisionEnd { kStopped, kWorkerDied };
std::uint32_t exit_code_of(SupervisionEnd end);

// Watches the worker and the stop channel: sleeps until the service's threads end or a stop
// arrives (the end wakes it), looking at the worker at least every `period` besides. Writes
// "Service stopped", or the two lines about the threads' end.
SupervisionEnd supervise(WorkerThread& worker, StopReceiver& stop, Log& log,
                         std::chrono::milliseconds period = std::chrono::milliseconds::max());

}  // namespace kesta::service
