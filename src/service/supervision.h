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

// What ended the worker thread: its Fault, or nothing when it returned or threw anything else.
struct WorkerEnd {
  std::optional<Fault> fault;
};

// "Some(\"text\")" for a fault with a fixed description, "None" for a composed one or none.
std::string describe_worker_end(const WorkerEnd& end);

// The worker thread with a non-blocking "has it finished?". The body runs until it ends through
// a fault; the fault is kept for whoever joins.
class WorkerThread {
 public:
  // Throws std::system_error when the thread cannot be created.
  explicit WorkerThread(std::move_only_function<void()> body, std::size_t stack = kWorkerStack);
  // Lets a still running thread go on serving; the end of the process ends it.
  ~WorkerThread();
  WorkerThread(const WorkerThread&) = delete;
  WorkerThread& operator=(const WorkerThread&) = delete;

  bool finished() const noexcept;
  // Calls `wake` once the thread has finished, at once if it has already.
  void on_finish(std::function<void()> wake);
  // Only once finished() is true.
  WorkerEnd join();

 private:
  struct Shared {
    std::atomic<bool> finished{false};
    WorkerEnd end;  // written by the thread before `finished` is set
    std::mutex mutex;
    std::function<void()> wake;  // guarded by mutex
  };

  std::shared_ptr<Shared> shared_;
  Thread thread_;
};

// How the supervision ended, and the exit code the final status carries.
enum class SupervisionEnd { kStopped, kWorkerDied };
std::uint32_t exit_code_of(SupervisionEnd end);

// Watches the worker and the stop channel: sleeps until the worker ends or a stop arrives (the
// worker's end wakes it), looking at the worker at least every `period` besides. Writes
// "Service stopped", or the two lines about the worker's end.
SupervisionEnd supervise(WorkerThread& worker, StopReceiver& stop, Log& log,
                         std::chrono::milliseconds period = std::chrono::milliseconds::max());

}  // namespace kesta::service
